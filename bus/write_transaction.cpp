#include "bus/write_transaction.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace vx::bus {

namespace {

std::int32_t as_int32(double frame_word) {
  if (!(frame_word >= 0 && frame_word < 2147483648.0) || std::floor(frame_word) != frame_word) {
    throw std::invalid_argument("frame word " + std::to_string(frame_word) +
                                " is not a whole number 0..2^31-1");
  }
  return static_cast<std::int32_t>(frame_word);
}

}  // namespace

void Read_Write_Bits_to_Parallel_Port(LineDriver& driver, double frame_word) {
  const std::int32_t word = as_int32(frame_word);
  Transaction transaction(driver);

  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));  // START: SDA falls, SCL high
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaLow));

  std::int32_t mask = 1 << (kFrameBits - 1);
  for (int pass = 0; pass < kFrameBits; ++pass) {
    driver.send_bit((word & mask) >= 1);
    mask /= 2;
  }

  driver.Write_Line_Code(hex_text_to_int16(kSclLowSdaLow));  // STOP: SDA rises, SCL high
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaLow));
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
}

}  // namespace vx::bus
