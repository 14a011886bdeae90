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

SdaHeldLow::SdaHeldLow()
    : port::PortError(
          "SDA is held low, also after nine clocks: something keeps it low (a device stuck "
          "mid-byte, a short to ground, a missing pull-up); power the device off and on and check "
          "the wiring, then try again") {}

void LineDriver::clear_bus() {
  // Straight to the port: the clear must not wait for itself.
  const auto write = [this](std::string_view code) {
    port_.OutportW(hex_text_to_int16(kDataPortText), hex_text_to_int16(code));
  };
  const auto sda = [this] { return sda_of(port_.InportW(hex_text_to_int16(kStatusPortText))); };
  write(kSclHighSdaHigh);
  for (int clock = 0; sda() == 0; ++clock) {
    if (clock == frame::kClocksPerByte) throw SdaHeldLow();
    write(kSclLowSdaHigh);
    write(kSclHighSdaHigh);
  }
  write(kSclHighSdaLow);
  write(kSclHighSdaHigh);
  port_.bus_cleared();
}

}  // namespace vx::bus
