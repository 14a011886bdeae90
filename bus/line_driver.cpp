#include "bus/line_driver.h"

#include <limits>
#include <stdexcept>
#include <string>

namespace vx::bus {

std::int16_t hex_text_to_int16(std::string_view digits) {
  if (digits.empty() || digits.size() > 8) {
    throw std::invalid_argument("\"&H" + std::string(digits) + "\" is not a hex number");
  }
  std::uint32_t value = 0;
  for (char c : digits) {
    int nibble;
    if (c >= '0' && c <= '9') {
      nibble = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      nibble = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      nibble = c - 'a' + 10;
    } else {
      throw std::invalid_argument("\"&H" + std::string(digits) + "\" is not a hex number");
    }
    value = value << 4 | static_cast<std::uint32_t>(nibble);
  }
  if (digits.size() <= 4) return static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
  const auto wide = static_cast<std::int32_t>(value);
  if (wide < std::numeric_limits<std::int16_t>::min() ||
      wide > std::numeric_limits<std::int16_t>::max()) {
    throw std::overflow_error("&H" + std::string(digits) + " does not fit 16 bits");
  }
  return static_cast<std::int16_t>(wide);
}

void LineDriver::clear_bus() {
  constexpr int kMaxClocks = 9;
  Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  for (int clock = 0; clock < kMaxClocks && Sample_SDA() == 0; ++clock) send_bit(true);
  Write_Line_Code(hex_text_to_int16(kSclHighSdaLow));
  Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
}

}  // namespace vx::bus
