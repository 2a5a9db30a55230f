// The handshake and sealed records of a private lobby: the Noise Protocol
// Framework (revision 34), pattern NNpsk0, suite 25519_ChaChaPoly_SHA256:
//   -> psk, e, [payload]     the client (initiator)
//   <- e, ee, [payload]      the lobby host (responder)
// then one CipherState each way. NNpsk0 because a private lobby has a shared
// secret and nothing else: no long-term keys on either side. The pre-shared
// key enters first, so the lobby host rejects a client without it on the
// first message, after one curve operation and no answer, and the client's
// payload (its name) is already encrypted. A replayed first message reads
// as valid, but its sender cannot read the answer nor seal a record, so a
// newcomer counts as admitted only once its first record opens.
//
// Every primitive is libsodium's: X25519, ChaCha20-Poly1305 (IETF), SHA-256,
// HMAC-SHA256, Argon2id. The records here are plain data with free functions
// over them and hold no lobby state, so they can be tested and fuzzed
// without sockets. Every record that holds keys has one owner at a time
// (KeyMaterial, at the end of this file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ll {

// A record that holds keys: it cannot be copied by construction or
// assignment, so no key is ever duplicated by an assignment that nobody
// wipes. Keys pass between holders only through keyMove and keyCopy below.
struct KeyMaterial {
    KeyMaterial() = default;
    KeyMaterial(const KeyMaterial &) = delete;
    KeyMaterial &operator=(const KeyMaterial &) = delete;
};

const size_t NoiseKeyLength = 32;  // X25519 keys, ChaCha20 keys, the psk
const size_t NoiseHashLength = 32; // SHA-256
const size_t NoiseTagLength = 16;  // Poly1305
const size_t NoiseSaltLength = 16; // Argon2id's salt for the psk
// The framework's bound on any message, handshake or transport.
const size_t NoiseMaxMessage = 65535;
const size_t NoiseMaxPayload = NoiseMaxMessage - NoiseTagLength;
// Handshake message sizes around their payloads: an ephemeral key and a tag.
const size_t NoiseHandshakeOverhead = NoiseKeyLength + NoiseTagLength;

struct NoiseCipher {
    uint8_t key[NoiseKeyLength];
    uint64_t nonce; // the next one to use; UINT64_MAX is never used
    bool hasKey;
};

struct NoiseSymmetric {
    NoiseCipher cipher;
    uint8_t chainingKey[NoiseHashLength];
    uint8_t hash[NoiseHashLength];
};

enum class NoiseRole : uint8_t { Initiator, Responder };

struct NoiseHandshake : KeyMaterial {
    NoiseSymmetric symmetric;
    uint8_t psk[NoiseKeyLength];
    uint8_t ephemeral[NoiseKeyLength]; // our private key
    uint8_t ephemeralPublic[NoiseKeyLength];
    uint8_t remoteEphemeral[NoiseKeyLength];
    NoiseRole role;
    uint8_t message; // handshake messages done: 0, 1, 2 (complete)
    bool failed;     // a failed handshake accepts nothing more
    bool keyed;      // holds keys: from noiseStart to its wipe
};

// The two directions of a connection after the handshake.
struct NoiseTransport : KeyMaterial {
    NoiseCipher send;
    NoiseCipher receive;
    uint8_t handshakeHash[NoiseHashLength];
};

// Starts a handshake with a fresh random ephemeral key. False only when the
// library's cryptography cannot start (libsodium's own check failed).
bool noiseStart(NoiseHandshake *hs, NoiseRole role, const uint8_t psk[NoiseKeyLength],
                const uint8_t *prologue, size_t prologueLength);
// Replaces the ephemeral key before the first message: the test vectors fix
// it. Internal to the library, out of the hosts' reach.
void noiseUseEphemeral(NoiseHandshake *hs, const uint8_t privateKey[NoiseKeyLength]);

// Writes our next handshake message around `payload` into `out` (room for
// payloadLength + NoiseHandshakeOverhead) and gives its size; false when it
// is not our turn, the payload is too long or the handshake has failed.
bool noiseWriteMessage(NoiseHandshake *hs, const uint8_t *payload, size_t payloadLength,
                       uint8_t *out, size_t *outLength);
// Reads the peer's next handshake message; its payload goes to `payload`
// (room for length - NoiseHandshakeOverhead). False for a message that is
// too short or too long, not the peer's turn, a low-order key or a failed
// tag (a wrong psk, tampering): the handshake has then failed for good.
bool noiseReadMessage(NoiseHandshake *hs, const uint8_t *message, size_t length, uint8_t *payload,
                      size_t *payloadLength);
inline bool noiseComplete(const NoiseHandshake &hs) { return hs.message == 2 && !hs.failed; }
// After the second message: the two ciphers of this side, and the handshake
// hash, in `out`. The handshake's keys are wiped. False before the
// handshake completed.
bool noiseSplit(NoiseHandshake *hs, NoiseTransport *out);
// Wipes a handshake's keys; whether it failed and how far it came stay.
void noiseWipe(NoiseHandshake *hs);

// Seals `length` bytes (at most NoiseMaxPayload) into `out`, length +
// NoiseTagLength bytes; `out` may be `in`. False, with nothing written, once
// the nonce is spent: the connection must end.
bool noiseSeal(NoiseCipher *c, const uint8_t *in, size_t length, uint8_t *out);
// Opens a sealed record of `length` bytes into `out` (length - NoiseTagLength
// bytes; `out` may be `in`). False for a record that is too short, altered,
// replayed, reordered or from another key: the connection must end.
bool noiseOpen(NoiseCipher *c, const uint8_t *in, size_t length, uint8_t *out);

// Stretches a secret (at most 255 bytes) into the psk with Argon2id and the
// lobby's salt. False when Argon2id cannot get its memory.
bool noiseStretchSecret(const char *secret, size_t length, const uint8_t salt[NoiseSaltLength],
                        uint8_t psk[NoiseKeyLength]);

// Random bytes from the system's source (a salt).
void noiseRandom(uint8_t *out, size_t length);
// Wipes bytes the optimiser must not skip: a key outside a holder (a psk
// on the stack, the host application's secret text).
void noiseWipe(void *data, size_t length);

// ---- Who holds a key ----
// Keys come into a holder (NoiseHandshake, NoiseTransport, LobbySecret) by a
// derivation only: noiseStart, noiseSplit, secretMake, each writing into a
// holder that holds none (a new one, or one wiped). From there they pass
// on by keyMove, which leaves the source empty, or by keyCopy where two
// holders need the same keys (the admission thread's own copy of the lobby's
// secret); and every holder ends with keyWipe, on the paths that fail too.
// The process counts its holders of keys: keysHeld() goes back to what it
// was once every path has let go of what it derived, so a test can tell that
// none kept a key behind.
inline bool keyHeld(const NoiseHandshake &hs) { return hs.keyed; }
inline bool keyHeld(const NoiseTransport &t) { return t.send.hasKey || t.receive.hasKey; }
int keysHeld();
void keysCounted(int change); // by the derivations and the functions below

template <typename Holder> void keyWipe(Holder *k) {
    if (keyHeld(*k)) keysCounted(-1);
    noiseWipe(static_cast<void *>(k), sizeof *k);
}
// `to` takes the keys of `from` (its own wiped first); `from` holds none after.
template <typename Holder> void keyMove(Holder *to, Holder *from) {
    if (to == from) return;
    keyWipe(to);
    std::memcpy(static_cast<void *>(to), static_cast<const void *>(from), sizeof *to);
    noiseWipe(static_cast<void *>(from), sizeof *from);
}
template <typename Holder> void keyCopy(Holder *to, const Holder *from) {
    if (to == from) return;
    keyWipe(to);
    std::memcpy(static_cast<void *>(to), static_cast<const void *>(from), sizeof *to);
    if (keyHeld(*to)) keysCounted(1);
}

} // namespace ll
