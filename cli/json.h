#pragma once

#include <string>

namespace vx::cli {

// `text` as a JSON string in UTF-8: its characters as they are, control characters escaped, and a
// byte that is no part of a UTF-8 character (a file name in another encoding) as U+FFFD.
std::string json_string(const std::string& text);
// A number as JSON writes it, to ten significant digits; null for one that is not finite.
std::string json_number(double value);

}  // namespace vx::cli
