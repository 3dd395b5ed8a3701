#pragma once

// Hex text <-> bytes for tests that spell out wire encodings.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

// "0a 01 ff" or "0a01ff" -> bytes; spaces are ignored.
inline std::vector<uint8_t> from_hex(std::string_view hex) {
    std::vector<uint8_t> out;
    int high = -1;
    for (char c : hex) {
        if (c == ' ') continue;
        int v = 0;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else {
            throw std::invalid_argument("bad hex digit");
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits");
    return out;
}

inline std::string to_hex(const std::vector<uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace test_support
