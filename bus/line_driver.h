#pragma once

#include <cstdint>
#include <string_view>

#include "port/port_access.h"

namespace vx::bus {

// Port numbers are kept as hex digit text and converted at each use, as the bus timing was
// measured with that work between line changes.
inline constexpr std::string_view kDataPortText = "378";
inline constexpr std::string_view kStatusPortText = "379";

// Line codes: SCL on data bit 1, SDA on data bit 0; bits 7..4 always 1, bits 3..2 always 0.
inline constexpr std::string_view kSclLowSdaLow = "F0";
inline constexpr std::string_view kSclLowSdaHigh = "F1";
inline constexpr std::string_view kSclHighSdaLow = "F2";
inline constexpr std::string_view kSclHighSdaHigh = "F3";

inline constexpr std::int32_t kSdaStatusMask = 0x08;

// Reads "&H" joined to `digits` as a number and narrows it to a signed 16-bit integer: up to four
// digits are a 16-bit pattern ("FFFF" is -1), longer ones must fit the range. Throws
// std::invalid_argument for text that is not hex digits, std::overflow_error when it cannot fit.
std::int16_t hex_text_to_int16(std::string_view digits);

// The only code that touches the port. Keeps no state; every operation is one port call, except
// that the first one after a failed access clears the bus first (see `clear_bus`).
class LineDriver {
 public:
  explicit LineDriver(port::PortAccess& port) : port_(port) {}

  void Write_Line_Code(std::int16_t code) {
    if (port_.take_bus_clear()) [[unlikely]]
      clear_bus();
    port_.OutportW(hex_text_to_int16(kDataPortText), code);
  }
  std::int32_t Read_Status_Port() {
    if (port_.take_bus_clear()) [[unlikely]]
      clear_bus();
    return port_.InportW(hex_text_to_int16(kStatusPortText));
  }
  // 1 when status bit 3 (the SDA level, not inverted) is set.
  int Sample_SDA() { return sda_of(Read_Status_Port()); }
  static int sda_of(std::int32_t status) {
    return (status & kSdaStatusMask) / kSdaStatusMask > 0 ? 1 : 0;
  }

  // A status read whose value reaches `status` by `complete`: a back end that batches carries
  // a whole transaction out at once.
  void Read_Status_Port_into(std::int32_t& status) {
    if (port_.take_bus_clear()) [[unlikely]]
      clear_bus();
    port_.InportW_into(hex_text_to_int16(kStatusPortText), status);
  }
  // Ends a transaction: every access made, every status read's value known.
  void complete() { port_.complete(); }

  // One bit period: SCL falls as SDA takes the bit, then rises and the device takes it.
  void send_bit(bool one) {
    if (one) {
      Write_Line_Code(hex_text_to_int16(kSclLowSdaHigh));
      Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));
    } else {
      Write_Line_Code(hex_text_to_int16(kSclLowSdaLow));
      Write_Line_Code(hex_text_to_int16(kSclHighSdaLow));
    }
  }

  // Brings a bus left mid-frame back to idle: SDA released, SCL clocked until SDA reads high (at
  // most nine clocks, enough to finish any byte and its acknowledge), then a START and a STOP,
  // which leave every device waiting for a fresh START. 3 to 30 accesses, ending at SCL and SDA
  // high.
  void clear_bus();

 private:
  port::PortAccess& port_;
};

}  // namespace vx::bus
