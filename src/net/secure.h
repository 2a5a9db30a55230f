// A private lobby's connections: the handshake that lets in a member who
// knows the lobby's secret, and the sealed records that carry every byte
// afterwards. An open lobby uses none of it: its bytes go as they are, and
// its wire is the plain one of protocol.h.
//
// On every connection of a private lobby:
//   lobby host -> client  greeting: "lobbylink private 1 " + the salt in hex + 0
//   client -> lobby host  [length: 2][Noise message 1: e, and the name sealed]
//   lobby host -> client  [length: 2][Noise message 2: e, ee, empty payload]
//   client -> lobby host  [length: 2][an empty sealed record]
// and then records both ways, each [length: 2 bytes, big-endian][sealed
// bytes], whose opened bytes are the frames of protocol.h as one stream.
// The greeting is text with one 0 at its end; a client of an open lobby
// that reaches a private one knows it by its first bytes and leaves.
// The first record proves the newcomer holds the keys: a replayed first
// message gets the lobby host's answer but can seal nothing, so only a
// newcomer whose first record opens is admitted.
//
// A lobby host that refuses the secret (message 1 does not open) ends the
// connection without a word. One that lets a newcomer go for any other
// reason (its door is full, the deadline passed, the lobby closes) first
// sends LetGo, two 0 bytes: a record length that no answer has, which a
// client of an earlier version reads as a refusal, as before. It says
// nothing about the secret: the lobby host sends it whatever the newcomer
// sent, and never instead of an answer to a message 1 that opened.
#pragma once

#include "net/bytequeue.h"
#include "net/limits.h"
#include "net/noise.h"
#include "net/protocol.h"
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

// ---- Records ----
const size_t RecordHeader = 2;
// The lobby host's word to a newcomer it lets go for another reason than the
// secret: a record length of 0, which no answer and no record has.
const uint8_t LetGo[RecordHeader] = {0, 0};
const size_t RecordPayloadMax = 16384;
const size_t RecordMax = RecordHeader + RecordPayloadMax + NoiseTagLength;

// One connection's record layer; `sealed` is false on an open lobby's.
struct RecordLink {
    bool sealed = false;
    NoiseTransport keys = {};
    ByteQueue out; // the sealed record being sent
    ByteQueue in;  // received bytes of records not opened yet
};

void linkFree(RecordLink *l);
// `to` (freed first) takes over everything of `from`, keys and all; `from`
// is left an empty open link.
void linkMove(RecordLink *to, RecordLink *from);
// Seals `length` bytes (1 to RecordPayloadMax) into one record at `out`
// (length + RecordHeader + NoiseTagLength bytes); false once the nonce is spent.
bool recordSeal(NoiseCipher *c, const uint8_t *data, size_t length, uint8_t *out);

// What one send did: plaintext bytes taken from the caller's queue (sealed
// into a record or sent as they are), whether the connection took any byte,
// and whether it failed.
struct LinkSent {
    uint32_t taken;
    bool tookBytes;
    bool failed;
};
// Sends what the link holds and then `length` bytes of `data`, record by
// record, as far as the connection takes them without waiting.
LinkSent linkSend(Socket s, RecordLink *l, const uint8_t *data, uint32_t length);
// Opens every complete record of `in` (after what the link holds) into
// `plain` and gives the opened length; false for a record that is malformed,
// altered, replayed or reordered: the connection must end. `plain` has room
// for `length` + RecordMax bytes.
bool linkOpen(RecordLink *l, const uint8_t *in, size_t length, uint8_t *plain, size_t *plainLength);
// One non-blocking receive of at most `budget` bytes, opened and split into
// frames as receiveFrames does; `plain` has room for `budget` bytes.
SplitEnd linkReceive(Socket s, RecordLink *l, uint8_t *scratch, uint8_t *plain, uint32_t budget,
                     FrameReader *r, FrameHandler onFrame, void *context, SplitStop *stop);

// ---- The lobby host's side of one newcomer's handshake ----
// Bytes are read exactly as asked (admittanceWant), so nothing of what
// follows the first record is taken from the connection.
enum AdmitStep { AdmitMore, AdmitReply, AdmitDone, AdmitFailed };
struct Admittance {
    NoiseHandshake hs;
    NoiseTransport keys;
    uint8_t
        phase; // 0 length of message 1, 1 message 1, 2 length of the record, 3 the record, 4 done
    uint32_t have; // bytes of the current piece read
    uint32_t need; // bytes of the current piece
    uint8_t buffer[RecordHeader + NoiseHandshakeOverhead + MaxNameLength];
    char name[HandshakeLimit];
    uint8_t reply[RecordHeader + NoiseHandshakeOverhead]; // message 2, to send whole
};
void admittanceStart(Admittance *a, const LobbySecret &secret);
uint32_t admittanceWant(const Admittance *a); // bytes to read next; 0 once done or failed
uint8_t *admittanceInto(Admittance *a);       // where they go
// `n` more bytes were read into admittanceInto. AdmitReply: send a->reply
// now; AdmitDone: a->name and a->keys are the member's.
AdmitStep admittanceTake(Admittance *a, uint32_t n);
void admittanceWipe(Admittance *a);
// The newcomer's message 1 opened: it knows the secret, or replays a
// message of someone who does. Nothing less counts as proof.
bool admittanceProven(const Admittance *a);

// ---- The client's side ----
enum JoinEnd { JoinDone, JoinNotPrivate, JoinWrongSecret, JoinBusy, JoinLost };
// How long a join may wait (a nowMs time), and the flag that stops it early.
struct JoinWait {
    uint64_t deadline;
    const std::atomic<int> *stop;
};
// Runs the whole handshake on the blocking socket `s` for `user`, until the
// deadline or a stop: reads the greeting, stretches the secret, sends the
// name in message 1, reads message 2 and sends the first record. JoinBusy:
// the lobby host let it go (LetGo, or the end of the connection before
// message 1) for another reason than the secret. A stop ends it at its next
// wait (a stop during the stretch, once the stretch is done), with any
// outcome but JoinDone. `keys` (a holder of none) holds the connection's
// keys after JoinDone, and none after any other end.
JoinEnd joinPrivate(Socket s, const char *secret, size_t secretLength, const char *user,
                    const JoinWait &w, NoiseTransport *keys, int32_t *sends);

} // namespace ll
