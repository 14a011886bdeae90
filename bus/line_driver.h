#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string_view>
#include <vector>

#include "frame/line_protocol.h"
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

[[noreturn]] void not_hex(std::string_view digits);
[[noreturn]] void not_16_bits(std::string_view digits);

// Reads "&H" joined to `digits` as a number and narrows it to a signed 16-bit integer: up to four
// digits are a 16-bit pattern ("FFFF" is -1), longer ones must fit the range. Throws
// std::invalid_argument for text that is not hex digits, std::overflow_error when it cannot fit.
constexpr std::int16_t hex_text_to_int16(std::string_view digits) {
  if (digits.empty() || digits.size() > 8) not_hex(digits);
  std::uint32_t value = 0;
  for (char c : digits) {
    int nibble = 0;
    if (c >= '0' && c <= '9') {
      nibble = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      nibble = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      nibble = c - 'a' + 10;
    } else {
      not_hex(digits);
    }
    value = value << 4 | static_cast<std::uint32_t>(nibble);
  }
  if (digits.size() <= 4) return static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
  const auto wide = static_cast<std::int32_t>(value);
  if (wide < -32768 || wide > 32767) not_16_bits(digits);
  return static_cast<std::int16_t>(wide);
}

// The texts spell the line protocol's facts; they must say the same.
static_assert(hex_text_to_int16(kDataPortText) == frame::kDataRegister);
static_assert(hex_text_to_int16(kStatusPortText) == frame::kStatusRegister);
static_assert(hex_text_to_int16(kSclLowSdaLow) == 0xF0);
static_assert(hex_text_to_int16(kSclLowSdaHigh) == (0xF0 | frame::kSdaDriveBit));
static_assert(hex_text_to_int16(kSclHighSdaLow) == (0xF0 | frame::kSclBit));
static_assert(hex_text_to_int16(kSclHighSdaHigh) == (0xF0 | frame::kSclBit | frame::kSdaDriveBit));

class Transaction;

// SDA stayed low through a bus clear: no frame can get through.
class SdaHeldLow : public port::PortError {
 public:
  SdaHeldLow();
};

// The only code that touches the port. Keeps no state; every operation is one port call, except
// that the first one after a failed access clears the bus first (see `clear_bus`).
class LineDriver {
 public:
  explicit LineDriver(port::PortAccess& port) : port_(port) {}

  void Write_Line_Code(std::int16_t code) {
    if (port_.bus_clear_due()) [[unlikely]]
      clear_bus();
    port_.OutportW(hex_text_to_int16(kDataPortText), code);
  }
  std::int32_t Read_Status_Port() {
    if (port_.bus_clear_due()) [[unlikely]]
      clear_bus();
    return port_.InportW(hex_text_to_int16(kStatusPortText));
  }
  // 1 when the status shows SDA high.
  int Sample_SDA() { return sda_of(Read_Status_Port()); }
  // SCL where the back end can read it, a phase after the last change.
  std::optional<bool> Read_SCL() { return port_.read_scl(); }
  static int sda_of(std::int32_t status) { return frame::sda_of_status(status) ? 1 : 0; }

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
  // most a byte's nine clocks, enough to finish any byte and its acknowledge), then a START and a
  // STOP, which leave every device waiting for a fresh START. 4 to 31 accesses, ending at SCL and
  // SDA high. Throws SdaHeldLow when nine clocks did not free SDA; the clear is then still due.
  void clear_bus();

 private:
  friend class Transaction;

  // A status read whose value the transaction gets at its end.
  void sample_status_port() {
    if (port_.bus_clear_due()) [[unlikely]]
      clear_bus();
    port_.sample(hex_text_to_int16(kStatusPortText));
  }

  port::PortAccess& port_;
};

// One transaction on the bus, as a scope: its end completes it (a back end that batches carries
// it out then), so none can be left open. The SDA samples it takes are owned here and come back
// in order from `complete`. An exception that leaves the scope abandons it: the layer has closed
// the failed back end and dropped its queued accesses already.
class Transaction {
 public:
  explicit Transaction(LineDriver& driver) : driver_(driver) {}
  ~Transaction() noexcept(false) {
    if (!completed_ && std::uncaught_exceptions() == unwinding_) complete();
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Reads the status port now; its SDA level comes back from `complete`.
  void sample_sda() { driver_.sample_status_port(); }

  // Ends the transaction: every access made, and the SDA level (0 or 1) of each sample, in order.
  std::vector<int> complete();

 private:
  LineDriver& driver_;
  int unwinding_ = std::uncaught_exceptions();
  bool completed_ = false;
};

}  // namespace vx::bus
