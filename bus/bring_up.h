#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bus/line_driver.h"

namespace vx::bus {

// The 7-bit addresses a bus may carry devices at; i2cdetect scans the same.
inline constexpr int kFirstScanAddress = 0x08, kLastScanAddress = 0x77;

// The kernel's i2c-algo-bit test_bus(), on whatever lines the back end can read (SDA always, SCL
// where read_scl answers): with both released both read high (SDA low gets one bus clear first: a
// device left mid-byte lets go within nine clocks); SDA pulled low reads low while SCL stays high,
// and reads high again once released; SCL pulled low reads low while SDA stays high, and reads
// high again once released. Pulling SDA low with SCL high and letting it go is a START and a STOP,
// which leave every device idle. Ends with both lines released.
enum class LineTest {
  free,
  freed_by_clear,
  scl_held_low,     // released
  sda_held_low,     // released, also after a bus clear
  sda_stuck_high,   // pulled low, read high
  scl_follows_sda,  // SCL read low while SDA was pulled low
  sda_stays_low,    // low again once released
  scl_stuck_high,   // pulled low, read high
  sda_follows_scl,  // SDA read low while SCL was pulled low
  scl_stays_low,    // low again once released
};
// Each line is read a phase after the change before it, as test_bus() waits half a period.
LineTest test_lines(LineDriver& driver);

// What a line test found, for a person: what was seen and its likely causes; empty for a pass.
struct LineFault {
  std::string seen;
  std::string fix;
};
LineFault describe(LineTest result);

// Asks the addresses from 0x08 to 0x77 in order. `skipped` says why none could be asked (an I2C
// adapter that can neither write without data nor read a byte); else `found` holds those that
// acknowledged.
struct ScanResult {
  std::vector<int> found;
  std::string skipped;
};
// `between`, when given, runs before each probe: it may stop the scan by throwing, the bus idle.
ScanResult scan(port::PortAccess& access, LineDriver& driver,
                const std::function<void()>& between = {});

// One step of a bring-up check: what was seen, and for a failure what to do.
struct CheckStep {
  enum class Result { ok, fail, skip };
  std::string name;
  Result result;
  std::string text;
  std::string fix;
};

struct CheckReport {
  std::vector<CheckStep> steps;
  bool port_unusable = false;  // the port, or its lines, failed
  bool device_wrong = false;   // the device is missing, elsewhere, or answers wrongly
};

// Answers, in order, a bench engineer's first questions about a port: does it open (port), do
// both lines read high when released (lines, where the back end can read them; a bus clear runs
// once before SDA is judged), does the VX3071 acknowledge its address (presence; when not, who
// does), does it keep what it is given (read-back: read twice, and only when both agree write the
// same back and read again; with `thorough` also 0x55 and 0xAA, then the setting found is
// restored, on every way out), and what timing is in force. Makes frames of its own through
// `driver`; leaves the bus idle and the device as it found it. `between`, when given, runs before
// each frame and may stop the check by throwing: the bus idle, and a setting the thorough
// read-back changed put back first.
CheckReport check(port::PortAccess& access, LineDriver& driver, bool thorough,
                  const std::function<void()>& between = {});

}  // namespace vx::bus
