#pragma once

#include <string>
#include <vector>

#include "bus/line_driver.h"

namespace vx::bus {

// The 7-bit addresses a bus may carry devices at; i2cdetect scans the same.
inline constexpr int kFirstScanAddress = 0x08, kLastScanAddress = 0x77;

// The kernel's i2c-algo-bit test_bus(): with both lines released, SCL (where the back end can
// read it) and SDA must read high. SDA low gets one bus clear first: a device left mid-byte lets
// go within nine clocks.
enum class LineTest { free, freed_by_clear, scl_held_low, sda_held_low };
LineTest test_lines(port::Port& port, LineDriver& driver);

// What holds a line low, and what to do about it.
inline constexpr const char* kLineCauses =
    "fit a 4.7 kOhm pull-up to the device's supply unless the board has one, and look for a short "
    "to ground";

// The addresses from 0x08 to 0x77 that acknowledge an address-only write, in order.
std::vector<int> scan(LineDriver& driver);

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
// does), does it keep what it is given (read-back: read, write the same back, read again; with
// `thorough` also 0x55 and 0xAA, then the setting found is restored), and what timing is in force.
// Makes frames of its own through `driver`; leaves the bus idle and the device as it found it.
CheckReport check(port::PortAccess& access, LineDriver& driver, bool thorough);

}  // namespace vx::bus
