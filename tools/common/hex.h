// Bytes as hexadecimal digits, two a byte in lower case, and back: how the
// tools write texts that may hold any byte.
#pragma once

#include <string>

namespace tools {

inline std::string toHex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * bytes.size());
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// False when `digits` is not an even number of hexadecimal digits.
inline bool fromHex(const std::string &digits, std::string *bytes) {
    auto value = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (digits.size() % 2 != 0) return false;
    bytes->clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        int high = value(digits[i]), low = value(digits[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<char>(high * 16 + low));
    }
    return true;
}

} // namespace tools
