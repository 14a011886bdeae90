#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "backends/ftdi.h"
#include "sim/device.h"

namespace vx::test {

// What a simulated FTDI chip is and what it saw.
struct FtdiChipModel {
  std::vector<backends::FtdiChip> attached = {{"FT6ZQ7TX", "FT232R USB UART", 1, 7}};
  std::shared_ptr<sim::Device> device = std::make_shared<sim::Device>();  // on its pins
  int open_result = 0;            // libftdi's code for the open: -4 no permission, -5 claimed
  std::size_t buffer = 128;       // the most echoes the chip holds before they must be read
  bool gone_before_open = false;  // unplugged between being listed and being opened
  int unplug_at_write = 0;        // when > 0, the write that many from now fails, as do all after
  // Bytes clocked out per period of the programmed rate (libftdi's rate times 4): the sources
  // differ, so tests run at each reading.
  double bytes_per_period = 1;
  bool timed = true;  // false: a clock that never moves, so nothing can be measured

  int writes = 0, reads = 0;  // USB transfers
  long latency_ms = 0;        // the latency timer's cost of every read, counted, not slept
  unsigned char mode = 0, outputs = 0, latency = 16;
  int baudrate = 0;  // as handed to libftdi
  bool unplugged = false;

  // The chip's own clock, in microseconds, and every byte it clocked out: when, and the pins.
  double clock_us = 0;
  std::vector<std::pair<double, unsigned char>> clocked;
};

// A chip in synchronous bit-bang mode behind the libftdi seam: each byte written sets the pins
// and, one byte behind, the pins as they stood just before it come back to be read. ADBUS0 and
// ADBUS1 drive the simulated device's SDA and SCL; ADBUS3 reads the bus SDA.
class SimulatedFtdi final : public backends::FtdiCalls {
 public:
  explicit SimulatedFtdi(FtdiChipModel& model) : model_(model) {}

  int find_all(std::vector<backends::FtdiChip>& chips) override;
  int open(const std::string& serial) override;
  int set_bitmode(unsigned char outputs, unsigned char mode) override;
  int set_latency_timer(unsigned char milliseconds) override;
  int set_baudrate(int baudrate) override;
  int write(const unsigned char* data, int size) override;
  int read(unsigned char* data, int size) override;
  int purge() override;
  void close() override {}
  std::string error_string() override { return error_; }
  std::chrono::nanoseconds now() override {
    return std::chrono::nanoseconds(static_cast<long long>(model_.clock_us * 1000));
  }

 private:
  int fail(int code, std::string error) {
    error_ = std::move(error);
    return code;
  }

  FtdiChipModel& model_;
  bool open_ = false;
  unsigned char pins_ = 0xFF;
  std::deque<unsigned char> echoes_;
  std::string error_;
  unsigned jitter_ = 1;
};

}  // namespace vx::test
