// HOST[:PORT] in and out (hostport.h).
#include "net/base/hostport.h"

#include <cstdio>
#include <cstring>

namespace ll {

namespace {

bool hostByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == ':' || c == '%';
}

bool takeHost(const char *text, size_t length, HostPort *out) {
    if (length == 0 || length >= HostTextSize) return false;
    for (size_t i = 0; i < length; ++i)
        if (!hostByte(text[i])) return false;
    std::memcpy(out->host, text, length);
    out->host[length] = '\0';
    return true;
}

bool takePort(const char *text, size_t length, uint16_t *port) {
    if (length == 0 || length > 5) return false;
    unsigned value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (value == 0 || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// The longest run of two or more zero groups, which "::" stands for: its
// first group and its length (0: none).
void zeroRun(const uint16_t groups[8], int *at, int *run) {
    *at = 0;
    *run = 0;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > *run && j - i >= 2) {
            *at = i;
            *run = j - i;
        }
        i = j > i ? j : i + 1;
    }
}

// RFC 5952: lower-case hexadecimal, no leading zeros, the longest zero run
// (the first of equal ones) as "::".
size_t ipv6Text(const uint8_t ip[16], char *out, size_t size) {
    uint16_t g[8];
    for (size_t i = 0; i < 8; ++i) g[i] = static_cast<uint16_t>(ip[2 * i] << 8 | ip[2 * i + 1]);
    int at, run;
    zeroRun(g, &at, &run);
    size_t n = 0;
    for (int i = 0; i < 8; ++i) {
        if (run > 0 && i == at) {
            if (n + 2 >= size) return 0;
            out[n++] = ':';
            if (i == 0) out[n++] = ':';
            i += run - 1;
            continue;
        }
        int w = std::snprintf(out + n, size - n, i < 7 ? "%x:" : "%x", g[i]);
        if (w < 0 || n + static_cast<size_t>(w) >= size) return 0;
        n += static_cast<size_t>(w);
    }
    out[n] = '\0';
    return n;
}

} // namespace

bool hostportParse(const char *text, size_t length, uint16_t defaultPort, HostPort *out) {
    out->port = defaultPort;
    if (length == 0) return false;
    if (text[0] == '[') {
        const char *close = static_cast<const char *>(std::memchr(text, ']', length));
        if (!close) return false;
        size_t inside = static_cast<size_t>(close - text) - 1, rest = length - inside - 2;
        if (!std::memchr(text + 1, ':', inside) || !takeHost(text + 1, inside, out)) return false;
        if (rest == 0) return true;
        return close[1] == ':' && takePort(close + 2, rest - 1, &out->port);
    }
    const char *colon = static_cast<const char *>(std::memchr(text, ':', length));
    bool bareIpv6 = colon && std::memchr(colon + 1, ':', length - (colon + 1 - text));
    if (!colon || bareIpv6) return takeHost(text, length, out);
    size_t hostLength = static_cast<size_t>(colon - text);
    return takeHost(text, hostLength, out) &&
           takePort(colon + 1, length - hostLength - 1, &out->port);
}

size_t hostportFormat(bool ipv6, const uint8_t *ip, uint16_t port, char *out, size_t size) {
    char address[48];
    if (ipv6) {
        if (ipv6Text(ip, address, sizeof address) == 0) return 0;
    } else {
        std::snprintf(address, sizeof address, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    }
    int n = std::snprintf(out, size, ipv6 ? "[%s]:%u" : "%s:%u", address, unsigned{port});
    return n > 0 && static_cast<size_t>(n) < size ? static_cast<size_t>(n) : 0;
}

} // namespace ll
