// What a relay server (or anything that answers in its place) sends the
// lobby host, through the STUN parser, and the HOST[:PORT] texts a host
// application gives: the first byte picks the kind (% 3), the rest is the
// input, in a heap block of exactly its size so a read past its end is
// caught. 0: one message; 1: a TCP stream cut into pieces (each piece's
// length is a byte of its own before it), read as the relay thread reads its
// control connection; 2: a HOST[:PORT] text. Besides not crashing: texts and
// the integrity attribute lie inside the message, numbers within their
// ranges, a message that names a realm and a nonce gives signed requests
// that read back and verify, the stream yields whole messages no longer
// than its buffer, and what a host text parses to prints and parses back.
#include "fuzz/harness.h"

#include "net/base/hostport.h"
#include "net/base/limits.h"
#include "net/outside/stun.h"

#include <cstring>
#include <vector>

using namespace ll;

namespace {

void checkMessage(const uint8_t *data, size_t size, const StunMessage &m) {
    const uint8_t *end = data + size;
    FZ_CHECK(!m.realm || (m.realm >= data && m.realm + m.realmLength <= end), "realm outside");
    FZ_CHECK(!m.nonce || (m.nonce >= data && m.nonce + m.nonceLength <= end), "nonce outside");
    FZ_CHECK(m.realmLength <= StunTextCapacity && m.nonceLength <= StunTextCapacity, "long text");
    FZ_CHECK(m.integrityAt == 0 || (m.integrityAt >= StunHeaderBytes && m.integrityAt + 24 <= size),
             "integrity at %zu of %zu", m.integrityAt, size);
    FZ_CHECK(m.errorCode == 0 || (m.errorCode >= 300 && m.errorCode <= 699), "error %d",
             m.errorCode);
    FZ_CHECK(m.method < 0x1000 && m.cls >= StunRequest && m.cls <= StunError, "type");
    const uint8_t key[Md5Bytes] = {1, 2, 3};
    (void)stunIntegrityOk(data, m, key);
    if (m.hasRelayed) {
        char text[64];
        size_t n = hostportFormat(m.relayed.ipv6, m.relayed.ip, m.relayed.port, text, sizeof text);
        HostPort back;
        FZ_CHECK(n > 0 && hostportParse(text, n, 1, &back) && back.port == m.relayed.port,
                 "relayed address \"%s\" does not read back", text);
    }
}

// With the realm and nonce a server named, our requests are signed, read
// back, and verify under the key they were signed with.
void checkRequests(const StunMessage &m) {
    if (!m.realm || !m.nonce) return;
    StunAuth a = {};
    a.userLength = 15;
    std::memcpy(a.user, "1796702206:gold", a.userLength);
    FZ_CHECK(stunAuthRealm(&a, m.realm, m.realmLength, m.nonce, m.nonceLength, "pw", 2), "realm");
    uint8_t out[TurnMessageCapacity];
    const uint8_t tid[StunTidBytes] = {9};
    size_t n = stunConnectionBind(out, sizeof out, tid, 77, a);
    StunMessage back;
    FZ_CHECK(n > 0 && stunParse(out, n, &back) && back.connectionId == 77 &&
                 stunIntegrityOk(out, back, a.key) && back.realmLength == m.realmLength &&
                 std::memcmp(back.nonce, m.nonce, m.nonceLength) == 0,
             "a signed bind does not read back");
}

void message(const uint8_t *data, size_t size) {
    StunMessage m;
    if (!stunParse(data, size, &m)) return;
    checkMessage(data, size, m);
    checkRequests(m);
}

// The pieces into a buffer of the relay's size, whole messages taken out as
// they complete, until the stream stops being STUN.
void stream(fz::Input in) {
    std::vector<uint8_t> buffer(TurnMessageCapacity);
    size_t got = 0;
    while (in.more()) {
        std::string piece = in.bytes(std::min<size_t>(in.byte(), buffer.size() - got));
        std::memcpy(buffer.data() + got, piece.data(), piece.size());
        got += piece.size();
        size_t length = 0;
        StunFrame f;
        while ((f = stunFrame(buffer.data(), got, buffer.size(), &length)) == StunWhole) {
            FZ_CHECK(length >= StunHeaderBytes && length <= got && length % 4 == 0, "frame %zu",
                     length);
            std::vector<uint8_t> one(buffer.begin(), buffer.begin() + static_cast<long>(length));
            message(one.data(), one.size());
            std::memmove(buffer.data(), buffer.data() + length, got - length);
            got -= length;
        }
        if (f == StunNotStun) return;
        FZ_CHECK(got < buffer.size() || f != StunPartial, "a full buffer that waits for more");
    }
}

void hostText(const char *text, size_t size) {
    HostPort hp;
    if (!hostportParse(text, size, 3478, &hp)) return;
    size_t n = strnlen(hp.host, sizeof hp.host);
    FZ_CHECK(n > 0 && n < sizeof hp.host && hp.port != 0, "host \"%s\" port %u", hp.host, hp.port);
    FZ_CHECK(!std::strpbrk(hp.host, "[] /"), "host \"%s\"", hp.host);
    // Written back as a player would write it, it parses to the same.
    std::string again = std::strchr(hp.host, ':') ? "[" + std::string(hp.host) + "]" : hp.host;
    again += ":" + std::to_string(hp.port);
    HostPort back;
    FZ_CHECK(hostportParse(again.data(), again.size(), 1, &back) && back.port == hp.port &&
                 std::strcmp(back.host, hp.host) == 0,
             "\"%s\" does not parse back", again.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::vector<uint8_t> rest(data + 1, data + size); // exactly the input's bytes
    switch (data[0] % 3) {
    case 0:
        message(rest.data(), rest.size());
        break;
    case 1:
        stream(fz::Input{rest.data(), rest.size()});
        break;
    case 2:
        hostText(reinterpret_cast<const char *>(rest.data()), rest.size());
        break;
    }
    return 0;
}
