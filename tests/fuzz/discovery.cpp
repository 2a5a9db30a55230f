// What anybody on the LAN may send to a lobby host that announces (a query)
// or to a player listing lobbies (an answer), through the parsers of
// discovery_wire, in a heap block of exactly its size so a read past its end
// is caught. The first byte picks the kind: even a query, odd an answer,
// and the next four are the sender's address. Besides not crashing: an
// accepted datagram is exactly what the encoder would write for what was
// read, and the notice text stays within its room, prints, and ends with the
// printable characters of the name.
#include "fuzz/harness.h"

#include "net/outside/discovery_wire.h"

#include <cstring>
#include <vector>

using namespace ll;

namespace {

void query(const uint8_t *data, size_t size) {
    if (!discoveryQueryParse(data, size)) return;
    uint8_t again[DiscoveryQuerySize];
    FZ_CHECK(size == DiscoveryQuerySize && discoveryQuery(again) == size &&
                 std::memcmp(again, data, 4) == 0 && data[4] != 0,
             "query of %zu bytes taken", size);
}

void answer(uint32_t from, const uint8_t *data, size_t size) {
    DiscoveryAnswer a;
    std::memset(&a, 'x', sizeof a);
    if (!discoveryAnswerParse(data, size, &a)) return;
    FZ_CHECK(a.nameLength >= 1 && a.nameLength <= MaxNameLength && a.name[a.nameLength] == 0 &&
                 std::strlen(a.name) == a.nameLength,
             "name of %u bytes", a.nameLength);
    uint8_t again[DiscoveryAnswerMax];
    size_t n = discoveryAnswer(again, a.members, a.isPrivate, a.name, a.nameLength);
    again[4] = a.version;
    FZ_CHECK(n == size && std::memcmp(again, data, n) == 0,
             "answer of %zu bytes does not encode back", size);
    char text[DiscoveryNoticeMax + 8];
    std::memset(text, 'x', sizeof text);
    size_t t = discoveryNotice(from, a, text);
    FZ_CHECK(t < DiscoveryNoticeMax && text[t] == 0 && text[DiscoveryNoticeMax] == 'x',
             "notice of %zu", t);
    std::string printable;
    for (size_t i = 0; i < a.nameLength; ++i)
        if (a.name[i] >= 0x20 && a.name[i] < 0x7F) printable += a.name[i];
    for (size_t i = 0; i < t; ++i)
        FZ_CHECK(text[i] >= 0x20 && text[i] < 0x7F, "byte %zu unprintable", i);
    FZ_CHECK(t >= printable.size() &&
                 std::memcmp(text + t - printable.size(), printable.data(), printable.size()) == 0,
             "notice \"%s\" does not end with the name", text);
    FZ_CHECK(std::strstr(text, a.isPrivate ? " private " : " open ") != nullptr, "notice \"%s\"",
             text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    uint32_t from = static_cast<uint32_t>(data[1]) << 24 | data[2] << 16 | data[3] << 8 | data[4];
    std::vector<uint8_t> datagram(data + 5, data + size); // exactly the datagram's bytes
    const uint8_t *p = datagram.empty() ? nullptr : datagram.data();
    if (data[0] % 2 == 0)
        query(p, datagram.size());
    else
        answer(from, p, datagram.size());
    return 0;
}
