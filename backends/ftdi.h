#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "port/port.h"

namespace vx::backends {

// An FTDI chip as libftdi1 finds it on the USB.
struct FtdiChip {
  std::string serial;
  std::string description;
  int bus = -1, address = -1;  // its node /dev/bus/usb/BBB/DDD, where known
  int product = 0x6001;        // its USB product id: 6010 has interfaces A and B, 6011 A to D
};

// How many interfaces (A, B, ...) a chip with this product id has.
int ftdi_interfaces(int product);

// What libftdi programs for a rate handed to ftdi_set_baudrate in bit-bang mode: the rate the
// divisor reaches for four times it, and whether on an H chip's 12 MHz clock path (120 MHz / 10)
// rather than the 3 MHz one (48 MHz / 16) every chip has.
struct FtdiClock {
  int actual = 0;  // after libftdi's factor of 4; 0 when there is none
  bool high_speed_path = false;
};

// The parts of "[SERIAL][:A|B|C|D]"; empty when `choice` is not of that form.
struct FtdiChoice {
  std::string serial;  // empty: the only chip attached
  int interface = 0;   // 0 for A, 1 for B, ...
};
std::optional<FtdiChoice> parse_ftdi_choice(const std::string& choice);

// The libftdi1 calls the FTDI back end makes, behind a seam so that a simulated chip can stand
// in for the library in tests. Each returns libftdi's own code: negative on failure, with
// `error_string` saying why.
class FtdiCalls {
 public:
  virtual ~FtdiCalls() = default;
  virtual int find_all(std::vector<FtdiChip>& chips) = 0;          // the supported chips attached
  virtual int open(const std::string& serial, int interface) = 0;  // interface 0 is A
  virtual int chip_type() = 0;  // once open: libftdi's ftdi->type (TYPE_R, TYPE_232H, ...)
  virtual FtdiClock clock_for(int baudrate) = 0;  // once open: libftdi's own divisor
  virtual int set_bitmode(unsigned char outputs, unsigned char mode) = 0;
  virtual int set_latency_timer(unsigned char milliseconds) = 0;
  virtual int set_baudrate(int baudrate) = 0;
  virtual int write(const unsigned char* data, int size) = 0;  // bytes taken, or an error
  virtual int read(unsigned char* data, int size) = 0;         // bytes given (maybe 0), or error
  virtual int purge() = 0;                                     // empties both buffers
  virtual void close() = 0;
  virtual std::string error_string() = 0;
  // The clock the chip is timed by.
  virtual std::chrono::nanoseconds now() = 0;
};

// What `FtdiCalls::open` gives for a chip no longer on the USB: outside libftdi's own codes.
inline constexpr int kChipGone = -1000;

// The real library.
std::unique_ptr<FtdiCalls> libftdi_calls();

// The chips the calls find; throws port::PortError when they cannot look.
std::vector<FtdiChip> list_ftdi_chips(FtdiCalls& calls);

// Opens an FTDI chip in synchronous bit-bang mode: ADBUS0 drives SDA (through an open-drain
// buffer), ADBUS1 is SCL, ADBUS3 senses SDA and answers as status bit 3 (on interface B, C or D
// the same pins of that interface). `choice` is "[SERIAL][:A|B|C|D]": a serial picks a chip,
// none takes the only one; the letter picks the interface of a dual or quad chip, A unless told.
// Opening releases both lines, then times idle bytes through the chip to learn its byte clock on
// the clock path the working rate uses, and sets it so that no line level lasts less than
// `phase`. The back end batches: a whole transaction is one USB write and one read of the echoed
// pin states, in chunks the chip's buffer holds.
std::unique_ptr<port::Port> open_ftdi(const std::string& choice, std::chrono::microseconds phase,
                                      std::unique_ptr<FtdiCalls> calls = libftdi_calls());

}  // namespace vx::backends
