#include "bus/read_back.h"

#include "frame/code_conversions.h"

namespace vx::bus {

frame::CellRegister standard_read_frame() {
  frame::CellRegister cells;
  frame::spread_byte(cells, 0x59, kReadAddressTop - 7);
  return cells;
}

int read_transaction(LineDriver& driver, const frame::CellRegister& cells) {
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaLow));  // START

  for (int cell = kReadAddressTop; cell > kReadAddressTop - kReadAddressBits; --cell) {
    if (cells.value(cell) == 1) {
      driver.Write_Line_Code(hex_text_to_int16(kSclLowSdaHigh));
      driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
    } else {
      driver.Write_Line_Code(hex_text_to_int16(kSclLowSdaLow));
      driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaLow));
    }
  }

  int byte = 0;
  for (int pass = 0; pass < 8; ++pass) {
    // SDA released to the device; its bit is sampled right after SCL falls.
    driver.Write_Line_Code(hex_text_to_int16(kSclLowSdaHigh));
    byte = byte * 2 + driver.Sample_SDA();
    driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  }

  // One more clock with SDA low, then STOP while it is still high.
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  driver.Write_Line_Code(hex_text_to_int16(kSclLowSdaLow));
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaLow));
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  return byte;
}

}  // namespace vx::bus
