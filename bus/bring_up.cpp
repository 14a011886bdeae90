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

// Runs before each frame of a check: a stop there leaves the bus idle.
using Between = std::function<void()>;

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

CheckStep lines(port::Port& port, LineDriver& driver, const Between& between) {
  if (!port.sees_lines()) {
    return {"lines", Result::skip, "the adapter keeps its own lines: they cannot be read here", ""};
  }
  const bool both = port.read_scl().has_value();
  const std::string released = both ? "SCL and SDA read high with both lines released, and each "
                                      "reads low only while pulled low"
                                    : "SDA reads high with both lines released, low while pulled "
                                      "low, and high while SCL is pulled low";
  between();
  const LineTest result = test_lines(driver);
  if (result == LineTest::free) return {"lines", Result::ok, released, ""};
  if (result == LineTest::freed_by_clear) {
    return {"lines", Result::ok,
            released + ", after a bus clear freed SDA (a device was left mid-byte)", ""};
  }
  const LineFault fault = describe(result);
  return {"lines", Result::fail, fault.seen, fault.fix};
}

CheckStep presence(port::PortAccess& access, LineDriver& driver, const Between& between) {
  const std::string own = hex_address(frame::kDeviceAddress);
  if (const std::string why = access.port().cannot_probe(); !why.empty()) {
    return {"presence", Result::skip, "cannot ask who is there: " + why, ""};
  }
  between();
  if (address_acknowledged(driver, frame::kWriteAddressByte)) {
    return {"presence", Result::ok, "the VX3071 acknowledges its address " + own, ""};
  }
  std::string others;
  for (const int address : scan(access, driver, between).found)
    others += (others.empty() ? "" : ", ") + hex_address(address);
  if (others.empty()) {
    return {"presence", Result::fail, "no acknowledge at " + own + "; nothing answers on this bus",
            "check the power, the pull-ups and the wiring"};
  }
  return {"presence", Result::fail, "no acknowledge at " + own + "; a device answers at " + others,
          "is the board strapped to another address?"};
}

// After a port failure in the middle of a thorough read-back: puts `found` back where the port
// lets it, and says in the error what the device may hold where it does not.
[[noreturn]] void restore_after(const port::PortError& error, LineDriver& driver, int held,
                                int found) {
  try {
    write_setting(driver, found);
  } catch (const port::PortError&) {
    throw port::PortError(std::string(error.what()) + "; the device may hold " +
                          std::to_string(held) + " rather than the " + std::to_string(found) +
                          " it held: write " + std::to_string(found) + " back");
  }
  throw port::PortError(std::string(error.what()) + "; " + std::to_string(found) + " restored");
}

// Writes `code`; a failure leaves the device holding `held` or `code`, and `found` is put back.
void write_restoring(LineDriver& driver, int code, int held, int found) {
  try {
    write_setting(driver, code);
  } catch (const port::PortError& error) {
    restore_after(error, driver, held, found);
  }
}

int read_restoring(LineDriver& driver, int held, int found) {
  try {
    return read_setting(driver);
  } catch (const port::PortError& error) {
    restore_after(error, driver, held, found);
  }
}

CheckStep read_back(LineDriver& driver, bool thorough, const Between& between) {
  // A value read once may be a misread: it is written back only when a second read agrees.
  between();
  const int found = read_setting(driver);
  between();
  const int twice = read_setting(driver);
  if (twice != found) {
    return {"read-back", Result::fail,
            "reads disagree: " + std::to_string(found) + " then " + std::to_string(twice) +
                "; nothing was written",
            "a phase too short for the wiring: set a longer one with VX3071_MIN_PHASE_US"};
  }
  between();
  write_setting(driver, found);
  between();
  const int again = read_setting(driver);
  if (again != found) {
    return {"read-back", Result::fail,
            "read " + std::to_string(found) + " twice, wrote it back, then read " +
                std::to_string(again),
            "a line stuck at one level or a device that does not hold its setting: check SDA's "
            "buffer and the wiring"};
  }
  std::string text = "read " + std::to_string(found) + " twice, wrote it back and read it again";
  if (!thorough) return {"read-back", Result::ok, text, ""};
  std::string wrong;
  int held = found;  // what the device holds unless a write failed
  int restored = found;
  try {
    for (const int pattern : {0x55, 0xAA}) {
      between();
      write_restoring(driver, pattern, pattern, found);
      held = pattern;
      between();
      const int got = read_restoring(driver, pattern, found);
      if (got != pattern && wrong.empty()) {
        wrong = "wrote " + hex_address(pattern) + ", read back " + hex_address(got);
      }
    }
    between();
    write_restoring(driver, found, held, found);
    held = found;
    between();
    restored = read_restoring(driver, found, found);
  } catch (const port::PortError&) {  // restore_after put back what it could, and says so
    throw;
  } catch (...) {  // stopped between two frames: the setting found goes back first
    if (held != found) write_restoring(driver, found, held, found);
    throw;
  }
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

LineTest test_lines(LineDriver& driver) {
  const auto code = [&](std::string_view text) { driver.Write_Line_Code(hex_text_to_int16(text)); };
  const auto sda = [&] { return driver.Sample_SDA() == 1; };
  const auto scl_reads = [&](bool level) { return driver.Read_SCL().value_or(level) == level; };
  // A fault leaves both lines released, as a pass does.
  const auto fault = [&](LineTest result) {
    code(kSclHighSdaHigh);
    return result;
  };

  code(kSclHighSdaHigh);
  if (!scl_reads(true)) return LineTest::scl_held_low;
  bool cleared = false;
  if (!sda()) {
    try {
      driver.clear_bus();
    } catch (const SdaHeldLow&) {
      return LineTest::sda_held_low;
    }
    cleared = true;
  }
  code(kSclHighSdaLow);
  if (sda()) return fault(LineTest::sda_stuck_high);
  if (!scl_reads(true)) return fault(LineTest::scl_follows_sda);
  code(kSclHighSdaHigh);
  if (!sda()) return fault(LineTest::sda_stays_low);
  code(kSclLowSdaHigh);
  if (!scl_reads(false)) return fault(LineTest::scl_stuck_high);
  if (!sda()) return fault(LineTest::sda_follows_scl);
  code(kSclHighSdaHigh);
  if (!scl_reads(true)) return LineTest::scl_stays_low;
  return cleared ? LineTest::freed_by_clear : LineTest::free;
}

LineFault describe(LineTest result) {
  const std::string pull_up =
      "fit a 4.7 kOhm pull-up to the device's supply unless the board has one";
  switch (result) {
    case LineTest::free:
    case LineTest::freed_by_clear:
      return {};
    case LineTest::scl_held_low:
      return {"SCL is held low with both lines released",
              pull_up + ", and look for a short to ground or an open SCL line"};
    case LineTest::sda_held_low:
      return {"SDA is held low with both lines released, also after nine clocks",
              pull_up +
                  ", and look for a short to ground; a device stuck mid-byte lets go when "
                  "powered off and on"};
    case LineTest::sda_stuck_high:
      return {"SDA reads high while pulled low",
              "the drive does not reach the line that is read: an open SDA line, or the "
              "open-drain buffer missing, unpowered or inverting"};
    case LineTest::scl_follows_sda:
      return {"SCL reads low while only SDA is pulled low",
              "SDA and SCL are bridged: look for a short between the two lines"};
    case LineTest::sda_stays_low:
      return {"SDA stays low once released", pull_up + " (a weak one rises too slowly)"};
    case LineTest::scl_stuck_high:
      return {"SCL reads high while pulled low", "an open SCL line, or SCL shorted to the supply"};
    case LineTest::sda_follows_scl:
      return {"SDA reads low while only SCL is pulled low",
              "SDA and SCL are bridged: look for a short between the two lines"};
    case LineTest::scl_stays_low:
      return {"SCL stays low once released", pull_up + " (a weak one rises too slowly)"};
  }
  return {};
}

ScanResult scan(port::PortAccess& access, LineDriver& driver,
                const std::function<void()>& between) {
  ScanResult result;
  result.skipped = access.port().cannot_probe();
  if (!result.skipped.empty()) return result;
  for (int address = kFirstScanAddress; address <= kLastScanAddress; ++address) {
    if (between) between();
    if (address_acknowledged(driver, static_cast<std::uint8_t>(address << 1))) {
      result.found.push_back(address);
    }
  }
  return result;
}

CheckReport check(port::PortAccess& access, LineDriver& driver, bool thorough,
                  const std::function<void()>& between_frames) {
  const Between between = between_frames ? between_frames : Between([] {});
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
    if (!add(lines(*port, driver, between))) {
      report.port_unusable = true;
      skip_to(4, "the lines are not free");
    } else if (!add(presence(access, driver, between))) {
      report.device_wrong = true;
      skip_to(4, "no device answered to be read");
    } else if (!add(read_back(driver, thorough, between))) {
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
