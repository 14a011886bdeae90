#include "bus/bring_up.h"

#include <cstdio>

#include "bus/address_probe.h"
#include "bus/read_back.h"
#include "bus/write_transaction.h"
#include "frame/code_conversions.h"
#include "frame/device_address.h"

namespace vx::bus {

namespace {

using Result = CheckStep::Result;

std::string hex_address(int address) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", address);
  return text;
}

int read_setting(LineDriver& driver) {
  return read_transaction(driver, standard_read_frame());
}

void write_setting(LineDriver& driver, int code) {
  Read_Write_Bits_to_Parallel_Port(driver, frame::fixed_address_frame_word(code));
}

CheckStep lines(port::Port& port, LineDriver& driver) {
  if (!port.sees_lines()) {
    return {"lines", Result::skip, "the adapter keeps its own lines: they cannot be read here", ""};
  }
  const std::string read = port.read_scl() ? "SCL and SDA read high" : "SDA reads high";
  switch (test_lines(port, driver)) {
    case LineTest::scl_held_low:
      return {"lines", Result::fail, "SCL is held low with both lines released", kLineCauses};
    case LineTest::sda_held_low:
      return {
          "lines", Result::fail, "SDA is held low with both lines released, also after nine clocks",
          std::string(kLineCauses) + "; a device stuck mid-byte lets go when powered off and on"};
    case LineTest::freed_by_clear:
      return {"lines", Result::ok,
              read +
                  " with both lines released, after a bus clear freed SDA (a device was left "
                  "mid-byte)",
              ""};
    case LineTest::free:
      break;
  }
  return {"lines", Result::ok, read + " with both lines released", ""};
}

CheckStep presence(LineDriver& driver) {
  const std::string own = hex_address(frame::kDeviceAddress);
  if (address_acknowledged(driver, frame::kWriteAddressByte)) {
    return {"presence", Result::ok, "the VX3071 acknowledges its address " + own, ""};
  }
  std::string others;
  for (const int address : scan(driver))
    others += (others.empty() ? "" : ", ") + hex_address(address);
  if (others.empty()) {
    return {"presence", Result::fail, "no acknowledge at " + own + "; nothing answers on this bus",
            "check the power, the pull-ups and the wiring"};
  }
  return {"presence", Result::fail, "no acknowledge at " + own + "; a device answers at " + others,
          "is the board strapped to another address?"};
}

CheckStep read_back(LineDriver& driver, bool thorough) {
  const int found = read_setting(driver);
  write_setting(driver, found);
  const int again = read_setting(driver);
  if (again != found) {
    return {"read-back", Result::fail,
            "read " + std::to_string(found) + ", wrote it back, then read " + std::to_string(again),
            "a line stuck at one level or a device that does not hold its setting: check SDA's "
            "buffer and the wiring"};
  }
  std::string text = "read " + std::to_string(found) + " twice, written back between";
  if (!thorough) return {"read-back", Result::ok, text, ""};
  std::string wrong;
  for (const int pattern : {0x55, 0xAA}) {
    write_setting(driver, pattern);
    const int got = read_setting(driver);
    if (got != pattern && wrong.empty()) {
      wrong = "wrote " + hex_address(pattern) + ", read back " + hex_address(got);
    }
  }
  write_setting(driver, found);
  const int restored = read_setting(driver);
  const std::string holds = restored == found
                                ? "; " + std::to_string(found) + " restored"
                                : "; restoring " + std::to_string(found) +
                                      " failed: the device reads " + std::to_string(restored);
  if (!wrong.empty() || restored != found) {
    return {"read-back", Result::fail, (wrong.empty() ? text : wrong) + holds,
            "a data line stuck at one level: check SDA's buffer, the wiring and the pull-ups"};
  }
  return {"read-back", Result::ok, text + "; 0x55 and 0xAA read back as written" + holds, ""};
}

CheckStep timing(port::PortAccess& access, port::Port& port) {
  const auto phase = access.min_phase().count();
  std::string text = phase > 0 ? "each phase lasts at least " + std::to_string(phase) + " us"
                               : "the port is not paced";
  text += " (VX3071_MIN_PHASE_US, or the back end's default)";
  if (const std::string own = port.timing(); !own.empty()) text += "; " + own;
  return {"timing", Result::ok, text, ""};
}

}  // namespace

LineTest test_lines(port::Port& port, LineDriver& driver) {
  driver.Write_Line_Code(hex_text_to_int16(kSclHighSdaHigh));  // both released
  if (port.read_scl() == false) return LineTest::scl_held_low;
  if (driver.Sample_SDA() == 1) return LineTest::free;
  try {
    driver.clear_bus();
  } catch (const SdaHeldLow&) {
    return LineTest::sda_held_low;
  }
  return LineTest::freed_by_clear;
}

std::vector<int> scan(LineDriver& driver) {
  std::vector<int> found;
  for (int address = kFirstScanAddress; address <= kLastScanAddress; ++address) {
    if (address_acknowledged(driver, static_cast<std::uint8_t>(address << 1))) {
      found.push_back(address);
    }
  }
  return found;
}

CheckReport check(port::PortAccess& access, LineDriver& driver, bool thorough) {
  constexpr const char* kSteps[] = {"port", "lines", "presence", "read-back", "timing"};
  CheckReport report;
  std::size_t next = 0;  // the step to run next, by its place in kSteps
  const auto add = [&](CheckStep step) {
    ++next;
    report.steps.push_back(std::move(step));
    return report.steps.back().result != Result::fail;
  };
  const auto skip_to = [&](std::size_t end, const char* why) {
    for (; next < end; ++next) report.steps.push_back({kSteps[next], Result::skip, why, ""});
  };

  port::Port* port = nullptr;
  try {
    port = &access.port();
    add({"port", Result::ok, "opened", ""});
  } catch (const port::NoAnswer& error) {  // a back end that probes the device as it opens
    add({"port", Result::fail, error.what(), ""});
    report.device_wrong = true;
  } catch (const port::PortError& error) {
    add({"port", Result::fail, error.what(), ""});
    report.port_unusable = true;
  }
  if (!port) {
    skip_to(std::size(kSteps), "the port could not be used");
    return report;
  }
  try {
    if (!add(lines(*port, driver))) {
      report.port_unusable = true;
      skip_to(4, "the lines are not free");
    } else if (!add(presence(driver))) {
      report.device_wrong = true;
      skip_to(4, "no device answered to be read");
    } else if (!add(read_back(driver, thorough))) {
      report.device_wrong = true;
    }
    add(timing(access, *port));
  } catch (const port::PortError& error) {  // the port failed in the middle of a step
    add({kSteps[next], Result::fail, error.what(), ""});
    report.port_unusable = true;
    skip_to(std::size(kSteps), "the port failed");
  }
  return report;
}

}  // namespace vx::bus
