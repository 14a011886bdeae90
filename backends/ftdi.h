#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "port/port.h"

namespace vx::backends {

// An FTDI chip as libftdi1 finds it on the USB.
struct FtdiChip {
  std::string serial;
  std::string description;
  int bus = -1, address = -1;  // its node /dev/bus/usb/BBB/DDD, where known
};

// The libftdi1 calls the FTDI back end makes, behind a seam so that a simulated chip can stand
// in for the library in tests. Each returns libftdi's own code: negative on failure, with
// `error_string` saying why.
class FtdiCalls {
 public:
  virtual ~FtdiCalls() = default;
  virtual int find_all(std::vector<FtdiChip>& chips) = 0;  // the supported chips attached
  virtual int open(const std::string& serial) = 0;
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
// buffer), ADBUS1 is SCL, ADBUS3 senses SDA and answers as status bit 3. `serial` picks a chip;
// empty takes the only one. Opening releases both lines, then times idle bytes through the chip
// to learn its byte clock, and sets it so that no line level lasts less than `phase`. The back
// end batches: a whole transaction is one USB write and one read of the echoed pin states, in
// chunks the chip's buffer holds.
std::unique_ptr<port::Port> open_ftdi(const std::string& serial, std::chrono::microseconds phase,
                                      std::unique_ptr<FtdiCalls> calls = libftdi_calls());

}  // namespace vx::backends
