// STUN requests and their parsing (stun.h).
#include "net/outside/stun.h"

#include <cstring>

namespace ll {

namespace {

// Attribute types.
const uint16_t AttrMappedAddress = 0x0001;
const uint16_t AttrUsername = 0x0006;
const uint16_t AttrIntegrity = 0x0008;
const uint16_t AttrErrorCode = 0x0009;
const uint16_t AttrUnknown = 0x000A;
const uint16_t AttrLifetime = 0x000D;
const uint16_t AttrPeerAddress = 0x0012;
const uint16_t AttrRealm = 0x0014;
const uint16_t AttrNonce = 0x0015;
const uint16_t AttrRelayedAddress = 0x0016;
const uint16_t AttrTransport = 0x0019;
const uint16_t AttrMappedXor = 0x0020;
const uint16_t AttrReservation = 0x0022;
const uint16_t AttrConnectionId = 0x002A;
const uint16_t AttrFingerprint = 0x8028;
// FINGERPRINT is the CRC-32 of the message before it, XORed with "STUN".
const uint32_t FingerprintXor = 0x5354554e;
const uint8_t TransportTcp = 6;

uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t get32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t *p, uint32_t v) {
    put16(p, v >> 16);
    put16(p + 2, v);
}

// A message being written; `full` once something did not fit.
struct Writer {
    uint8_t *out;
    size_t capacity, n;
    bool full;
};

void attr(Writer *w, uint16_t type, const void *value, size_t length) {
    size_t padded = (length + 3) & ~size_t{3};
    if (w->full || length > 0xffff || w->capacity - w->n < 4 + padded) {
        w->full = true;
        return;
    }
    put16(w->out + w->n, type);
    put16(w->out + w->n + 2, static_cast<uint32_t>(length));
    if (length > 0) std::memcpy(w->out + w->n + 4, value, length);
    std::memset(w->out + w->n + 4 + length, 0, padded - length);
    w->n += 4 + padded;
}

void attr32(Writer *w, uint16_t type, uint32_t value) {
    uint8_t v[4];
    put32(v, value);
    attr(w, type, v, 4);
}

Writer begin(uint8_t *out, size_t capacity, uint16_t method, const uint8_t tid[StunTidBytes]) {
    Writer w = {out, capacity, 0, capacity < StunHeaderBytes};
    if (w.full) return w;
    // A request's type is its method with both class bits clear.
    put16(out, (method & 0x000F) | (method & 0x0070) << 1 | (method & 0x0F80) << 2);
    put32(out + 4, StunMagic);
    std::memcpy(out + 8, tid, StunTidBytes);
    w.n = StunHeaderBytes;
    return w;
}

// The header's length as it must read when an attribute of `next` bytes
// comes after what is written.
void lengthWith(Writer *w, size_t next) {
    put16(w->out + 2, static_cast<uint32_t>(w->n + next - StunHeaderBytes));
}

// The credentials and MESSAGE-INTEGRITY (when keyed), FINGERPRINT, and the
// final length.
size_t finish(Writer *w, const StunAuth &auth) {
    if (auth.keyed) {
        attr(w, AttrUsername, auth.user, auth.userLength);
        attr(w, AttrRealm, auth.realm, auth.realmLength);
        attr(w, AttrNonce, auth.nonce, auth.nonceLength);
        if (w->full || w->capacity - w->n < 4 + Sha1Bytes) return 0;
        lengthWith(w, 4 + Sha1Bytes);
        HmacSha1 h;
        uint8_t mac[Sha1Bytes];
        hmacSha1Start(&h, auth.key, sizeof auth.key);
        hmacSha1Add(&h, w->out, w->n);
        hmacSha1End(&h, mac);
        attr(w, AttrIntegrity, mac, sizeof mac);
    }
    if (w->full || w->capacity - w->n < 8) return 0;
    lengthWith(w, 8);
    attr32(w, AttrFingerprint, crc32Add(0, w->out, w->n) ^ FingerprintXor);
    return w->full ? 0 : w->n;
}

bool copyText(uint8_t *to, size_t *toLength, const uint8_t *text, size_t length) {
    if (length > StunTextCapacity) return false;
    if (length > 0) std::memcpy(to, text, length);
    *toLength = length;
    return true;
}

// An XOR-...-ADDRESS value; false when malformed, port 0 included: it names
// no address anyone could connect to or come from (a relayed address with it
// would be handed to players as one they cannot join).
bool xorAddress(const uint8_t *v, size_t length, const uint8_t *header, StunAddress *a) {
    if (length < 4 || (v[1] != 1 && v[1] != 2)) return false;
    a->ipv6 = v[1] == 2;
    if (length != (a->ipv6 ? 20u : 8u)) return false;
    a->port = static_cast<uint16_t>(get16(v + 2) ^ (StunMagic >> 16));
    if (a->port == 0) return false;
    // The magic cookie and the transaction id follow each other in the
    // header: XORing with header[4..] covers both families.
    std::memset(a->ip, 0, sizeof a->ip);
    for (size_t i = 0; i < length - 4; ++i) a->ip[i] = v[4 + i] ^ header[4 + i];
    return true;
}

bool known(uint16_t type) {
    switch (type) {
    case AttrMappedAddress:
    case AttrUsername:
    case AttrIntegrity:
    case AttrErrorCode:
    case AttrUnknown:
    case AttrLifetime:
    case AttrPeerAddress:
    case AttrRealm:
    case AttrNonce:
    case AttrRelayedAddress:
    case AttrMappedXor:
    case AttrReservation:
    case AttrConnectionId:
        return true;
    default:
        return false;
    }
}

// ERROR-CODE: a class of 3 to 6 and a number below 100.
bool takeError(const uint8_t *v, size_t length, StunMessage *m) {
    if (m->errorCode != 0) return true;
    if (length < 4 || (v[2] & 7) < 3 || (v[2] & 7) > 6 || v[3] > 99) return false;
    m->errorCode = (v[2] & 7) * 100 + v[3];
    return true;
}

bool takeNumber(const uint8_t *v, size_t length, bool *has, uint32_t *value) {
    if (length != 4) return false;
    if (!*has) *value = get32(v);
    *has = true;
    return true;
}

bool takeText(const uint8_t *v, size_t length, const uint8_t **text, size_t *textLength) {
    if (length > StunTextCapacity) return false;
    if (!*text) {
        *text = v;
        *textLength = length;
    }
    return true;
}

bool takeAddress(const uint8_t *data, const uint8_t *v, size_t length, bool *has, StunAddress *a) {
    if (*has) return true;
    *has = true;
    return xorAddress(v, length, data, a);
}

// One attribute into the message; false when it is malformed. Only the
// first of a type counts.
bool take(const uint8_t *data, uint16_t type, const uint8_t *v, size_t length, StunMessage *m) {
    switch (type) {
    case AttrErrorCode:
        return takeError(v, length, m);
    case AttrLifetime:
        return takeNumber(v, length, &m->hasLifetime, &m->lifetimeS);
    case AttrConnectionId:
        return takeNumber(v, length, &m->hasConnectionId, &m->connectionId);
    case AttrRealm:
        return takeText(v, length, &m->realm, &m->realmLength);
    case AttrNonce:
        return takeText(v, length, &m->nonce, &m->nonceLength);
    case AttrRelayedAddress:
        return takeAddress(data, v, length, &m->hasRelayed, &m->relayed);
    case AttrMappedXor:
        return takeAddress(data, v, length, &m->hasMapped, &m->mapped);
    case AttrPeerAddress:
        return takeAddress(data, v, length, &m->hasPeer, &m->peer);
    default:
        if (type < 0x8000 && !known(type)) m->unknownRequired = true;
        return true;
    }
}

// The attribute at `at` (whose value, `n` bytes, lies within the message);
// false when the message is malformed there. Only FINGERPRINT may follow
// MESSAGE-INTEGRITY, and nothing FINGERPRINT.
bool attribute(const uint8_t *data, size_t length, size_t at, size_t n, StunMessage *m) {
    uint16_t type = get16(data + at);
    const uint8_t *v = data + at + 4;
    if (type == AttrFingerprint)
        return n == 4 && at + 8 == length && (crc32Add(0, data, at) ^ FingerprintXor) == get32(v);
    if (m->integrityAt != 0) return false;
    if (type != AttrIntegrity) return take(data, type, v, n, m);
    m->integrityAt = at;
    return n == Sha1Bytes;
}

} // namespace

bool stunAuthRealm(StunAuth *a, const uint8_t *realm, size_t realmLength, const uint8_t *nonce,
                   size_t nonceLength, const char *password, size_t passwordLength) {
    a->keyed = false;
    if (!copyText(a->realm, &a->realmLength, realm, realmLength) ||
        !copyText(a->nonce, &a->nonceLength, nonce, nonceLength))
        return false;
    Md5 m;
    md5Start(&m);
    md5Add(&m, a->user, a->userLength);
    md5Add(&m, ":", 1);
    md5Add(&m, a->realm, a->realmLength);
    md5Add(&m, ":", 1);
    md5Add(&m, password, passwordLength);
    md5End(&m, a->key);
    a->keyed = true;
    return true;
}

bool stunAuthNonce(StunAuth *a, const uint8_t *nonce, size_t nonceLength) {
    return copyText(a->nonce, &a->nonceLength, nonce, nonceLength);
}

size_t stunAllocate(uint8_t *out, size_t capacity, const uint8_t tid[StunTidBytes],
                    const StunAuth &auth) {
    Writer w = begin(out, capacity, StunAllocate, tid);
    attr32(&w, AttrTransport, uint32_t{TransportTcp} << 24);
    return finish(&w, auth);
}

size_t stunRefresh(uint8_t *out, size_t capacity, const uint8_t tid[StunTidBytes],
                   uint32_t lifetimeS, const StunAuth &auth) {
    Writer w = begin(out, capacity, StunRefresh, tid);
    attr32(&w, AttrLifetime, lifetimeS);
    return finish(&w, auth);
}

size_t stunConnectionBind(uint8_t *out, size_t capacity, const uint8_t tid[StunTidBytes],
                          uint32_t connectionId, const StunAuth &auth) {
    Writer w = begin(out, capacity, StunConnectionBind, tid);
    attr32(&w, AttrConnectionId, connectionId);
    return finish(&w, auth);
}

StunFrame stunFrame(const uint8_t *data, size_t available, size_t capacity, size_t *length) {
    if (available < StunHeaderBytes) return StunPartial;
    size_t body = get16(data + 2);
    if ((data[0] & 0xC0) != 0 || get32(data + 4) != StunMagic || body % 4 != 0 ||
        StunHeaderBytes + body > capacity)
        return StunNotStun;
    *length = StunHeaderBytes + body;
    return available >= *length ? StunWhole : StunPartial;
}

bool stunParse(const uint8_t *data, size_t length, StunMessage *m) {
    std::memset(m, 0, sizeof *m);
    size_t whole = 0;
    if (stunFrame(data, length, length, &whole) != StunWhole || whole != length) return false;
    uint16_t type = get16(data);
    m->method =
        static_cast<uint16_t>((type & 0x000F) | (type & 0x00E0) >> 1 | (type & 0x3E00) >> 2);
    m->cls = static_cast<StunClass>((type >> 4 & 1) | (type >> 7 & 2));
    std::memcpy(m->tid, data + 8, StunTidBytes);
    for (size_t at = StunHeaderBytes; at < length;) {
        if (length - at < 4) return false;
        size_t n = get16(data + at + 2), padded = (n + 3) & ~size_t{3};
        if (length - at - 4 < padded || !attribute(data, length, at, n, m)) return false;
        at += 4 + padded;
    }
    return true;
}

bool stunIntegrityOk(const uint8_t *data, const StunMessage &m, const uint8_t key[Md5Bytes]) {
    if (m.integrityAt == 0) return false;
    // The HMAC covers the message up to the attribute, with the header's
    // length as if the message ended right after it.
    uint8_t length[2];
    put16(length, static_cast<uint32_t>(m.integrityAt + 4 + Sha1Bytes - StunHeaderBytes));
    HmacSha1 h;
    uint8_t mac[Sha1Bytes];
    hmacSha1Start(&h, key, Md5Bytes);
    hmacSha1Add(&h, data, 2);
    hmacSha1Add(&h, length, 2);
    hmacSha1Add(&h, data + 4, m.integrityAt - 4);
    hmacSha1End(&h, mac);
    uint8_t differ = 0;
    for (size_t i = 0; i < Sha1Bytes; ++i) differ |= mac[i] ^ data[m.integrityAt + 4 + i];
    return differ == 0;
}

} // namespace ll
