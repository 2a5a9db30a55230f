// The digests STUN's long-term credentials and its fingerprint need, which
// libsodium does not have: MD5 (RFC 1321) for the key, HMAC-SHA1 (RFC 2104
// over SHA-1, FIPS 180) for MESSAGE-INTEGRITY, and the CRC-32 of ISO 3309
// for FINGERPRINT. Checked against the RFCs' test vectors (tests/
// digest_test.cpp). They authenticate STUN messages against a server that
// accepts nothing newer; nothing of the lobby's own security rests on them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ll {

const size_t Md5Bytes = 16;
const size_t Sha1Bytes = 20;

// Both hashes work on 64-byte blocks: the state, the bytes taken so far and
// the block being filled.
struct Md5 {
    uint32_t h[4];
    uint64_t length;
    uint8_t block[64];
};
struct Sha1 {
    uint32_t h[5];
    uint64_t length;
    uint8_t block[64];
};

void md5Start(Md5 *m);
void md5Add(Md5 *m, const void *data, size_t length);
void md5End(Md5 *m, uint8_t out[Md5Bytes]);

void sha1Start(Sha1 *s);
void sha1Add(Sha1 *s, const void *data, size_t length);
void sha1End(Sha1 *s, uint8_t out[Sha1Bytes]);

// HMAC-SHA1 over data given in pieces: the inner hash runs as the pieces
// come, the outer one at the end.
struct HmacSha1 {
    Sha1 inner;
    uint8_t outerPad[64];
};
void hmacSha1Start(HmacSha1 *h, const uint8_t *key, size_t keyLength);
void hmacSha1Add(HmacSha1 *h, const void *data, size_t length);
void hmacSha1End(HmacSha1 *h, uint8_t out[Sha1Bytes]);

// CRC-32 (reflected, polynomial 0xEDB88320) continued over `data`: start
// with 0 and pass each result on.
uint32_t crc32Add(uint32_t crc, const void *data, size_t length);

} // namespace ll
