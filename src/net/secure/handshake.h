// The folder src/net/secure/ holds a private lobby's crypto: the Noise
// handshake and ciphers over libsodium, and who holds a key (noise.h), the
// record link that seals every byte (link.h), and this handshake. It
// stands on base/ alone; the lobby core (core/) uses it.
//
// A private lobby's handshake: it lets in a member who knows the lobby's
// secret, and gives both ends the keys of the sealed records (link.h) that
// carry every byte afterwards. An open lobby uses none of it: its bytes go
// as they are, and its wire is the plain one of protocol.h.
//
// On every connection of a private lobby, in the order of HandshakePhase:
//   lobby host -> client  greeting: "lobbylink private 1 " + the salt in hex + 0
//   client -> lobby host  [length: 2][Noise message 1: e, and the name sealed]
//   lobby host -> client  [length: 2][Noise message 2: e, ee, empty payload]
//   client -> lobby host  [length: 2][an empty sealed record]
// and then records both ways. The greeting is text with one 0 at its end;
// a client of an open lobby that reaches a private one knows it by its
// first bytes and leaves. The first record proves the newcomer holds the
// keys: a replayed first message gets the lobby host's answer but can seal
// nothing, so only a newcomer whose first record opens is admitted.
//
// A lobby host that refuses the secret (message 1 does not open) ends the
// connection without a word. One that lets a newcomer go for any other
// reason (its door is full, the deadline passed, the lobby closes) first
// sends LetGo, two 0 bytes: a record length that no answer has, which a
// client of an earlier version reads as a refusal, as before. It says
// nothing about the secret: the lobby host sends it whatever the newcomer
// sent, and never instead of an answer to a message 1 that opened.
//
// Both ends run the same state machine (SecureHandshake) over the same
// phases, without sockets: the caller reads what handshakeWant asks for into
// handshakeInto, hands it over with handshakeTake and sends `out` whenever
// told to. Bytes are read exactly as asked, so nothing of what follows the
// handshake is taken from the connection.
#pragma once

#include "net/base/limits.h"
#include "net/secure/link.h"
#include "net/secure/noise.h"
#include "platform/platform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace ll {

// The lobby's secret, stretched once when the lobby opens.
struct LobbySecret : KeyMaterial {
    bool on = false;                    // a private lobby
    uint8_t salt[NoiseSaltLength] = {}; // random per lobby, sent in the greeting
    uint8_t psk[NoiseKeyLength] = {};   // Argon2id(secret, salt)
};
inline bool keyHeld(const LobbySecret &s) { return s.on; }

const char GreetingLead[] = "lobbylink private 1 ";
const size_t GreetingLength = sizeof GreetingLead - 1 + 2 * NoiseSaltLength + 1;
// What every version's greeting begins with: the lead without its version.
const size_t GreetingKind = sizeof GreetingLead - 3;
// The lobby host's word to a newcomer it lets go for another reason than the
// secret: a record length of 0, which no answer and no record has.
const uint8_t LetGo[RecordHeader] = {0, 0};

// Makes a private lobby's secret (salt and psk) from the host application's
// bytes (1 to MaxSecretLength of them, any byte, 0 included).
void secretMake(LobbySecret *s, const char *secret, size_t length);
void secretWipe(LobbySecret *s);
void greetingWrite(const uint8_t salt[NoiseSaltLength], uint8_t out[GreetingLength]);
// False unless `in` (GreetingLength bytes) is a greeting; then the salt.
bool greetingRead(const uint8_t *in, uint8_t salt[NoiseSaltLength]);
// Whether bytes that came on a connection begin as a private lobby's
// greeting does (of any version); `length` may be less than a greeting.
bool greetingSeen(const uint8_t *bytes, size_t length);

// Where one handshake stands. Each piece is read by the end it goes to and
// written by the other; the lobby host starts at Message1Length (its
// greeting goes out as the connection is taken), the client at Greeting.
enum class HandshakePhase : uint8_t {
    Greeting,       // lobby host -> client: the greeting
    Message1Length, // client -> lobby host: message 1's length
    Message1,       //   and message 1
    Message2Length, // lobby host -> client: message 2's length
    Message2,       //   and message 2
    RecordLength,   // client -> lobby host: the first record's length
    Record,         //   and the first record
    Done,           // the keys are the connection's
    Failed          // nothing more is taken; no key is held
};

// What an end does after a take.
enum HandshakeStep {
    HandshakeMore,   // read on: handshakeWant bytes
    HandshakeWrite,  // the client: the greeting is read, and message 1 costs
                     // the secret's stretch; handshakeWrite makes it
    HandshakeSend,   // send `out` (outLength bytes) whole now; then the phase
                     // tells whether to read on or the handshake is Done
    HandshakeDone,   // the lobby host: `name` and `keys` are the member's
    HandshakeFailed, // the connection ends
};

// One end of one connection's handshake: a holder of keys (noise.h).
struct SecureHandshake {
    NoiseHandshake hs;
    NoiseTransport keys;
    HandshakePhase phase;
    HandshakePhase failedIn; // the piece a failed handshake stopped at
    uint32_t have;           // bytes of the piece being read
    uint32_t need;           // bytes of that piece
    uint8_t buffer[RecordHeader + NoiseHandshakeOverhead + MaxNameLength];
    uint8_t out[RecordHeader + NoiseHandshakeOverhead + MaxNameLength]; // to send whole
    uint32_t outLength;
    char name[HandshakeLimit]; // the lobby host's: the newcomer's name, once done
    // The client's: the lobby's salt from the greeting, and its secret and
    // name, kept by the caller until message 1 is written.
    uint8_t salt[NoiseSaltLength];
    const char *secret;
    size_t secretLength;
    const char *user;
};

// The lobby host's end, once its greeting for `secret` has gone out.
void handshakeHost(SecureHandshake *h, const LobbySecret &secret);
// The client's end: `secret` (secretLength bytes) and `user` stay valid
// until message 1 is written.
void handshakeJoin(SecureHandshake *h, const char *secret, size_t secretLength, const char *user);
uint32_t handshakeWant(const SecureHandshake *h); // bytes to read next; 0 once done or failed
uint8_t *handshakeInto(SecureHandshake *h);       // where they go
// `n` more bytes were read into handshakeInto.
HandshakeStep handshakeTake(SecureHandshake *h, uint32_t n);
// After HandshakeWrite: stretches the secret and writes message 1; then
// HandshakeSend, or HandshakeFailed.
HandshakeStep handshakeWrite(SecureHandshake *h);
void handshakeWipe(SecureHandshake *h);
// The lobby host's newcomer's message 1 opened: it knows the secret, or
// replays a message of someone who does. Nothing less counts as proof.
bool handshakeProven(const SecureHandshake *h);

// ---- The client's end on a blocking socket ----
enum JoinEnd { JoinDone, JoinNotPrivate, JoinWrongSecret, JoinBusy, JoinLost };
// How long a join may wait (a nowMs time), and the flag that stops it early.
struct JoinWait {
    uint64_t deadline;
    const std::atomic<int> *stop;
};
// Runs the client's end of the handshake on the blocking socket `s` for
// `user`, until the deadline or a stop: reads the greeting, stretches the
// secret, sends the name in message 1, reads message 2 and sends the first
// record. JoinBusy: the lobby host let it go (LetGo, or the end of the
// connection before message 1) for another reason than the secret. A stop
// ends it at its next wait (a stop during the stretch, once the stretch is
// done), with any end but JoinDone. `keys` (a holder of none) holds the
// connection's keys after JoinDone, and none after any other end.
JoinEnd joinPrivate(Socket s, const char *secret, size_t secretLength, const char *user,
                    const JoinWait &w, NoiseTransport *keys, int32_t *sends);

} // namespace ll
