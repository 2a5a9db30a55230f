// A private lobby's handshake, both ends (handshake.h).
#include "net/secure/handshake.h"

#include "net/base/clock.h"

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
    noiseWipe(static_cast<void *>(s), sizeof *s);
    noiseRandom(s->salt, sizeof s->salt);
    if (!noiseStretchSecret(secret, length, s->salt, s->psk)) outOfMemory(SecretStretchBytes);
    s->on = true;
    keysCounted(1);
}

void secretWipe(LobbySecret *s) { keyWipe(s); }

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

bool greetingSeen(const uint8_t *bytes, size_t length) {
    return length >= GreetingKind && std::memcmp(bytes, GreetingLead, GreetingKind) == 0;
}

// ---- The state machine ----

namespace {

using Phase = HandshakePhase;

HandshakeStep fail(SecureHandshake *h) {
    h->failedIn = h->phase;
    h->phase = Phase::Failed;
    noiseWipe(&h->hs);
    keyWipe(&h->keys);
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

// The client: the lobby host's greeting, whose salt the secret is
// stretched with; message 1 is ours to write next.
HandshakeStep takeGreeting(SecureHandshake *h) {
    if (!greetingRead(h->buffer, h->salt)) return fail(h);
    h->phase = Phase::Message1Length;
    h->have = h->need = 0;
    return HandshakeWrite;
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
    noiseWipe(static_cast<void *>(h), sizeof *h); // a holder of no keys: nothing to count
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
    noiseWipe(static_cast<void *>(h), sizeof *h);
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

HandshakeStep handshakeWrite(SecureHandshake *h) {
    if (h->phase != Phase::Message1Length || !h->secret) return fail(h);
    uint8_t psk[NoiseKeyLength];
    if (!noiseStretchSecret(h->secret, h->secretLength, h->salt, psk))
        outOfMemory(SecretStretchBytes);
    bool started = noiseStart(&h->hs, NoiseRole::Initiator, psk, h->buffer, GreetingLength);
    noiseWipe(psk, sizeof psk);
    h->secret = nullptr;
    h->phase = Phase::Message1;
    if (!started ||
        !writeMessage(h, reinterpret_cast<const uint8_t *>(h->user), std::strlen(h->user)))
        return fail(h);
    expect(h, Phase::Message2Length, RecordHeader);
    return HandshakeSend;
}

void handshakeWipe(SecureHandshake *h) {
    noiseWipe(&h->hs);
    keyWipe(&h->keys);
    noiseWipe(static_cast<void *>(h), sizeof *h);
}

bool handshakeProven(const SecureHandshake *h) {
    return h->phase >= Phase::RecordLength && h->phase <= Phase::Done;
}

// ---- The client's end on a blocking socket ----

namespace {

// Reads exactly `n` bytes from the blocking socket by the join's deadline;
// false on the connection's end, a failure, the deadline or a stop. It
// waits in slices, so the deadline holds on the core's clock and a stop is
// seen within a slice.
bool readExactly(Socket s, uint8_t *out, size_t n, const JoinWait &w) {
    for (size_t got = 0; got < n;) {
        if (nowMs() >= w.deadline || w.stop->load()) return false;
        int ready = sockWaitReadable(s, clockSlice(w.deadline, JoinWaitSliceMs));
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

// Whether the lobby host let us go before our message 1 went out: LetGo,
// or the end of the connection, which cannot be about the secret since it
// has not seen it. Looks at what has come without waiting for more.
bool letGoEarly(Socket s, const JoinWait &w, JoinEnd *end) {
    int ready = sockWaitReadable(s, 0);
    if (ready == 0) return false;
    uint8_t word[RecordHeader];
    if (ready < 0)
        *end = JoinLost;
    else if (!readExactly(s, word, sizeof word, w))
        *end = JoinBusy;
    else
        *end = std::memcmp(word, LetGo, sizeof word) == 0 ? JoinBusy : JoinLost;
    return true;
}

// What a client's handshake that stopped in `h` tells: without the
// greeting, no private lobby answered (an open lobby host says nothing until
// it has a name); LetGo where message 2 was due, the lobby host let us go
// for another reason than the secret; without message 2, it does not take
// our secret (it closes without an answer); at a piece of our own, the
// connection failed.
JoinEnd joinStopped(const SecureHandshake &h, HandshakePhase piece) {
    if (piece == HandshakePhase::Greeting) return JoinNotPrivate;
    if (piece == HandshakePhase::Message2Length && h.have == RecordHeader &&
        std::memcmp(h.buffer, LetGo, RecordHeader) == 0)
        return JoinBusy;
    if (piece == HandshakePhase::Message2Length || piece == HandshakePhase::Message2)
        return JoinWrongSecret;
    return JoinLost;
}

// One step of the client's end: the next piece of the lobby host's read,
// ours written and sent; JoinDone while it goes on.
JoinEnd joinStep(Socket s, SecureHandshake *h, const JoinWait &w, int32_t *sends) {
    uint32_t want = handshakeWant(h);
    if (!readExactly(s, handshakeInto(h), want, w)) return joinStopped(*h, h->phase);
    HandshakeStep step = handshakeTake(h, want);
    JoinEnd end = JoinDone;
    // A lobby host that cannot take us sends LetGo right after the greeting,
    // and may do so while we stretch the secret.
    if (step == HandshakeWrite && letGoEarly(s, w, &end)) return end;
    if (step == HandshakeWrite) step = handshakeWrite(h);
    if (w.stop->load()) return JoinLost; // stopped while stretching: nothing more goes out
    if (step == HandshakeSend && h->phase == HandshakePhase::Message2Length &&
        letGoEarly(s, w, &end))
        return end;
    if (step == HandshakeFailed) return joinStopped(*h, h->failedIn);
    if (step == HandshakeSend && !sendAll(s, h->out, h->outLength, sends)) return JoinLost;
    return JoinDone;
}

} // namespace

JoinEnd joinPrivate(Socket s, const char *secret, size_t secretLength, const char *user,
                    const JoinWait &w, NoiseTransport *keys, int32_t *sends) {
    noiseWipe(static_cast<void *>(keys), sizeof *keys); // a holder of none, as it comes
    SecureHandshake h;
    handshakeJoin(&h, secret, secretLength, user);
    JoinEnd end = JoinDone;
    while (end == JoinDone && h.phase != HandshakePhase::Done) end = joinStep(s, &h, w, sends);
    if (end == JoinDone) keyMove(keys, &h.keys);
    handshakeWipe(&h);
    return end;
}

} // namespace ll
