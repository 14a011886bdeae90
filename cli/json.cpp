#include "cli/json.h"

#include <cmath>
#include <cstdio>
#include <string_view>

namespace vx::cli {

namespace {

// The length of the well-formed UTF-8 sequence at the start of `text` (RFC 3629: no overlong
// forms, no surrogates, nothing past U+10FFFF), or 0.
std::size_t utf8_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string json_string(const std::string& text) {
  std::string json = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '"' || byte == '\\') {
      json += '\\';
      json += text[i++];
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      json += escaped;
      ++i;
    } else if (byte < 0x80) {
      json += text[i++];
    } else if (const std::size_t length = utf8_length(std::string_view(text).substr(i))) {
      json.append(text, i, length);
      i += length;
    } else {
      json += "\\ufffd";
      ++i;
    }
  }
  return json + "\"";
}

std::string json_number(double value) {
  // JSON has no infinity and no NaN; every reading is checked finite before it gets here.
  if (!std::isfinite(value)) return "null";
  char text[40];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

}  // namespace vx::cli
