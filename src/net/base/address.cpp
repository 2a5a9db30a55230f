#include "net/base/address.h"

namespace ll {

bool ipv4Parse(const char *text, size_t length, uint32_t *address) {
    uint32_t result = 0;
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= length || text[i] != '.') return false;
            ++i;
        }
        uint32_t v = 0;
        size_t digits = 0;
        while (i < length && text[i] >= '0' && text[i] <= '9' && digits < 3) {
            v = v * 10 + static_cast<uint32_t>(text[i] - '0');
            ++i, ++digits;
        }
        if (digits == 0 || v > 255) return false;
        result = result << 8 | v;
    }
    if (i != length) return false;
    *address = result;
    return true;
}

size_t ipv4Format(uint32_t address, char out[16]) {
    size_t n = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned part = (address >> shift) & 255u;
        if (part >= 100) out[n++] = static_cast<char>('0' + part / 100);
        if (part >= 10) out[n++] = static_cast<char>('0' + part / 10 % 10);
        out[n++] = static_cast<char>('0' + part % 10);
        if (shift) out[n++] = '.';
    }
    out[n] = '\0';
    return n;
}

} // namespace ll
