// A private lobby's handshake and records (secure.h).
#include "net/secure.h"

#include "net/clock.h"
#include "platform/heap.h"

#include <cstring>

namespace ll {

namespace {

const char Hex[] = "0123456789abcdef";

uint32_t readLength(const uint8_t *p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }

void writeLength(uint8_t *p, size_t length) {
    p[0] = static_cast<uint8_t>(length >> 8);
    p[1] = static_cast<uint8_t>(length);
}

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

// ---- Records ----

void linkFree(RecordLink *l) {
    keyWipe(&l->keys);
    queueFree(&l->out);
    queueFree(&l->in);
    l->sealed = false;
}

void linkMove(RecordLink *to, RecordLink *from) {
    if (to == from) return;
    linkFree(to);
    to->sealed = from->sealed;
    keyMove(&to->keys, &from->keys);
    to->out = from->out;
    to->in = from->in;
    from->out = ByteQueue();
    from->in = ByteQueue();
    from->sealed = false;
}

bool recordSeal(NoiseCipher *c, const uint8_t *data, size_t length, uint8_t *out) {
    writeLength(out, length + NoiseTagLength);
    return noiseSeal(c, data, length, out + RecordHeader);
}

LinkSent linkSend(Socket s, RecordLink *l, const uint8_t *data, uint32_t length) {
    LinkSent sent = {0, false, false};
    if (!l->sealed) {
        if (length == 0) return sent;
        int n = sockSend(s, data, static_cast<int>(length));
        sent.taken = n > 0 ? static_cast<uint32_t>(n) : 0;
        sent.tookBytes = n > 0;
        sent.failed = n <= 0 && n != IoAgain;
        return sent;
    }
    for (;;) {
        if (l->out.length == 0) {
            if (sent.taken == length) return sent;
            uint32_t n = length - sent.taken;
            if (n > RecordPayloadMax) n = RecordPayloadMax;
            uint8_t *at = queueReserve(&l->out, n + RecordHeader + NoiseTagLength, RecordMax);
            if (!recordSeal(&l->keys.send, data + sent.taken, n, at)) {
                sent.failed = true; // the nonces are spent: the connection ends
                return sent;
            }
            sent.taken += n;
        }
        int m = sockSend(s, l->out.data + l->out.start, static_cast<int>(l->out.length));
        if (m <= 0) {
            sent.failed = m != IoAgain;
            return sent;
        }
        sent.tookBytes = true;
        queueConsume(&l->out, static_cast<uint32_t>(m));
        if (l->out.length > 0) return sent; // the connection takes no more now
    }
}

bool linkOpen(RecordLink *l, const uint8_t *in, size_t length, uint8_t *plain,
              size_t *plainLength) {
    *plainLength = 0;
    uint8_t *at = queueReserve(&l->in, static_cast<uint32_t>(length),
                               static_cast<uint32_t>(RecordMax + length));
    if (length) std::memcpy(at, in, length);
    while (l->in.length >= RecordHeader) {
        const uint8_t *record = l->in.data + l->in.start;
        uint32_t size = readLength(record);
        if (size < NoiseTagLength || size > RecordPayloadMax + NoiseTagLength) return false;
        if (l->in.length < RecordHeader + size) break;
        if (!noiseOpen(&l->keys.receive, record + RecordHeader, size, plain + *plainLength))
            return false;
        *plainLength += size - NoiseTagLength;
        queueConsume(&l->in, RecordHeader + size);
    }
    queueTrim(&l->in);
    return true;
}

SplitEnd linkReceive(Socket s, RecordLink *l, uint8_t *scratch, uint8_t *plain, uint32_t budget,
                     FrameReader *r, FrameHandler onFrame, void *context, SplitStop *stop) {
    if (!l->sealed) return receiveFrames(s, scratch, budget, r, onFrame, context, stop);
    // What the link holds of an unfinished record opens with these bytes:
    // the receive leaves room for it in `plain`.
    static_assert(RecordMax < QueueCapacity / 2, "a receive has room beside an unfinished record");
    int n = sockRecv(s, scratch, static_cast<int>(budget - RecordMax));
    if (n == IoAgain) return SplitNothing;
    if (n <= 0) return SplitClosed;
    size_t opened = 0;
    if (!linkOpen(l, scratch, static_cast<size_t>(n), plain, &opened)) return SplitClosed;
    return splitFrames(r, plain, opened, onFrame, context, stop);
}

// ---- The lobby host's side ----

namespace {

const uint8_t PhaseLength1 = 0, PhaseMessage1 = 1, PhaseLength2 = 2, PhaseRecord = 3, PhaseDone = 4,
              PhaseFailed = 5;

AdmitStep admitFail(Admittance *a) {
    a->phase = PhaseFailed;
    noiseWipe(&a->hs);
    keyWipe(&a->keys);
    return AdmitFailed;
}

void expect(Admittance *a, uint8_t phase, uint32_t need) {
    a->phase = phase;
    a->have = 0;
    a->need = need;
}

// Message 1: the name, sealed; then message 2 to send, and the keys.
AdmitStep takeMessage1(Admittance *a) {
    uint8_t name[MaxNameLength];
    size_t nameLength = 0;
    if (!noiseReadMessage(&a->hs, a->buffer, a->need, name, &nameLength)) return admitFail(a);
    if (std::memchr(name, 0, nameLength)) return admitFail(a);
    std::memcpy(a->name, name, nameLength);
    a->name[nameLength] = '\0';
    size_t written = 0;
    if (!noiseWriteMessage(&a->hs, nullptr, 0, a->reply + RecordHeader, &written) ||
        !noiseSplit(&a->hs, &a->keys))
        return admitFail(a);
    writeLength(a->reply, written);
    expect(a, PhaseLength2, RecordHeader);
    return AdmitReply;
}

} // namespace

void admittanceStart(Admittance *a, const LobbySecret &secret) {
    noiseWipe(static_cast<void *>(a), sizeof *a);
    uint8_t greeting[GreetingLength];
    greetingWrite(secret.salt, greeting);
    if (!noiseStart(&a->hs, NoiseRole::Responder, secret.psk, greeting, sizeof greeting)) {
        admitFail(a);
        return;
    }
    expect(a, PhaseLength1, RecordHeader);
}

uint32_t admittanceWant(const Admittance *a) {
    return a->phase < PhaseDone ? a->need - a->have : 0;
}

uint8_t *admittanceInto(Admittance *a) { return a->buffer + a->have; }

AdmitStep admittanceTake(Admittance *a, uint32_t n) {
    if (a->phase >= PhaseDone || n > a->need - a->have) return admitFail(a);
    a->have += n;
    if (a->have < a->need) return AdmitMore;
    uint32_t size =
        a->phase == PhaseLength1 || a->phase == PhaseLength2 ? readLength(a->buffer) : 0;
    switch (a->phase) {
    case PhaseLength1:
        if (size < NoiseHandshakeOverhead || size > NoiseHandshakeOverhead + MaxNameLength)
            return admitFail(a);
        expect(a, PhaseMessage1, size);
        return AdmitMore;
    case PhaseMessage1:
        return takeMessage1(a);
    case PhaseLength2:
        if (size != NoiseTagLength) return admitFail(a); // the first record is empty
        expect(a, PhaseRecord, size);
        return AdmitMore;
    default: // PhaseRecord
        if (!noiseOpen(&a->keys.receive, a->buffer, a->need, a->buffer)) return admitFail(a);
        a->phase = PhaseDone;
        return AdmitDone;
    }
}

void admittanceWipe(Admittance *a) {
    noiseWipe(&a->hs);
    keyWipe(&a->keys);
    noiseWipe(static_cast<void *>(a), sizeof *a);
}

bool admittanceProven(const Admittance *a) {
    return a->phase >= PhaseLength2 && a->phase <= PhaseDone;
}

// ---- The client's side ----

namespace {

// Reads exactly `n` bytes from the blocking socket by the join's deadline;
// false on the connection's end, a failure, the deadline or a stop. It
// waits in slices, so the deadline holds on the core's clock and a stop is
// seen within a slice.
bool readExactly(Socket s, uint8_t *out, size_t n, const JoinWait &w) {
    const uint64_t slice = static_cast<uint64_t>(JoinWaitSliceMs);
    for (size_t got = 0; got < n;) {
        uint64_t now = nowMs();
        if (now >= w.deadline || w.stop->load()) return false;
        uint64_t wait = w.deadline - now < slice ? w.deadline - now : slice;
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

// Message 2 and the first record, once message 1 is out.
JoinEnd finishJoin(Socket s, NoiseHandshake *hs, const JoinWait &w, NoiseTransport *keys,
                   int32_t *sends) {
    uint8_t reply[RecordHeader + NoiseHandshakeOverhead];
    // A lobby host that does not know our secret closes without an answer;
    // one that lets us go for another reason says so.
    if (!readExactly(s, reply, RecordHeader, w)) return JoinWrongSecret;
    if (std::memcmp(reply, LetGo, RecordHeader) == 0) return JoinBusy;
    if (readLength(reply) != NoiseHandshakeOverhead ||
        !readExactly(s, reply + RecordHeader, NoiseHandshakeOverhead, w))
        return JoinWrongSecret;
    size_t payload = 0;
    uint8_t none[1];
    if (!noiseReadMessage(hs, reply + RecordHeader, NoiseHandshakeOverhead, none, &payload) ||
        !noiseSplit(hs, keys))
        return JoinWrongSecret;
    uint8_t first[RecordHeader + NoiseTagLength];
    if (!recordSeal(&keys->send, nullptr, 0, first) || !sendAll(s, first, sizeof first, sends))
        return JoinLost;
    return JoinDone;
}

// The handshake from the greeting on; the keys it leaves are joinPrivate's
// to wipe.
JoinEnd join(Socket s, const char *secret, size_t secretLength, const char *user, const JoinWait &w,
             NoiseTransport *keys, int32_t *sends) {
    uint8_t greeting[GreetingLength], salt[NoiseSaltLength], psk[NoiseKeyLength];
    // An open lobby host says nothing until it has a name.
    if (!readExactly(s, greeting, sizeof greeting, w) || !greetingRead(greeting, salt))
        return JoinNotPrivate;
    // A lobby host that cannot take us sends LetGo right after the greeting,
    // and may do so while we stretch the secret.
    JoinEnd early = JoinDone;
    if (letGoEarly(s, w, &early)) return early;
    if (!noiseStretchSecret(secret, secretLength, salt, psk)) outOfMemory(SecretStretchBytes);
    if (w.stop->load()) { // cancelled while stretching: nothing more goes out
        noiseWipe(psk, sizeof psk);
        return JoinLost;
    }
    NoiseHandshake hs;
    bool started = noiseStart(&hs, NoiseRole::Initiator, psk, greeting, sizeof greeting);
    noiseWipe(psk, sizeof psk);
    if (!started) return JoinLost;
    if (letGoEarly(s, w, &early)) {
        noiseWipe(&hs);
        return early;
    }
    uint8_t first[RecordHeader + NoiseHandshakeOverhead + MaxNameLength];
    size_t nameLength = std::strlen(user), written = 0;
    if (!noiseWriteMessage(&hs, reinterpret_cast<const uint8_t *>(user), nameLength,
                           first + RecordHeader, &written)) {
        noiseWipe(&hs);
        return JoinLost;
    }
    writeLength(first, written);
    JoinEnd end = sendAll(s, first, RecordHeader + written, sends)
                      ? finishJoin(s, &hs, w, keys, sends)
                      : JoinLost;
    noiseWipe(&hs);
    return end;
}

} // namespace

JoinEnd joinPrivate(Socket s, const char *secret, size_t secretLength, const char *user,
                    const JoinWait &w, NoiseTransport *keys, int32_t *sends) {
    noiseWipe(static_cast<void *>(keys), sizeof *keys); // a holder of none, as it comes
    JoinEnd end = join(s, secret, secretLength, user, w, keys, sends);
    if (end != JoinDone) keyWipe(keys);
    return end;
}

} // namespace ll
