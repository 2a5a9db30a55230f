// A private lobby's wire without sockets: the lobby host's side of one
// newcomer's handshake, then the record reader of the connection.
//
// The handshake: real clients (fixed ephemeral keys, the lobby's psk or a
// wrong one, the lobby's greeting or another, any name) write first
// messages and, once they read the lobby host's answer, records; the input
// interleaves them with raw bytes, flipped and cut bytes and replays, and
// feeds the lobby host in pieces of its choice. The lobby host answers only
// the exact first message of a client that knows the secret, admits only
// after that client's first record (empty, sealed under the keys of this
// very handshake) and then holds that client's name and keys; it never asks
// for more room than its buffer has, refuses a piece bigger than it asked,
// and a failed handshake holds no key. It counts as proven (what the door
// ranks newcomers by) exactly from its answer to such a client on, never
// for bytes that are no such message.
//
// The records: a sender seals records of any size; the input reorders,
// replays, flips, cuts, inserts bytes and splits the stream anywhere. What
// the reader opens is always exactly a prefix of what was sealed, in order;
// it opens every complete genuine record it was given, fails only after a
// corruption, never accepts a byte past one, and holds less than a record.
#include "fuzz/harness.h"

#include "net/secure/handshake.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

using namespace ll;

namespace {

const uint8_t Salt[NoiseSaltLength] = {7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const uint8_t OtherSalt[NoiseSaltLength] = {8, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const size_t ClientKeys = 4, MaxClientsMade = 16;

void fill(uint8_t key[NoiseKeyLength], uint8_t seed) {
    for (size_t i = 0; i < NoiseKeyLength; ++i) key[i] = static_cast<uint8_t>(seed + 29 * i);
}

// The lobby's secret, as a lobby that opened with it holds it.
struct TheLobby {
    LobbySecret s;
    TheLobby() {
        s.on = true;
        std::memcpy(s.salt, Salt, sizeof Salt);
        fill(s.psk, 0x31);
    }
};
const LobbySecret &lobbySecret() {
    static const TheLobby lobby;
    return lobby.s;
}

bool allZero(const void *p, size_t n) {
    const uint8_t *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i]) return false;
    return true;
}

std::string framed(const uint8_t *p, size_t n) {
    std::string s{static_cast<char>(n >> 8), static_cast<char>(n & 0xFF)};
    return s.append(reinterpret_cast<const char *>(p), n);
}

// The byte loops of the checks guide nothing: no coverage feedback from them.
#define NO_FEEDBACK __attribute__((no_sanitize("coverage")))

NO_FEEDBACK void pattern(uint64_t nonce, uint8_t *out, size_t length) {
    for (size_t j = 0; j < length; ++j)
        out[j] = static_cast<uint8_t>(nonce * 167 + j * 13 + (j >> 8));
}

// One sealed record of `length` bytes of the pattern at the cipher's nonce.
std::string seal(NoiseCipher *c, size_t length, std::string *payload) {
    std::vector<uint8_t> plain(length + 1), out(RecordHeader + length + NoiseTagLength);
    pattern(c->nonce, plain.data(), length);
    FZ_CHECK(recordSeal(c, plain.data(), length, out.data()), "sealing failed");
    payload->assign(reinterpret_cast<const char *>(plain.data()), length);
    return std::string(reinterpret_cast<const char *>(out.data()), out.size());
}

// A client: its first message, and its keys once it read the lobby host's answer.
struct Client {
    NoiseHandshake hs;
    std::string message; // framed first message
    std::string name;
    bool valid;         // knows the secret, greeted right, a name the lobby host takes
    bool live = false;  // holds keys from this lobby host's answer
    bool stale = false; // holds keys from another handshake of the same lobby
    NoiseTransport keys{}, staleKeys{};
    std::vector<std::string> records, payloads; // sealed with the live keys, in order
};

// Makes client `c` (a new one).
void makeClient(Client &c, uint8_t which, bool wrongPsk, bool wrongSalt, const std::string &name) {
    LobbySecret s;
    keyCopy(&s, &lobbySecret());
    if (wrongPsk) s.psk[5] ^= 0x40;
    uint8_t greeting[GreetingLength], eph[NoiseKeyLength];
    greetingWrite(wrongSalt ? OtherSalt : s.salt, greeting);
    FZ_CHECK(noiseStart(&c.hs, NoiseRole::Initiator, s.psk, greeting, sizeof greeting),
             "noiseStart");
    fill(eph, static_cast<uint8_t>(0x90 + which));
    noiseUseEphemeral(&c.hs, eph);
    std::vector<uint8_t> out(name.size() + NoiseHandshakeOverhead);
    size_t n = 0;
    FZ_CHECK(noiseWriteMessage(&c.hs, reinterpret_cast<const uint8_t *>(name.data()), name.size(),
                               out.data(), &n),
             "first message of %zu bytes", name.size());
    c.message = framed(out.data(), n);
    c.name = name;
    c.valid = !wrongPsk && !wrongSalt && name.size() <= MaxNameLength &&
              name.find('\0') == std::string::npos;
    secretWipe(&s);
}

// Reads a lobby host's answer on a copy of the client's handshake.
bool readReply(const Client &c, const uint8_t *reply, NoiseTransport *keys) {
    NoiseHandshake hs{};
    keyCopy(&hs, &c.hs);
    uint8_t none[1];
    size_t n = 0;
    bool read = !hs.failed && hs.message == 1 &&
                noiseReadMessage(&hs, reply + RecordHeader, NoiseHandshakeOverhead, none, &n) &&
                n == 0 && noiseSplit(&hs, keys);
    noiseWipe(&hs);
    return read;
}

// The keys the client gets from another handshake with the same lobby (an
// earlier connection of its): its records there are replays here.
bool staleKeys(Client *c) {
    if (c->stale) return true;
    SecureHandshake ghost;
    handshakeHost(&ghost, lobbySecret());
    uint8_t eph[NoiseKeyLength];
    fill(eph, 0x66);
    noiseUseEphemeral(&ghost.hs, eph);
    HandshakeStep step = HandshakeMore;
    for (size_t at = 0;
         step == HandshakeMore && handshakeWant(&ghost) > 0 && at < c->message.size();) {
        uint32_t k = std::min<uint32_t>(handshakeWant(&ghost),
                                        static_cast<uint32_t>(c->message.size() - at));
        std::memcpy(handshakeInto(&ghost), c->message.data() + at, k);
        at += k;
        step = handshakeTake(&ghost, k);
    }
    c->stale = step == HandshakeSend && readReply(*c, ghost.out, &c->staleKeys);
    handshakeWipe(&ghost);
    return c->stale;
}

// ---- The handshake ----

struct Handshake {
    SecureHandshake a;
    std::deque<Client> clients;
    std::string wire; // what the connection carries to the lobby host
    size_t fed = 0;   // bytes of it the lobby host read
    int replied = -1; // the client the lobby host answered
    int admitted = -1;
    bool failed = false;
};

void checkFailed(Handshake &h) {
    SecureHandshake &a = h.a;
    FZ_CHECK(handshakeWant(&a) == 0, "a failed handshake asks for %u bytes", handshakeWant(&a));
    FZ_CHECK(allZero(&a.keys, sizeof a.keys) && allZero(&a.hs.symmetric, sizeof a.hs.symmetric) &&
                 allZero(a.hs.psk, sizeof a.hs.psk) &&
                 allZero(a.hs.ephemeral, sizeof a.hs.ephemeral),
             "a failed handshake kept key material");
    FZ_CHECK(handshakeTake(&a, 0) == HandshakeFailed, "a failed handshake went on");
    h.failed = true;
}

void onReply(Handshake &h) {
    SecureHandshake &a = h.a;
    std::string taken = h.wire.substr(0, h.fed);
    FZ_CHECK(a.out[0] == 0 && a.out[1] == NoiseHandshakeOverhead, "answer of %u bytes",
             a.out[0] << 8 | a.out[1]);
    // The clients' keys are fixed, so a first message of an earlier input
    // (one the fuzzer kept among its words) is a client's that knows the
    // secret too: it joins the clients of this input.
    if (std::none_of(h.clients.begin(), h.clients.end(),
                     [&](const Client &c) { return c.valid && c.message == taken; }))
        for (uint8_t k = 0; k < ClientKeys; ++k) {
            Client &c = h.clients.emplace_back();
            makeClient(c, k, false, false, a.name);
            if (c.valid && c.message == taken) break;
            h.clients.pop_back();
        }
    for (size_t i = 0; i < h.clients.size(); ++i) {
        Client &c = h.clients[i];
        if (!c.valid || c.message != taken) continue;
        FZ_CHECK(readReply(c, a.out, &c.keys), "client %zu cannot read the answer to its message",
                 i);
        FZ_CHECK(c.name == a.name, "answered as \"%s\", the client is \"%s\"", a.name,
                 c.name.c_str());
        c.live = true;
        h.replied = static_cast<int>(i);
    }
    FZ_CHECK(h.replied >= 0, "the lobby host answered %zu bytes that are no client's first message",
             taken.size());
}

void onDone(Handshake &h) {
    SecureHandshake &a = h.a;
    std::string taken = h.wire.substr(0, h.fed);
    for (size_t i = 0; i < h.clients.size(); ++i) {
        const Client &c = h.clients[i];
        if (!c.live || c.records.empty() || c.payloads[0].size() != 0 ||
            taken != c.message + c.records[0])
            continue;
        FZ_CHECK(c.name == a.name, "admitted as \"%s\", the client is \"%s\"", a.name,
                 c.name.c_str());
        FZ_CHECK(std::memcmp(a.keys.receive.key, c.keys.send.key, NoiseKeyLength) == 0 &&
                     std::memcmp(a.keys.send.key, c.keys.receive.key, NoiseKeyLength) == 0 &&
                     std::memcmp(a.keys.handshakeHash, c.keys.handshakeHash, NoiseHashLength) ==
                         0 &&
                     a.keys.receive.nonce == 1 && a.keys.send.nonce == 0,
                 "the admitted keys are not the client's");
        FZ_CHECK(handshakeWant(&a) == 0, "admitted, and asks for %u bytes more", handshakeWant(&a));
        h.admitted = static_cast<int>(i);
        return;
    }
    fz::fail("admitted after %zu bytes that are no client's first message and first record",
             taken.size());
}

// Gives the lobby host up to `chunk` bytes of the wire (0: what it wants).
void feed(Handshake &h, uint32_t chunk) {
    SecureHandshake &a = h.a;
    uint32_t want = handshakeWant(&a);
    if (want == 0) return;
    size_t offset = static_cast<size_t>(handshakeInto(&a) - a.buffer);
    FZ_CHECK(offset + want <= sizeof a.buffer, "asks for %u bytes at %zu of a buffer of %zu", want,
             offset, sizeof a.buffer);
    uint32_t k = std::min<uint32_t>(chunk ? chunk : want, want);
    k = std::min<uint32_t>(k, static_cast<uint32_t>(h.wire.size() - h.fed));
    std::memcpy(handshakeInto(&a), h.wire.data() + h.fed, k);
    h.fed += k;
    HandshakeStep step = handshakeTake(&a, k);
    if (step == HandshakeSend) onReply(h);
    if (step == HandshakeDone) onDone(h);
    if (step == HandshakeFailed) checkFailed(h);
    if (step == HandshakeMore) FZ_CHECK(handshakeWant(&a) > 0, "more, but no byte asked for");
    FZ_CHECK(handshakeProven(&a) == (h.replied >= 0 && !h.failed),
             "proven: %d, after an answer to a client's message 1: %d", handshakeProven(&a),
             h.replied >= 0 && !h.failed);
}

void addClient(Handshake &h, fz::Input &in) {
    uint8_t p = in.byte();
    std::string name = in.bytes(in.byte() % 72);
    if (h.clients.size() >= MaxClientsMade) { // enough curve work for one input: a replay
        h.wire += h.clients[p % MaxClientsMade].message;
        return;
    }
    Client &c = h.clients.emplace_back();
    makeClient(c, p % ClientKeys, p & 4, p & 8, name);
    for (const Client &o : h.clients)
        if (&o != &c && o.message == c.message) { // the same client: a replay
            h.wire += o.message;
            h.clients.pop_back();
            return;
        }
    h.wire += c.message;
}

void addRecord(Handshake &h, uint8_t r) {
    if (h.clients.empty()) return;
    Client &c = h.clients[r % h.clients.size()];
    size_t length = (r >> 3 & 7) == 7 ? 1 + r % 3 : 0;
    std::string payload;
    if (c.live && !(r & 0x40)) {
        c.records.push_back(seal(&c.keys.send, length, &payload));
        c.payloads.push_back(payload);
        h.wire += c.records.back();
    } else if (staleKeys(&c)) {
        h.wire += seal(&c.staleKeys.send, length, &payload);
    }
}

// Runs handshake operations until one ends them or the input does, then
// feeds what the lobby host still asks for.
void runHandshake(Handshake &h, fz::Input &in) {
    handshakeHost(&h.a, lobbySecret());
    uint8_t eph[NoiseKeyLength];
    fill(eph, 0x55);
    noiseUseEphemeral(&h.a.hs, eph);
    while (in.more() && !h.failed) {
        uint8_t op = in.byte() % 8;
        size_t unfed = h.wire.size() - h.fed;
        if (op == 7) break;
        if (op == 0) addClient(h, in);
        if (op == 1 && !h.clients.empty())
            h.wire += h.clients[in.byte() % h.clients.size()].message;
        if (op == 2) addRecord(h, in.byte());
        if (op == 3) h.wire += in.bytes(in.byte() % 64);
        if (op == 4 && unfed) h.wire[h.fed + in.word() % unfed] ^= static_cast<char>(in.byte() | 1);
        if (op == 5) h.wire.resize(h.wire.size() - in.byte() % (unfed + 1));
        if (op == 6) {
            uint8_t n = in.byte();
            uint32_t want = handshakeWant(&h.a);
            if (n == 255 && want > 0) {
                // A piece bigger than asked for is refused, even when what
                // it asked for is there and right.
                std::memcpy(handshakeInto(&h.a), h.wire.data() + h.fed,
                            std::min<size_t>(want, unfed));
                FZ_CHECK(handshakeTake(&h.a, want + 1 + in.byte()) == HandshakeFailed,
                         "took more than it asked");
                checkFailed(h);
            } else {
                feed(h, n % 80);
            }
        }
    }
    while (!h.failed && handshakeWant(&h.a) > 0 && h.fed < h.wire.size()) feed(h, 0);
}

// ---- The records ----

struct Stream {
    RecordLink link;
    NoiseCipher sender;
    std::string wire;              // what the connection carries
    std::string genuine;           // every record sealed, in order
    std::string sealedPlain;       // their payloads
    std::vector<size_t> ends;      // where each record ends in `genuine`
    std::vector<size_t> plainEnds; // and its payload in `sealedPlain`
    std::vector<std::string> records, held;
    size_t fed = 0, biggest = 0; // bytes delivered, the biggest piece
    size_t same = 0;             // bytes of the wire known to be genuine
    std::string opened;
    bool failed = false;
};

void addGenuine(Stream &s, const std::string &record, const std::string &payload) {
    s.genuine += record;
    s.sealedPlain += payload;
    s.ends.push_back(s.genuine.size());
    s.plainEnds.push_back(s.sealedPlain.size());
    s.records.push_back(record);
}

// Where the wire first differs from the genuine stream; SIZE_MAX while it
// is a prefix of it. Only bytes not yet delivered change, and `same` of them
// are known to agree.
NO_FEEDBACK size_t divergence(Stream &s) {
    size_t n = std::min(s.wire.size(), s.genuine.size());
    while (s.same < n && s.wire[s.same] == s.genuine[s.same]) ++s.same;
    return s.same == n && s.wire.size() <= s.genuine.size() ? SIZE_MAX : s.same;
}

void deliver(Stream &s, size_t chunk) {
    size_t k = std::min(chunk, s.wire.size() - s.fed);
    std::vector<uint8_t> bytes(s.wire.begin() + static_cast<long>(s.fed),
                               s.wire.begin() + static_cast<long>(s.fed + k));
    std::unique_ptr<uint8_t[]> plain(new uint8_t[k + RecordMax]); // exactly the room promised
    size_t n = SIZE_MAX;
    bool ok = linkOpen(&s.link, bytes.data(), k, plain.get(), &n);
    s.fed += k;
    FZ_CHECK(n <= k + RecordMax, "opened %zu bytes", n);
    s.opened.append(reinterpret_cast<const char *>(plain.get()), n);
    FZ_CHECK(s.opened.size() <= s.sealedPlain.size() &&
                 s.sealedPlain.compare(0, s.opened.size(), s.opened) == 0,
             "opened bytes that were never sealed (%zu opened)", s.opened.size());
    size_t d = divergence(s);
    if (!ok) {
        FZ_CHECK(d < s.fed, "failed on %zu genuine bytes", s.fed);
        s.failed = true;
        return;
    }
    size_t held = s.link.in.length, at = s.fed - held;
    FZ_CHECK(held < RecordMax, "holds %zu bytes", held);
    FZ_CHECK(d == SIZE_MAX || at <= d, "took %zu bytes, past a corruption at %zu", at, d);
    size_t r = 0;
    while (r < s.ends.size() && s.ends[r] < at) ++r;
    FZ_CHECK(at == 0 || (r < s.ends.size() && s.ends[r] == at), "stopped at %zu, inside a record",
             at);
    FZ_CHECK(s.opened.size() == (at == 0 ? 0 : s.plainEnds[r]), "opened %zu bytes of %zu records",
             s.opened.size(), at == 0 ? 0 : r + 1);
    if (held >= RecordHeader) {
        size_t size = static_cast<uint8_t>(s.wire[at]) << 8 | static_cast<uint8_t>(s.wire[at + 1]);
        FZ_CHECK(size >= NoiseTagLength && size <= RecordPayloadMax + NoiseTagLength &&
                     held < RecordHeader + size,
                 "holds %zu bytes: a whole record of %zu, or a bad length", held, size);
    }
    // The buffer grows with the pieces, and shrinks to the everyday size once empty.
    s.biggest = std::max(s.biggest, k);
    size_t bound = QueueFirstCapacity;
    while (bound < RecordMax + s.biggest) bound *= 2;
    if (held == 0 || bound < QueueCapacity) bound = QueueCapacity;
    FZ_CHECK(s.link.in.capacity <= bound, "%u bytes of buffer holding %zu, pieces up to %zu",
             s.link.in.capacity, held, s.biggest);
}

size_t recordLength(fz::Input &in) {
    uint8_t sel = in.byte();
    if (sel < 192) return sel % 48;
    if (sel < 250) return 48 + in.word() % 4000;
    return RecordPayloadMax - in.byte() % 8;
}

// Enough for a few records of every size, and fast inputs.
const size_t StreamCap = 256 * 1024;

void runRecords(Stream &s, fz::Input &in) {
    std::string payload;
    while (in.more() && !s.failed) {
        uint8_t op = in.byte() % 8;
        size_t unfed = s.wire.size() - s.fed;
        if ((op == 0 || op == 1) && s.genuine.size() < StreamCap) {
            std::string record = seal(&s.sender, recordLength(in), &payload);
            addGenuine(s, record, payload);
            if (op == 0)
                s.wire += record;
            else
                s.held.push_back(record); // sent later, out of order
        }
        if (op == 2 && !s.held.empty()) {
            s.wire += s.held.front();
            s.held.erase(s.held.begin());
        }
        if (op == 3 && !s.records.empty()) s.wire += s.records[in.byte() % s.records.size()];
        if (op == 4 && unfed) {
            size_t at = s.fed + in.word() % unfed;
            s.wire[at] ^= static_cast<char>(in.byte() | 1);
            s.same = std::min(s.same, at);
        }
        if (op == 5) {
            s.wire.resize(s.wire.size() - in.word() % (unfed + 1));
            s.same = std::min(s.same, s.wire.size());
        }
        if (op == 6) s.wire += in.bytes(in.byte() % 40);
        if (op == 7) {
            uint32_t w = in.word();
            deliver(s, w & 0x8000 ? w & 0x7FFF : w % 64);
        }
    }
    while (!s.failed && s.fed < s.wire.size()) deliver(s, 4096);
}

// Keys of a handshake completed once: for inputs that fuzz only the records.
struct Keys {
    NoiseTransport host, client;
};

void completed(Keys *k) {
    Handshake h;
    const uint8_t script[] = {0, 0, 6, 'c', 'a', 'n', 'n', 'e', 'd', 7};
    fz::Input in{script, sizeof script};
    runHandshake(h, in);
    addRecord(h, 0);
    while (handshakeWant(&h.a) > 0) feed(h, 0);
    FZ_CHECK(h.admitted == 0, "the canned handshake did not complete");
    keyMove(&k->host, &h.a.keys);
    keyMove(&k->client, &h.clients[0].keys);
    handshakeWipe(&h.a);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Keys canned;
    if (!keyHeld(canned.host)) completed(&canned);
    fz::Input in{data, size};
    Stream s;
    if (in.byte() & 1) {
        Handshake h;
        runHandshake(h, in);
        if (h.admitted < 0) {
            handshakeWipe(&h.a);
            return 0;
        }
        // What followed the first record is the start of the record stream.
        Client &c = h.clients[static_cast<size_t>(h.admitted)];
        for (size_t i = 1; i < c.records.size(); ++i) addGenuine(s, c.records[i], c.payloads[i]);
        s.wire = h.wire.substr(h.fed);
        keyMove(&s.link.keys, &h.a.keys);
        s.sender = c.keys.send;
        handshakeWipe(&h.a);
    } else {
        keyCopy(&s.link.keys, &canned.host);
        s.sender = canned.client.send;
    }
    s.link.sealed = true;
    runRecords(s, in);
    linkFree(&s.link);
    return 0;
}
