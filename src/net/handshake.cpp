// A private lobby's handshake, both ends (handshake.h).
#include "net/handshake.h"

#include "net/clock.h"

#include "platform/heap.h"

#include <cstring>

namespace ll {

namespace {

const char Hex[] = "0123456789abcdef";

int hexValue(uint8_t c) {
    const char *at = c ? std::strchr(Hex, c) : nullptr;
    return at ? static_cast<int>(at - Hex) : -1;
}

} // namespace

void secretMake(LobbySecret *s, const char *secret, size_t length) {
    noiseRandom(s->salt, sizeof s->salt);
    if (!noiseStretchSecret(secret, length, s->salt, s->psk)) outOfMemory(SecretStretchBytes);
    s->on = true;
}

void secretWipe(LobbySecret *s) { noiseWipe(s, sizeof *s); }

void greetingWrite(const uint8_t salt[NoiseSaltLength], uint8_t out[GreetingLength]) {
    std::memcpy(out, GreetingLead, sizeof GreetingLead - 1);
    uint8_t *at = out + sizeof GreetingLead - 1;
    for (size_t i = 0; i < NoiseSaltLength; ++i) {
        *at++ = static_cast<uint8_t>(Hex[salt[i] >> 4]);
        *at++ = static_cast<uint8_t>(Hex[salt[i] & 15]);
    }
    *at = 0;
}

bool greetingRead(const uint8_t *in, uint8_t salt[NoiseSaltLength]) {
    if (std::memcmp(in, GreetingLead, sizeof GreetingLead - 1) != 0) return false;
    const uint8_t *at = in + sizeof GreetingLead - 1;
    for (size_t i = 0; i < NoiseSaltLength; ++i, at += 2) {
        int high = hexValue(at[0]), low = hexValue(at[1]);
        if (high < 0 || low < 0) return false;
        salt[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return *at == 0;
}

// ---- The state machine ----

namespace {

using Phase = HandshakePhase;

HandshakeStep fail(SecureHandshake *h) {
    h->failedIn = h->phase;
    h->phase = Phase::Failed;
    noiseWipe(&h->hs);
    noiseWipe(&h->keys);
    return HandshakeFailed;
}

void expect(SecureHandshake *h, Phase phase, uint32_t need) {
    h->phase = phase;
    h->have = 0;
    h->need = need;
}

// Our next handshake message around `payload`, with its length, into `out`.
bool writeMessage(SecureHandshake *h, const uint8_t *payload, size_t length) {
    size_t written = 0;
    if (!noiseWriteMessage(&h->hs, payload, length, h->out + RecordHeader, &written)) return false;
    recordLengthWrite(h->out, written);
    h->outLength = static_cast<uint32_t>(RecordHeader + written);
    return true;
}

// The piece that a length read in front of it announces, or Failed when
// that piece cannot be so long.
Phase pieceAfter(Phase length, uint32_t size) {
    switch (length) {
    case Phase::Message1Length:
        return size >= NoiseHandshakeOverhead && size <= NoiseHandshakeOverhead + MaxNameLength
                   ? Phase::Message1
                   : Phase::Failed;
    case Phase::Message2Length:
        return size == NoiseHandshakeOverhead ? Phase::Message2 : Phase::Failed;
    default: // RecordLength: the first record is empty
        return size == NoiseTagLength ? Phase::Record : Phase::Failed;
    }
}

// The client: the lobby host's greeting. The secret is stretched with its
// salt, and message 1 carries the name.
HandshakeStep takeGreeting(SecureHandshake *h) {
    uint8_t salt[NoiseSaltLength], psk[NoiseKeyLength];
    if (!greetingRead(h->buffer, salt)) return fail(h);
    h->phase = Phase::Message1; // ours to write from here
    if (!noiseStretchSecret(h->secret, h->secretLength, salt, psk)) outOfMemory(SecretStretchBytes);
    bool started = noiseStart(&h->hs, NoiseRole::Initiator, psk, h->buffer, GreetingLength);
    noiseWipe(psk, sizeof psk);
    h->secret = nullptr;
    if (!started ||
        !writeMessage(h, reinterpret_cast<const uint8_t *>(h->user), std::strlen(h->user)))
        return fail(h);
    expect(h, Phase::Message2Length, RecordHeader);
    return HandshakeSend;
}

// The lobby host: message 1, the name sealed; message 2 goes back, and the
// keys are made.
HandshakeStep takeMessage1(SecureHandshake *h) {
    uint8_t name[MaxNameLength];
    size_t nameLength = 0;
    if (!noiseReadMessage(&h->hs, h->buffer, h->need, name, &nameLength)) return fail(h);
    if (std::memchr(name, 0, nameLength)) return fail(h);
    std::memcpy(h->name, name, nameLength);
    h->name[nameLength] = '\0';
    if (!writeMessage(h, nullptr, 0) || !noiseSplit(&h->hs, &h->keys)) return fail(h);
    expect(h, Phase::RecordLength, RecordHeader);
    return HandshakeSend;
}

// The client: message 2; the keys are made, and the first record proves them.
HandshakeStep takeMessage2(SecureHandshake *h) {
    size_t payload = 0;
    uint8_t none[1];
    if (!noiseReadMessage(&h->hs, h->buffer, h->need, none, &payload) ||
        !noiseSplit(&h->hs, &h->keys))
        return fail(h);
    h->phase = Phase::Record; // ours to write
    if (!recordSeal(&h->keys.send, nullptr, 0, h->out)) return fail(h);
    h->outLength = RecordHeader + NoiseTagLength;
    h->phase = Phase::Done;
    return HandshakeSend;
}

// The lobby host: the first record opens under the new keys.
HandshakeStep takeRecord(SecureHandshake *h) {
    if (!noiseOpen(&h->keys.receive, h->buffer, h->need, h->buffer)) return fail(h);
    h->phase = Phase::Done;
    return HandshakeDone;
}

} // namespace

void handshakeHost(SecureHandshake *h, const LobbySecret &secret) {
    std::memset(h, 0, sizeof *h);
    uint8_t greeting[GreetingLength];
    greetingWrite(secret.salt, greeting);
    h->phase = Phase::Message1Length;
    if (!noiseStart(&h->hs, NoiseRole::Responder, secret.psk, greeting, sizeof greeting)) {
        fail(h);
        return;
    }
    expect(h, Phase::Message1Length, RecordHeader);
}

void handshakeJoin(SecureHandshake *h, const char *secret, size_t secretLength, const char *user) {
    std::memset(h, 0, sizeof *h);
    h->secret = secret;
    h->secretLength = secretLength;
    h->user = user;
    expect(h, Phase::Greeting, GreetingLength);
}

uint32_t handshakeWant(const SecureHandshake *h) {
    return h->phase < Phase::Done ? h->need - h->have : 0;
}

uint8_t *handshakeInto(SecureHandshake *h) { return h->buffer + h->have; }

HandshakeStep handshakeTake(SecureHandshake *h, uint32_t n) {
    if (h->phase >= Phase::Done || n > h->need - h->have) return fail(h);
    h->have += n;
    if (h->have < h->need) return HandshakeMore;
    switch (h->phase) {
    case Phase::Greeting:
        return takeGreeting(h);
    case Phase::Message1:
        return takeMessage1(h);
    case Phase::Message2:
        return takeMessage2(h);
    case Phase::Record:
        return takeRecord(h);
    default: { // a length: the piece it announces comes next
        uint32_t size = recordLengthRead(h->buffer);
        Phase piece = pieceAfter(h->phase, size);
        if (piece == Phase::Failed) return fail(h);
        expect(h, piece, size);
        return HandshakeMore;
    }
    }
}

void handshakeWipe(SecureHandshake *h) { noiseWipe(h, sizeof *h); }

bool handshakeUntouched(const SecureHandshake *h) {
    return h->phase == Phase::Message1Length && h->have == 0;
}

// ---- The client's end on a blocking socket ----

namespace {

// Reads exactly `n` bytes from the blocking socket by `deadline`; false on
// the connection's end, a failure or the deadline. It waits in slices, so
// the deadline holds on the core's clock.
bool readExactly(Socket s, uint8_t *out, size_t n, uint64_t deadline) {
    for (size_t got = 0; got < n;) {
        uint64_t now = nowMs();
        if (now >= deadline) return false;
        uint64_t wait = deadline - now < JoinWaitSliceMs ? deadline - now : JoinWaitSliceMs;
        int ready = sockWaitReadable(s, static_cast<int>(wait));
        if (ready < 0) return false;
        if (ready == 0) continue;
        int m = sockRecv(s, out + got, static_cast<int>(n - got));
        if (m <= 0) return false;
        got += static_cast<size_t>(m);
    }
    return true;
}

bool sendAll(Socket s, const uint8_t *data, size_t n, int32_t *sends) {
    for (size_t sent = 0; sent < n;) {
        int m = sockSend(s, data + sent, static_cast<int>(n - sent));
        if (m <= 0) return false;
        ++*sends;
        sent += static_cast<size_t>(m);
    }
    return true;
}

// What a client's handshake that stopped at `piece` tells: without the
// greeting, no private lobby answered (an open lobby host says nothing until
// it has a name); without message 2, the lobby host does not take our
// secret (it closes without an answer); at a piece of our own, the
// connection failed.
JoinEnd joinStopped(HandshakePhase piece) {
    if (piece == HandshakePhase::Greeting) return JoinNotPrivate;
    if (piece == HandshakePhase::Message2Length || piece == HandshakePhase::Message2)
        return JoinWrongSecret;
    return JoinLost;
}

} // namespace

JoinEnd joinPrivate(Socket s, const char *secret, size_t secretLength, const char *user,
                    uint64_t deadline, NoiseTransport *keys, int32_t *sends) {
    SecureHandshake h;
    handshakeJoin(&h, secret, secretLength, user);
    JoinEnd end = JoinDone;
    while (end == JoinDone && h.phase != HandshakePhase::Done) {
        uint32_t want = handshakeWant(&h);
        HandshakeStep step = HandshakeFailed;
        if (!readExactly(s, handshakeInto(&h), want, deadline))
            end = joinStopped(h.phase);
        else if ((step = handshakeTake(&h, want)) == HandshakeFailed)
            end = joinStopped(h.failedIn);
        else if (step == HandshakeSend && !sendAll(s, h.out, h.outLength, sends))
            end = JoinLost;
    }
    if (end == JoinDone) *keys = h.keys;
    handshakeWipe(&h);
    return end;
}

} // namespace ll
