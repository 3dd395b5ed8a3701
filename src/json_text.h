#pragma once

// JSON text written by hand, for the fixed documents the listings fall back to
// when the JSON writer itself fails.

#include <string>
#include <string_view>

namespace json_text {

// `text`, made valid UTF-8, as a JSON string: in double quotes, with quotes,
// backslashes and control characters escaped.
std::string quoted(std::string_view text);

}  // namespace json_text
