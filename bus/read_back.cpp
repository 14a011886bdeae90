#include "bus/read_back.h"

#include "frame/code_conversions.h"
#include "frame/device_address.h"

namespace vx::bus {

frame::CellRegister standard_read_frame() {
  frame::CellRegister cells;
  frame::spread_byte(cells, frame::kReadAddressByte, kReadAddressTop - 7);
  return cells;
}

int read_transaction(LineDriver& driver, const frame::CellRegister& cells) {
  Transaction transaction(driver);
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaLow));  // START

  for (int cell = kReadAddressTop; cell > kReadAddressTop - kReadAddressBits; --cell) {
    driver.send_bit(cells.value(cell) == 1);
  }

  for (int bit = 0; bit < 8; ++bit) {
    // SDA released to the device; its bit is sampled right after SCL falls.
    driver.Write_Line_Code(hex_text_to_int16(kSclLowSdaHigh));
    transaction.sample_sda();
    driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  }

  // One more clock with SDA low, then STOP while it is still high.
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  driver.Write_Line_Code(hex_text_to_int16(kSclLowSdaLow));
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaLow));
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));

  // The first sample is the most significant bit.
  int byte = 0;
  for (const int sda : transaction.complete()) byte = byte * 2 + sda;
  return byte;
}

}  // namespace vx::bus
