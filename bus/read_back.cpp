#include "bus/read_back.h"

#include <array>

#include "frame/code_conversions.h"
#include "frame/device_address.h"

namespace vx::bus {

frame::CellRegister standard_read_frame() {
  frame::CellRegister cells;
  frame::spread_byte(cells, frame::kReadAddressByte, kReadAddressTop - 7);
  return cells;
}

int read_transaction(LineDriver& driver, const frame::CellRegister& cells) {
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaLow));  // START

  for (int cell = kReadAddressTop; cell > kReadAddressTop - kReadAddressBits; --cell) {
    driver.send_bit(cells.value(cell) == 1);
  }

  std::array<std::int32_t, 8> samples{};
  for (std::int32_t& sample : samples) {
    // SDA released to the device; its bit is sampled right after SCL falls.
    driver.Write_Line_Code(hex_text_to_int16(kSclLowSdaHigh));
    driver.Read_Status_Port_into(sample);
    driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  }

  // One more clock with SDA low, then STOP while it is still high.
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  driver.Write_Line_Code(hex_text_to_int16(kSclLowSdaLow));
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaLow));
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  driver.complete();

  // The first sample is the most significant bit.
  int byte = 0;
  for (std::int32_t sample : samples) byte = byte * 2 + LineDriver::sda_of(sample);
  return byte;
}

}  // namespace vx::bus
