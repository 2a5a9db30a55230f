#include "net/outside/discovery_wire.h"

#include "net/base/address.h"

#include <cstring>

namespace ll {

namespace {

const uint8_t Magic[3] = {'L', 'L', 'D'};
const uint8_t KindQuery = 'Q';
const uint8_t KindAnswer = 'A';
const uint8_t FlagPrivate = 1;

bool hasHead(const uint8_t *data, size_t length, uint8_t kind) {
    return length >= 5 && std::memcmp(data, Magic, sizeof Magic) == 0 && data[3] == kind &&
           data[4] != 0;
}

void putHead(uint8_t *out, uint8_t kind) {
    std::memcpy(out, Magic, sizeof Magic);
    out[3] = kind;
    out[4] = DiscoveryVersion;
}

} // namespace

size_t discoveryQuery(uint8_t out[DiscoveryQuerySize]) {
    putHead(out, KindQuery);
    return DiscoveryQuerySize;
}

bool discoveryQueryParse(const uint8_t *data, size_t length) {
    return length == DiscoveryQuerySize && hasHead(data, length, KindQuery);
}

size_t discoveryAnswer(uint8_t out[DiscoveryAnswerMax], uint8_t members, bool isPrivate,
                       const char *name, size_t nameLength) {
    if (nameLength == 0 || nameLength > MaxNameLength || members == 0 || members > MaxClients + 1)
        return 0;
    if (std::memchr(name, 0, nameLength)) return 0;
    putHead(out, KindAnswer);
    out[5] = members;
    out[6] = isPrivate ? FlagPrivate : 0;
    out[7] = static_cast<uint8_t>(nameLength);
    std::memcpy(out + DiscoveryAnswerHead, name, nameLength);
    return DiscoveryAnswerHead + nameLength;
}

bool discoveryAnswerParse(const uint8_t *data, size_t length, DiscoveryAnswer *out) {
    if (length < DiscoveryAnswerHead || length > DiscoveryAnswerMax ||
        !hasHead(data, length, KindAnswer))
        return false;
    uint8_t members = data[5], flags = data[6], nameLength = data[7];
    if (members == 0 || members > MaxClients + 1 || (flags & ~FlagPrivate) != 0) return false;
    if (nameLength == 0 || length != DiscoveryAnswerHead + nameLength) return false;
    const uint8_t *name = data + DiscoveryAnswerHead;
    if (std::memchr(name, 0, nameLength)) return false;
    out->version = data[4];
    out->members = members;
    out->isPrivate = (flags & FlagPrivate) != 0;
    out->nameLength = nameLength;
    std::memcpy(out->name, name, nameLength);
    out->name[nameLength] = 0;
    return true;
}

size_t discoveryNotice(uint32_t address, const DiscoveryAnswer &answer,
                       char out[DiscoveryNoticeMax]) {
    size_t n = ipv4Format(address, out);
    out[n++] = ' ';
    unsigned members = answer.members;
    if (members >= 100) out[n++] = static_cast<char>('0' + members / 100);
    if (members >= 10) out[n++] = static_cast<char>('0' + members / 10 % 10);
    out[n++] = static_cast<char>('0' + members % 10);
    const char *kind = answer.isPrivate ? " private " : " open ";
    std::memcpy(out + n, kind, std::strlen(kind));
    n += std::strlen(kind);
    // Only what prints: a stranger's name cannot move the cursor of the
    // player's terminal or break the line in two.
    for (size_t i = 0; i < answer.nameLength && i < MaxNameLength; ++i) {
        char c = answer.name[i];
        if (c >= 0x20 && c < 0x7F) out[n++] = c;
    }
    out[n] = 0;
    return n;
}

} // namespace ll
