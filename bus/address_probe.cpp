#include "bus/address_probe.h"

namespace vx::bus {

bool address_acknowledged(LineDriver& driver, std::uint8_t address_byte) {
  Transaction transaction(driver);
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaLow));  // START
  for (int bit = 7; bit >= 0; --bit) driver.send_bit((address_byte >> bit & 1) != 0);
  driver.send_bit(true);  // the acknowledge slot, SDA left to the device
  transaction.sample_sda();
  // SCL falls first, so the device lets SDA go; then STOP.
  driver.Write_Line_Code(hex_text_to_int16(kSclLowSdaHigh));
  driver.Write_Line_Code(hex_text_to_int16(kSclLowSdaLow));
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaLow));
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
  return transaction.complete().front() == 0;
}

}  // namespace vx::bus
