#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "backends/ftdi.h"
#include "sim/device.h"

struct ftdi_context;

namespace vx::test {

// What a simulated FTDI chip is and what it saw. As made, an FT232R; `like_h_chip` makes it one
// of FTDI's high-speed chips.
struct FtdiChipModel {
  std::vector<backends::FtdiChip> attached = {{"FT6ZQ7TX", "FT232R USB UART", 1, 7, 0x6001}};
  int type = 3;          // libftdi's ftdi->type: TYPE_R; the divisor follows it
  int packet_data = 62;  // data bytes in one USB packet: 62 of 64 at full speed, 510 of 512 on H
  int interface = -1;    // as opened: 0 for A
  std::shared_ptr<sim::Device> device = std::make_shared<sim::Device>();  // on its pins
  int open_result = 0;            // libftdi's code for the open: -4 no permission, -5 claimed
  std::size_t buffer = 128;       // the most echoes the chip holds before they must be read
  bool gone_before_open = false;  // unplugged between being listed and being opened
  int unplug_at_write = 0;        // when > 0, the write that many from now fails, as do all after
  // Bytes clocked out per period of the programmed rate (libftdi's rate times 4) on the 3 MHz
  // clock path, and on an H chip's 12 MHz path: the sources differ on the first and give no
  // figure for it on an H chip, so tests run at each reading; pyftdi gives 5 for the second.
  double bytes_per_period = 1;
  double high_speed_bytes_per_period = 5;
  bool timed = true;  // false: a clock that never moves, so nothing can be measured
  // The host: how long it takes from the end of one read to its next OUT, and a spread of up to
  // `jitter_us` more, drawn anew for each write; a one-off stall of `stall_us` before the OUT of
  // write number `stall_at_write` (a process descheduled on a busy machine).
  double turnaround_us = 100;
  unsigned jitter_us = 250;
  int stall_at_write = 0;
  double stall_us = 0;
  // A chip whose latency timer stays at this many milliseconds whatever it is told (0: as told).
  unsigned char fixed_latency_ms = 0;

  int writes = 0, reads = 0;  // USB transfers
  unsigned char mode = 0, outputs = 0, latency = 16;
  int baudrate = 0;              // as handed to libftdi
  int actual = 0;                // what the divisor reaches, after libftdi's factor of 4
  bool high_speed_path = false;  // on the 12 MHz path
  bool unplugged = false;

  // The host's clock, in microseconds, which the chip's runs beside; every byte the chip clocked
  // out: when, on that clock, and the pins.
  double clock_us = 0;
  std::vector<std::pair<double, unsigned char>> clocked;
};

// An FT232H (0403:6014) by default, or an FT2232H (6010, interfaces A and B) or FT4232H (6011,
// A to D): 512-byte packets and a buffer of 1 KB, the FT232H's (its datasheet, section 4.1).
void like_h_chip(FtdiChipModel& chip, int type = 6, int product = 0x6014);

// A chip in synchronous bit-bang mode behind the libftdi seam: each byte written sets the pins
// and, one byte behind, the pins as they stood just before it come back to be read. ADBUS0 and
// ADBUS1 drive the simulated device's SDA and SCL; ADBUS3 reads the bus SDA. The chip clocks its
// bytes out on its own time, from when the host's OUT reaches it, and sends the echoes back as
// FTDI's AN232B-04 says a packet goes to the host; see simulated_ftdi.cpp.
class SimulatedFtdi final : public backends::FtdiCalls {
 public:
  explicit SimulatedFtdi(FtdiChipModel& model) : model_(model) {}

  ~SimulatedFtdi() override;
  SimulatedFtdi(const SimulatedFtdi&) = delete;
  SimulatedFtdi& operator=(const SimulatedFtdi&) = delete;

  int find_all(std::vector<backends::FtdiChip>& chips) override;
  int open(const std::string& serial, int interface) override;
  int chip_type() override { return model_.type; }
  backends::FtdiClock clock_for(int baudrate) override;
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
  struct Echo {
    double ready_us;  // clocked, on the host's clock
    unsigned char pins;
  };
  std::deque<Echo> echoes_;
  double chip_free_us_ = 0;    // when the chip has clocked out all it was given
  double last_packet_us_ = 0;  // when it last sent the host a packet
  std::string error_;
  unsigned jitter_ = 1;
  ::ftdi_context* libftdi_ = nullptr;  // for libftdi's divisor, with the chip's type
};

}  // namespace vx::test
