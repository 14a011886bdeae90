#include "bus/line_driver.h"

#include <stdexcept>
#include <string>

namespace vx::bus {

void not_hex(std::string_view digits) {
  throw std::invalid_argument("\"&H" + std::string(digits) + "\" is not a hex number");
}

void not_16_bits(std::string_view digits) {
  throw std::overflow_error("&H" + std::string(digits) + " does not fit 16 bits");
}

std::vector<int> Transaction::complete() {
  completed_ = true;
  std::vector<int> levels;
  for (const std::int32_t status : driver_.port_.complete()) {
    levels.push_back(LineDriver::sda_of(status));
  }
  return levels;
}

void LineDriver::clear_bus() {
  Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  for (int clock = 0; clock < frame::kClocksPerByte && Sample_SDA() == 0; ++clock) send_bit(true);
  Write_Line_Code(hex_text_to_int16(kSclHighSdaLow));
  Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
}

}  // namespace vx::bus
