#pragma once

// UTF-8 checking and repair for message texts. The parent's decoder rejects a
// frame whose texts are not valid UTF-8, so texts the modem takes from outside
// (device names, descriptions, file names) are made valid where they enter.

#include <string>
#include <string_view>

namespace ipc::utf8 {

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence.
bool is_valid(std::string_view bytes);

// `bytes` with every ill-formed part replaced by U+FFFD: each maximal prefix of
// a valid sequence, and each byte that starts none, becomes one replacement
// character. Valid input is returned unchanged.
std::string make_valid(std::string_view bytes);

}  // namespace ipc::utf8
