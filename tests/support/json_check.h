#pragma once

#include <string>

namespace vx::test {

// Whether `text` is one JSON value as RFC 8259 writes it (no NaN, no Infinity, no trailing
// comma), whitespace around it allowed; where not, `why` says at which byte.
bool valid_json(const std::string& text, std::string* why = nullptr);

// Checks each line of `out` that a --json run printed: each must be a JSON object; a failure is
// added to the test in progress, naming the line.
void expect_json_lines(const std::string& out);

}  // namespace vx::test
