// Where a player or a relay server is, as people write it: "HOST",
// "HOST:PORT", "[IPV6]:PORT", "[IPV6]" or a bare IPv6 address, and the way
// back from an address to such text. Pure functions, no sockets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ll {

// A name is at most 253 characters; an IPv6 address with a scope is far
// shorter. The host's text is terminated within it.
const size_t HostTextSize = 256;

struct HostPort {
    char host[HostTextSize]; // a name, an IPv4 or an IPv6 address (no brackets)
    uint16_t port;
};

// Splits `text` (`length` bytes, no terminator needed): "HOST" and "[IPV6]"
// take `defaultPort`; a text with two colons or more and no brackets is a
// bare IPv6 address (so "::1:80" is an address, not a port). False for an
// empty host, a port that is not 1 to 65535 in decimal digits, unbalanced
// brackets, and any byte a name or an address cannot hold (a host holds
// letters, digits and "-._:%" only).
bool hostportParse(const char *text, size_t length, uint16_t defaultPort, HostPort *out);

// Writes "A.B.C.D:PORT" (`ip` 4 bytes) or "[IPV6]:PORT" (16 bytes, in
// RFC 5952's short form) and its terminator; returns its length, 0 when it
// does not fit `size`.
size_t hostportFormat(bool ipv6, const uint8_t *ip, uint16_t port, char *out, size_t size);

} // namespace ll
