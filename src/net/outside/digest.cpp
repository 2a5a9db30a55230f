// MD5, SHA-1, HMAC-SHA1 and CRC-32, straight from their definitions (see
// digest.h). Plain portable code: byte order is written out, never assumed.
#include "net/outside/digest.h"

#include <cstring>

namespace ll {

namespace {

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

uint32_t le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

// RFC 1321's sines: K[i] = floor(2^32 * |sin(i + 1)|), and each round's shifts.
const uint32_t Md5K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
const int Md5Shift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void md5Block(uint32_t h[4], const uint8_t *block) {
    uint32_t w[16];
    for (size_t i = 0; i < 16; ++i) w[i] = le32(block + 4 * i);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g, round = i / 16;
        if (round == 0) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (round == 1) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (round == 2) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        uint32_t next = b + rotl(a + f + Md5K[i] + w[g], Md5Shift[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
}

void sha1Block(uint32_t h[5], const uint8_t *block) {
    uint32_t w[80];
    for (size_t i = 0; i < 16; ++i) w[i] = be32(block + 4 * i);
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5a827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8f1bbcdc;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6;
        }
        uint32_t next = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = next;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

// Feeds bytes to a hash of 64-byte blocks; `length` counts every byte taken.
void feed(uint32_t *h, uint64_t *length, uint8_t *block, void (*run)(uint32_t *, const uint8_t *),
          const void *data, size_t n) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    size_t used = static_cast<size_t>(*length % 64);
    *length += n;
    while (n > 0) {
        size_t take = 64 - used < n ? 64 - used : n;
        std::memcpy(block + used, p, take);
        used += take;
        p += take;
        n -= take;
        if (used == 64) {
            run(h, block);
            used = 0;
        }
    }
}

// The padding both hashes share: 0x80, zeros, and the length in bits in the
// last 8 bytes (little-endian for MD5, big-endian for SHA-1).
void pad(uint32_t *h, uint64_t *length, uint8_t *block, void (*run)(uint32_t *, const uint8_t *),
         bool bigEndian) {
    uint64_t bits = *length * 8;
    uint8_t tail[72] = {0x80};
    size_t used = static_cast<size_t>(*length % 64);
    size_t n = (used < 56 ? 56 - used : 120 - used);
    for (int i = 0; i < 8; ++i)
        tail[n + static_cast<size_t>(i)] =
            static_cast<uint8_t>(bits >> (bigEndian ? 56 - 8 * i : 8 * i));
    feed(h, length, block, run, tail, n + 8);
}

void runMd5(uint32_t *h, const uint8_t *block) { md5Block(h, block); }
void runSha1(uint32_t *h, const uint8_t *block) { sha1Block(h, block); }

} // namespace

void md5Start(Md5 *m) {
    m->h[0] = 0x67452301;
    m->h[1] = 0xefcdab89;
    m->h[2] = 0x98badcfe;
    m->h[3] = 0x10325476;
    m->length = 0;
}

void md5Add(Md5 *m, const void *data, size_t length) {
    feed(m->h, &m->length, m->block, runMd5, data, length);
}

void md5End(Md5 *m, uint8_t out[Md5Bytes]) {
    pad(m->h, &m->length, m->block, runMd5, false);
    for (int i = 0; i < 16; ++i) out[i] = static_cast<uint8_t>(m->h[i / 4] >> (8 * (i % 4)));
}

void sha1Start(Sha1 *s) {
    s->h[0] = 0x67452301;
    s->h[1] = 0xefcdab89;
    s->h[2] = 0x98badcfe;
    s->h[3] = 0x10325476;
    s->h[4] = 0xc3d2e1f0;
    s->length = 0;
}

void sha1Add(Sha1 *s, const void *data, size_t length) {
    feed(s->h, &s->length, s->block, runSha1, data, length);
}

void sha1End(Sha1 *s, uint8_t out[Sha1Bytes]) {
    pad(s->h, &s->length, s->block, runSha1, true);
    for (int i = 0; i < 20; ++i) out[i] = static_cast<uint8_t>(s->h[i / 4] >> (24 - 8 * (i % 4)));
}

void hmacSha1Start(HmacSha1 *h, const uint8_t *key, size_t keyLength) {
    uint8_t k[64] = {};
    if (keyLength > 64) {
        Sha1 s;
        sha1Start(&s);
        sha1Add(&s, key, keyLength);
        sha1End(&s, k);
    } else if (keyLength > 0) {
        std::memcpy(k, key, keyLength);
    }
    uint8_t innerPad[64];
    for (int i = 0; i < 64; ++i) {
        innerPad[i] = static_cast<uint8_t>(k[i] ^ 0x36);
        h->outerPad[i] = static_cast<uint8_t>(k[i] ^ 0x5c);
    }
    sha1Start(&h->inner);
    sha1Add(&h->inner, innerPad, sizeof innerPad);
}

void hmacSha1Add(HmacSha1 *h, const void *data, size_t length) { sha1Add(&h->inner, data, length); }

void hmacSha1End(HmacSha1 *h, uint8_t out[Sha1Bytes]) {
    uint8_t inner[Sha1Bytes];
    sha1End(&h->inner, inner);
    Sha1 outer;
    sha1Start(&outer);
    sha1Add(&outer, h->outerPad, sizeof h->outerPad);
    sha1Add(&outer, inner, sizeof inner);
    sha1End(&outer, out);
}

uint32_t crc32Add(uint32_t crc, const void *data, size_t length) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    crc = ~crc;
    for (size_t i = 0; i < length; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

} // namespace ll
