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
// without sockets. Keys are wiped when a handshake ends or fails.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ll {

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

struct NoiseHandshake {
    NoiseSymmetric symmetric;
    uint8_t psk[NoiseKeyLength];
    uint8_t ephemeral[NoiseKeyLength]; // our private key
    uint8_t ephemeralPublic[NoiseKeyLength];
    uint8_t remoteEphemeral[NoiseKeyLength];
    NoiseRole role;
    uint8_t message; // handshake messages done: 0, 1, 2 (complete)
    bool failed;     // a failed handshake accepts nothing more
};

// One direction of a connection after the handshake.
struct NoiseTransport {
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
// hash. The handshake's keys are wiped. False before the handshake completed.
bool noiseSplit(NoiseHandshake *hs, NoiseTransport *out);
void noiseWipe(NoiseHandshake *hs);
void noiseWipe(NoiseTransport *t);

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
// Wipes key material the optimiser must not skip.
void noiseWipe(void *data, size_t length);

} // namespace ll
