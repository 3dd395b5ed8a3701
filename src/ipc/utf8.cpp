#include "ipc/utf8.h"

#include <cstddef>
#include <cstdint>

namespace ipc::utf8 {

namespace {

// Length of the well-formed sequence at the start of `s`, or 0 when it is not
// one; `*valid_prefix` receives the length of its longest valid prefix (at
// least 1 when the sequence is ill-formed, so that repair always advances).
size_t sequence_length(std::string_view s, size_t* valid_prefix) {
    const auto at = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    const uint8_t b0 = at(0);
    *valid_prefix = 1;
    if (b0 < 0x80) return 1;
    size_t need = 0;
    uint8_t lo = 0x80;  // allowed range of the second byte
    uint8_t hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        if (b0 == 0xE0) lo = 0xA0;  // overlong
        if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        if (b0 == 0xF0) lo = 0x90;  // overlong
        if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    for (size_t i = 1; i < need; ++i) {
        if (i >= s.size()) return 0;
        const uint8_t b = at(i);
        const uint8_t min = i == 1 ? lo : 0x80;
        const uint8_t max = i == 1 ? hi : 0xBF;
        if (b < min || b > max) return 0;
        *valid_prefix = i + 1;
    }
    return need;
}

}  // namespace

bool is_valid(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        size_t prefix = 0;
        const size_t n = sequence_length(bytes.substr(i), &prefix);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string make_valid(std::string_view bytes) {
    if (is_valid(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 8);
    size_t i = 0;
    while (i < bytes.size()) {
        size_t prefix = 0;
        const size_t n = sequence_length(bytes.substr(i), &prefix);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            i += prefix;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

}  // namespace ipc::utf8
