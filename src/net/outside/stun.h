// The STUN messages a lobby host exchanges with a TURN server over TCP to
// host through a relay (RFC 5389/8489 messages, RFC 5766/8656 allocations,
// RFC 6062 TCP relays), with no sockets: the requests it sends (Allocate,
// Refresh, ConnectionBind) signed with long-term credentials, and what it
// reads back (responses, the ConnectionAttempt indication), parsed safely
// from untrusted bytes. Every parser takes bytes of a given length, never
// reads past them and never writes past its output; the fuzz target drives
// them.
//
// Credentials are RFC 5389's long-term ones: the key is MD5(user ":" realm
// ":" password) and MESSAGE-INTEGRITY is HMAC-SHA1 over the message. RFC
// 8489's SHA-256 variant is not offered: the relay server this is built
// against (coturn 4.6) neither announces PASSWORD-ALGORITHMS nor takes
// MESSAGE-INTEGRITY-SHA256.
#pragma once

#include "net/outside/digest.h"

#include <cstddef>
#include <cstdint>

namespace ll {

const size_t StunHeaderBytes = 20;
const uint32_t StunMagic = 0x2112A442;
const size_t StunTidBytes = 12;

// Methods, and the classes a message type carries beside its method.
const uint16_t StunAllocate = 0x003;
const uint16_t StunRefresh = 0x004;
const uint16_t StunConnectionBind = 0x00B;
const uint16_t StunConnectionAttempt = 0x00C;
enum StunClass { StunRequest = 0, StunIndication = 1, StunSuccess = 2, StunError = 3 };

// Error codes the client acts on.
const int StunUnauthorized = 401;
const int StunStaleNonce = 438;

// RFC 8489's bounds: a user name under 513 bytes, a realm and a nonce of
// under 128 characters (763 bytes of UTF-8).
const size_t StunUserCapacity = 512;
const size_t StunTextCapacity = 763;

// An address carried by an XOR-...-ADDRESS attribute, un-XORed.
struct StunAddress {
    bool ipv6;
    uint8_t ip[16]; // 4 bytes used for IPv4
    uint16_t port;
};

// Long-term credentials as a conversation goes: the user, and once the
// server has named them, its realm and current nonce and the key.
struct StunAuth {
    char user[StunUserCapacity];
    size_t userLength;
    uint8_t realm[StunTextCapacity];
    size_t realmLength;
    uint8_t nonce[StunTextCapacity];
    size_t nonceLength;
    uint8_t key[Md5Bytes];
    bool keyed; // realm, nonce and key are set: requests are signed
};

// Takes the realm and nonce of a 401 answer (or the nonce of a 438) and
// makes the key from `password`. False when either is too long.
bool stunAuthRealm(StunAuth *a, const uint8_t *realm, size_t realmLength, const uint8_t *nonce,
                   size_t nonceLength, const char *password, size_t passwordLength);
bool stunAuthNonce(StunAuth *a, const uint8_t *nonce, size_t nonceLength);

// Requests. Each writes the whole message into `out` and returns its
// length, 0 when it does not fit `capacity`. With `auth` keyed the request
// carries USERNAME, REALM, NONCE and MESSAGE-INTEGRITY; every request ends
// with FINGERPRINT. Allocate asks for a TCP relay (REQUESTED-TRANSPORT 6);
// Refresh with lifetime 0 releases the allocation.
size_t stunAllocate(uint8_t *out, size_t capacity, const uint8_t tid[StunTidBytes],
                    const StunAuth &auth);
size_t stunRefresh(uint8_t *out, size_t capacity, const uint8_t tid[StunTidBytes],
                   uint32_t lifetimeS, const StunAuth &auth);
size_t stunConnectionBind(uint8_t *out, size_t capacity, const uint8_t tid[StunTidBytes],
                          uint32_t connectionId, const StunAuth &auth);

// One message on a TCP stream: its 20-byte header holds the length of what
// follows. StunWhole sets *length to the whole message's bytes at the start
// of `data`; StunPartial needs more bytes; StunNotStun means the stream does
// not carry STUN (wrong leading bits or magic cookie, a length that is not a
// multiple of 4, or a message longer than `capacity`): it cannot be read on.
enum StunFrame { StunPartial, StunWhole, StunNotStun };
StunFrame stunFrame(const uint8_t *data, size_t available, size_t capacity, size_t *length);

// A parsed message. Texts point into the parsed bytes.
struct StunMessage {
    uint16_t method;
    StunClass cls;
    uint8_t tid[StunTidBytes];
    bool hasRelayed, hasMapped, hasPeer;
    StunAddress relayed, mapped, peer; // XOR-RELAYED-, XOR-MAPPED-, XOR-PEER-ADDRESS
    int errorCode;                     // ERROR-CODE's 300..699; 0 when absent
    bool hasLifetime;
    uint32_t lifetimeS;
    bool hasConnectionId;
    uint32_t connectionId;
    const uint8_t *realm, *nonce; // null when absent
    size_t realmLength, nonceLength;
    size_t integrityAt;   // where MESSAGE-INTEGRITY starts; 0 when absent
    bool unknownRequired; // an attribute it must understand and does not
};

// Parses one whole message (as stunFrame delimits it). False for anything
// malformed: a header that is not STUN's, attributes that overrun the
// message, a known attribute of the wrong size, anything but FINGERPRINT
// after MESSAGE-INTEGRITY, or a FINGERPRINT that does not match.
bool stunParse(const uint8_t *data, size_t length, StunMessage *m);
// Whether its MESSAGE-INTEGRITY is the HMAC of the message under `key`;
// false when it has none.
bool stunIntegrityOk(const uint8_t *data, const StunMessage &m, const uint8_t key[Md5Bytes]);

} // namespace ll
