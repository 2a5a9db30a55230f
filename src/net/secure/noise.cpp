// Noise NNpsk0 over libsodium: the CipherState, SymmetricState and
// HandshakeState of the framework as plain records (noise.h).
#include "net/secure/noise.h"

#include "net/base/limits.h"
#include "platform/heap.h"

#include <sodium.h>

#include <atomic>
#include <cstring>

namespace ll {
namespace {

const char ProtocolName[] = "Noise_NNpsk0_25519_ChaChaPoly_SHA256";
static_assert(crypto_aead_chacha20poly1305_ietf_KEYBYTES == NoiseKeyLength, "key size");
static_assert(crypto_aead_chacha20poly1305_ietf_ABYTES == NoiseTagLength, "tag size");
static_assert(crypto_scalarmult_BYTES == NoiseKeyLength, "X25519 size");
static_assert(crypto_hash_sha256_BYTES == NoiseHashLength, "hash size");
static_assert(crypto_pwhash_SALTBYTES == NoiseSaltLength, "salt size");

// The 96-bit nonce: 32 zero bits, then the counter little-endian.
void ietfNonce(uint64_t counter, uint8_t out[crypto_aead_chacha20poly1305_ietf_NPUBBYTES]) {
    std::memset(out, 0, 4);
    for (int i = 0; i < 8; ++i) out[4 + i] = static_cast<uint8_t>(counter >> (8 * i));
}

void hmac(const uint8_t key[NoiseHashLength], const uint8_t *a, size_t aLength, const uint8_t *b,
          size_t bLength, uint8_t out[NoiseHashLength]) {
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, key, NoiseHashLength);
    crypto_auth_hmacsha256_update(&state, a, aLength);
    crypto_auth_hmacsha256_update(&state, b, bLength);
    crypto_auth_hmacsha256_final(&state, out);
    sodium_memzero(&state, sizeof state);
}

// HKDF(chaining key, input) with two or three outputs.
void hkdf(const uint8_t chainingKey[NoiseHashLength], const uint8_t *input, size_t length,
          uint8_t *out1, uint8_t *out2, uint8_t *out3) {
    uint8_t tempKey[NoiseHashLength];
    hmac(chainingKey, input, length, nullptr, 0, tempKey);
    const uint8_t one = 1, two = 2, three = 3;
    hmac(tempKey, &one, 1, nullptr, 0, out1);
    hmac(tempKey, out1, NoiseHashLength, &two, 1, out2);
    if (out3 != nullptr) hmac(tempKey, out2, NoiseHashLength, &three, 1, out3);
    sodium_memzero(tempKey, sizeof tempKey);
}

void initializeKey(NoiseCipher *c, const uint8_t key[NoiseKeyLength]) {
    std::memcpy(c->key, key, NoiseKeyLength);
    c->nonce = 0;
    c->hasKey = true;
}

bool encryptWithAd(NoiseCipher *c, const uint8_t *ad, size_t adLength, const uint8_t *in,
                   size_t length, uint8_t *out) {
    if (!c->hasKey) {
        std::memmove(out, in, length);
        return true;
    }
    if (c->nonce == UINT64_MAX || length > NoiseMaxPayload) return false;
    uint8_t nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
    ietfNonce(c->nonce, nonce);
    crypto_aead_chacha20poly1305_ietf_encrypt(out, nullptr, in, length, ad, adLength, nullptr,
                                              nonce, c->key);
    ++c->nonce;
    return true;
}

// On failure the nonce stays, as the framework asks; we end the connection.
bool decryptWithAd(NoiseCipher *c, const uint8_t *ad, size_t adLength, const uint8_t *in,
                   size_t length, uint8_t *out) {
    if (!c->hasKey) {
        std::memmove(out, in, length);
        return true;
    }
    if (c->nonce == UINT64_MAX || length < NoiseTagLength || length > NoiseMaxMessage) return false;
    uint8_t nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
    ietfNonce(c->nonce, nonce);
    if (crypto_aead_chacha20poly1305_ietf_decrypt(out, nullptr, nullptr, in, length, ad, adLength,
                                                  nonce, c->key) != 0)
        return false;
    ++c->nonce;
    return true;
}

size_t sealedLength(const NoiseCipher &c, size_t length) {
    return c.hasKey ? length + NoiseTagLength : length;
}

void mixHash(NoiseSymmetric *s, const uint8_t *data, size_t length) {
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    crypto_hash_sha256_update(&state, s->hash, NoiseHashLength);
    crypto_hash_sha256_update(&state, data, length);
    crypto_hash_sha256_final(&state, s->hash);
}

void mixKey(NoiseSymmetric *s, const uint8_t *input, size_t length) {
    uint8_t tempKey[NoiseHashLength];
    hkdf(s->chainingKey, input, length, s->chainingKey, tempKey, nullptr);
    initializeKey(&s->cipher, tempKey);
    sodium_memzero(tempKey, sizeof tempKey);
}

void mixKeyAndHash(NoiseSymmetric *s, const uint8_t *input, size_t length) {
    uint8_t tempHash[NoiseHashLength], tempKey[NoiseHashLength];
    hkdf(s->chainingKey, input, length, s->chainingKey, tempHash, tempKey);
    mixHash(s, tempHash, NoiseHashLength);
    initializeKey(&s->cipher, tempKey);
    sodium_memzero(tempKey, sizeof tempKey);
}

// Encrypts with the handshake hash as associated data, then hashes the
// ciphertext.
bool encryptAndHash(NoiseSymmetric *s, const uint8_t *in, size_t length, uint8_t *out) {
    if (!encryptWithAd(&s->cipher, s->hash, NoiseHashLength, in, length, out)) return false;
    mixHash(s, out, sealedLength(s->cipher, length));
    return true;
}

bool decryptAndHash(NoiseSymmetric *s, const uint8_t *in, size_t length, uint8_t *out) {
    uint8_t hashBefore[NoiseHashLength];
    std::memcpy(hashBefore, s->hash, NoiseHashLength);
    mixHash(s, in, length); // of the ciphertext, before `out` may overwrite it
    return decryptWithAd(&s->cipher, hashBefore, NoiseHashLength, in, length, out);
}

// The "e" token of a pattern with a psk: the key in the clear, hashed and
// mixed into the chaining key.
void mixEphemeral(NoiseSymmetric *s, const uint8_t publicKey[NoiseKeyLength]) {
    mixHash(s, publicKey, NoiseKeyLength);
    mixKey(s, publicKey, NoiseKeyLength);
}

// The "ee" token. X25519 refuses a low-order point (an all-zero result).
bool mixDh(NoiseHandshake *hs) {
    uint8_t shared[crypto_scalarmult_BYTES];
    bool ok = crypto_scalarmult(shared, hs->ephemeral, hs->remoteEphemeral) == 0;
    if (ok) mixKey(&hs->symmetric, shared, sizeof shared);
    sodium_memzero(shared, sizeof shared);
    return ok;
}

bool ourTurn(const NoiseHandshake &hs) {
    if (hs.failed || hs.message >= 2) return false;
    return (hs.message == 0) == (hs.role == NoiseRole::Initiator);
}

bool fail(NoiseHandshake *hs) {
    noiseWipe(hs);
    hs->failed = true;
    return false;
}

} // namespace

bool noiseStart(NoiseHandshake *hs, NoiseRole role, const uint8_t psk[NoiseKeyLength],
                const uint8_t *prologue, size_t prologueLength) {
    sodium_memzero(hs, sizeof *hs); // a holder of no keys: nothing to count
    hs->role = role;
    if (sodium_init() < 0) return fail(hs);
    // The name is longer than a hash, so the first hash is the name's hash.
    static_assert(sizeof ProtocolName - 1 > NoiseHashLength, "name is hashed");
    crypto_hash_sha256(hs->symmetric.hash, reinterpret_cast<const uint8_t *>(ProtocolName),
                       sizeof ProtocolName - 1);
    std::memcpy(hs->symmetric.chainingKey, hs->symmetric.hash, NoiseHashLength);
    mixHash(&hs->symmetric, prologue, prologueLength);
    std::memcpy(hs->psk, psk, NoiseKeyLength);
    uint8_t privateKey[NoiseKeyLength];
    randombytes_buf(privateKey, sizeof privateKey);
    noiseUseEphemeral(hs, privateKey);
    sodium_memzero(privateKey, sizeof privateKey);
    hs->keyed = true;
    keysCounted(1);
    return true;
}

void noiseUseEphemeral(NoiseHandshake *hs, const uint8_t privateKey[NoiseKeyLength]) {
    std::memcpy(hs->ephemeral, privateKey, NoiseKeyLength);
    crypto_scalarmult_base(hs->ephemeralPublic, hs->ephemeral);
}

bool noiseWriteMessage(NoiseHandshake *hs, const uint8_t *payload, size_t payloadLength,
                       uint8_t *out, size_t *outLength) {
    if (!ourTurn(*hs) || payloadLength > NoiseMaxMessage - NoiseHandshakeOverhead) return fail(hs);
    NoiseSymmetric *s = &hs->symmetric;
    if (hs->message == 0) mixKeyAndHash(s, hs->psk, NoiseKeyLength); // -> psk
    std::memcpy(out, hs->ephemeralPublic, NoiseKeyLength);           // e
    mixEphemeral(s, hs->ephemeralPublic);
    if (hs->message == 1 && !mixDh(hs)) return fail(hs); // ee
    if (!encryptAndHash(s, payload, payloadLength, out + NoiseKeyLength)) return fail(hs);
    *outLength = NoiseKeyLength + sealedLength(s->cipher, payloadLength);
    ++hs->message;
    return true;
}

bool noiseReadMessage(NoiseHandshake *hs, const uint8_t *message, size_t length, uint8_t *payload,
                      size_t *payloadLength) {
    if (hs->failed || hs->message >= 2 || ourTurn(*hs) || length < NoiseHandshakeOverhead ||
        length > NoiseMaxMessage)
        return fail(hs);
    NoiseSymmetric *s = &hs->symmetric;
    if (hs->message == 0) mixKeyAndHash(s, hs->psk, NoiseKeyLength); // -> psk
    std::memcpy(hs->remoteEphemeral, message, NoiseKeyLength);       // e
    mixEphemeral(s, hs->remoteEphemeral);
    if (hs->message == 1 && !mixDh(hs)) return fail(hs); // ee
    size_t sealed = length - NoiseKeyLength;
    if (!decryptAndHash(s, message + NoiseKeyLength, sealed, payload)) return fail(hs);
    *payloadLength = sealed - NoiseTagLength;
    ++hs->message;
    return true;
}

bool noiseSplit(NoiseHandshake *hs, NoiseTransport *out) {
    if (!noiseComplete(*hs)) return false;
    uint8_t first[NoiseHashLength], second[NoiseHashLength];
    hkdf(hs->symmetric.chainingKey, nullptr, 0, first, second, nullptr);
    bool initiator = hs->role == NoiseRole::Initiator;
    sodium_memzero(out, sizeof *out);
    initializeKey(&out->send, initiator ? first : second);
    initializeKey(&out->receive, initiator ? second : first);
    std::memcpy(out->handshakeHash, hs->symmetric.hash, NoiseHashLength);
    keysCounted(1);
    sodium_memzero(first, sizeof first);
    sodium_memzero(second, sizeof second);
    noiseWipe(hs);
    hs->message = 2;
    return true;
}

void noiseWipe(NoiseHandshake *hs) {
    NoiseRole role = hs->role;
    uint8_t message = hs->message;
    bool failed = hs->failed;
    keyWipe(hs);
    hs->role = role;
    hs->message = message;
    hs->failed = failed;
}

bool noiseSeal(NoiseCipher *c, const uint8_t *in, size_t length, uint8_t *out) {
    return c->hasKey && encryptWithAd(c, nullptr, 0, in, length, out);
}

bool noiseOpen(NoiseCipher *c, const uint8_t *in, size_t length, uint8_t *out) {
    return c->hasKey && decryptWithAd(c, nullptr, 0, in, length, out);
}

bool noiseStretchSecret(const char *secret, size_t length, const uint8_t salt[NoiseSaltLength],
                        uint8_t psk[NoiseKeyLength]) {
    if (sodium_init() < 0) return false;
    return crypto_pwhash(psk, NoiseKeyLength, secret, length, salt, SecretStretchPasses,
                         SecretStretchBytes, crypto_pwhash_ALG_ARGON2ID13) == 0;
}

void noiseRandom(uint8_t *out, size_t length) {
    if (sodium_init() < 0) outOfMemory(length); // libsodium could not start
    randombytes_buf(out, length);
}

void noiseWipe(void *data, size_t length) { sodium_memzero(data, length); }

namespace {
std::atomic<int> holders{0}; // the admission thread and the application's both derive keys
} // namespace

int keysHeld() { return holders.load(); }

void keysCounted(int change) { holders.fetch_add(change); }

} // namespace ll
