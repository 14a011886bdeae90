// The FTDI back end through the libftdi seam, with a simulated chip in synchronous bit-bang mode
// and the simulated VX3071 on its pins; and the real library on a machine with no chip.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "backends/backends.h"
#include "backends/ftdi.h"
#include "bus/line_driver.h"
#include "cli/cli.h"
#include "panel/panel_logic.h"
#include "sim/device.h"
#include "support/simulated_ftdi.h"

namespace vx {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

struct FtdiPanel {
  explicit FtdiPanel(test::FtdiChipModel& chip, const std::string& serial = "",
                     const std::string& trace = "", std::chrono::microseconds phase = 5us)
      : access(
            [&chip, serial, phase] {
              return backends::open_ftdi(serial, phase,
                                         std::make_unique<test::SimulatedFtdi>(chip));
            },
            trace),
        logic(access) {}
  port::PortAccess access;
  panel::PanelLogic logic;
};

std::string port_error(const std::function<void()>& action) {
  try {
    action();
  } catch (const port::PortError& error) {
    return error.what();
  }
  return "(no error)";
}

// The shortest time a line level lasted on the chip's own clock, from the first byte it clocked.
double shortest_level_us(const test::FtdiChipModel& chip) {
  if (chip.clocked.empty()) return 0;  // nothing clocked: no level at all
  double shortest = 1e300, since = chip.clocked.front().first;
  unsigned char lines = chip.clocked.front().second & 0x03;
  for (const auto& [at, pins] : chip.clocked) {
    if ((pins & 0x03) == lines) continue;
    shortest = std::min(shortest, at - since);
    since = at;
    lines = pins & 0x03;
  }
  return shortest;
}

// The level `check`'s timing line says a code lasts, and where the reading was assumed, the
// longest it may last: "... a level lasts 5.26 us" or "... lasts between 5.26 and 84.21 us".
std::pair<double, double> claimed_levels_us(const std::string& timing) {
  const std::size_t at = timing.find("a level lasts ");
  if (at == std::string::npos) return {-1, -1};
  std::istringstream in(timing.substr(at + 14));
  std::string word;
  double low = -1, high = -1;
  if (timing.find("between", at) != std::string::npos) {
    in >> word >> low >> word >> high;
  } else {
    in >> low;
    high = low;
  }
  return {low, high};
}

// Whatever the chip's byte clock turns out to be, as each source reads it, and however the host
// and the USB time its packets (AN232B-04's latency timer, at 1 ms as asked and at a chip's 16 ms
// default, with the host's turnaround from 0 to 2 ms and its jitter), no line level lasts less
// than the phase, and where the clock was measured no code's level lasts more than 4 phases; what
// check's timing line says is what the chip does.
TEST(Ftdi, NoLineLevelIsShorterThanThePhaseAtAnyByteRateOrUsbTiming) {
  for (const double bytes_per_period : {1.0, 4.0, 16.0}) {
    for (const double turnaround_us : {0.0, 700.0, 1100.0, 2000.0}) {
      for (const unsigned char latency_ms : {0, 16}) {
        for (const auto phase : {5us, 10us, 10'000us}) {
          SCOPED_TRACE(testing::Message()
                       << bytes_per_period << " bytes a period, turnaround " << turnaround_us
                       << " us, latency timer " << (latency_ms ? "16 ms" : "as set") << ", phase "
                       << phase.count() << " us");
          test::FtdiChipModel chip;
          chip.bytes_per_period = bytes_per_period;
          chip.turnaround_us = turnaround_us;
          chip.fixed_latency_ms = latency_ms;
          port::PortAccess access([&chip, phase] {
            return backends::open_ftdi("", phase, std::make_unique<test::SimulatedFtdi>(chip));
          });
          const std::string timing = access.port().timing();
          EXPECT_EQ(chip.mode, 0x04);
          EXPECT_EQ(chip.outputs, 0x03) << "ADBUS0 and ADBUS1 out, ADBUS3 in";
          EXPECT_EQ(chip.latency, 1);
          ASSERT_FALSE(chip.clocked.empty());
          EXPECT_EQ(chip.clocked.front().second & 0x03, 0x03) << "the lines released first";
          chip.clocked.clear();  // the levels of frames, not of the measurement
          panel::PanelLogic logic(access);
          for (const int code : {0x5A, 0xA5, 0xFF, 0x00}) {
            logic.user_sets_slider(code);
            ASSERT_EQ(chip.device->setting(), code);
            logic.cmdRead_Click();
            ASSERT_EQ(logic.text(panel::TextBox::sda_data), std::to_string(code));
          }
          const double shortest = shortest_level_us(chip);
          const auto phase_us = static_cast<double>(phase.count());
          EXPECT_GE(shortest, phase_us);
          std::ostringstream reading;
          reading << "measured at " << bytes_per_period << "x: a level lasts";
          EXPECT_THAT(timing, HasSubstr(reading.str()));
          EXPECT_LE(shortest, 4 * phase_us) << "measured, so not needlessly slow";
          const auto [low, high] = claimed_levels_us(timing);
          EXPECT_NEAR(low, shortest, shortest * 0.01) << timing;
          EXPECT_EQ(low, high) << timing;
          if (phase > 5'000us) {
            EXPECT_EQ(chip.baudrate, 46) << "the chip's slowest: 184 / 4";
          }
        }
      }
    }
  }
}

// FTDI's high-speed chips run on their 12 MHz clock path at every working rate, and are measured
// there: on that path the chip clocks 5 bytes a period by pyftdi's figure, while on the 3 MHz path
// no source gives its figure, so the tests vary it and nothing may depend on it. A figure no
// source gives on the 12 MHz path (4) cannot be measured surely, and is assumed.
TEST(Ftdi, AnHChipIsMeasuredAndRunOnTheClockPathItsWorkingRateUses) {
  struct Chip {
    const char* name;
    int type, product;
  };
  for (const auto& [name, type, product] :
       {Chip{"FT232H", 6, 0x6014}, Chip{"FT2232H", 4, 0x6010}, Chip{"FT4232H", 5, 0x6011}}) {
    for (const double high : {5.0, 16.0, 1.0, 4.0}) {
      for (const double low : {16.0, 4.0, 1.0}) {
        for (const unsigned char latency_ms : {0, 16}) {
          for (const auto phase : {5us, 10us, 10'000us}) {
            SCOPED_TRACE(testing::Message()
                         << name << ", " << high << " bytes a period at 12 MHz, " << low
                         << " at 3 MHz, latency timer " << (latency_ms ? "16 ms" : "as set")
                         << ", phase " << phase.count() << " us");
            test::FtdiChipModel chip;
            test::like_h_chip(chip, type, product);
            chip.high_speed_bytes_per_period = high;
            chip.bytes_per_period = low;
            chip.fixed_latency_ms = latency_ms;
            chip.turnaround_us = 1100;
            port::PortAccess access([&chip, phase] {
              return backends::open_ftdi("", phase, std::make_unique<test::SimulatedFtdi>(chip));
            });
            const std::string timing = access.port().timing();
            chip.clocked.clear();
            panel::PanelLogic logic(access);
            for (const int code : {0x5A, 0xA5}) {
              logic.user_sets_slider(code);
              ASSERT_EQ(chip.device->setting(), code);
              logic.cmdRead_Click();
              ASSERT_EQ(logic.text(panel::TextBox::sda_data), std::to_string(code));
            }
            EXPECT_TRUE(chip.high_speed_path) << "the frames went on the 12 MHz path";
            const double shortest = shortest_level_us(chip);
            const auto phase_us = static_cast<double>(phase.count());
            EXPECT_GE(shortest, phase_us);
            const auto [low_us, high_us] = claimed_levels_us(timing);
            if (high == 4.0) {
              EXPECT_THAT(timing, HasSubstr("assumed 16x on the 12 MHz clock path"));
              EXPECT_GE(shortest, low_us * 0.99) << timing;
              EXPECT_LE(shortest, high_us * 1.01) << timing;
              continue;
            }
            std::ostringstream reading;
            reading << "measured at " << high << "x on the 12 MHz clock path: a level lasts";
            EXPECT_THAT(timing, HasSubstr(reading.str()));
            EXPECT_NEAR(low_us, shortest, shortest * 0.05) << "the timing line is true: " << timing;
            EXPECT_LE(shortest, 4 * phase_us) << "measured, so not needlessly slow";
          }
        }
      }
    }
  }
}

// ftdi[:SERIAL][:A|B|C|D]: the interface of a dual or quad chip, A unless told; one the chip does
// not have, or a letter no chip has, is refused before anything is opened.
TEST(Ftdi, TheInterfaceOfADualOrQuadChipIsChosenByItsLetter) {
  struct Case {
    int product;
    const char* choice;
    int opened;           // the interface opened, or -1
    const char* refusal;  // when none is
  };
  for (const auto& [product, choice, opened, refusal] : {
           Case{0x6010, "", 0, ""},
           Case{0x6010, ":B", 1, ""},
           Case{0x6011, "FT9H2K01:D", 3, ""},
           Case{0x6014, "FT9H2K01:A", 0, ""},
           Case{0x6014, ":B", -1,
                "the FTDI chip FT9H2K01 (0403:6014) has one interface, A, not B: use "
                "ftdi:FT9H2K01"},
           Case{0x6010, ":C", -1,
                "the FTDI chip FT9H2K01 (0403:6010) has interfaces A to B, not C: use "
                "ftdi:FT9H2K01:A"},
           Case{0x6010, "FT9H2K01:E", -1, "the FTDI port \"FT9H2K01:E\" is not [SERIAL][:A|B|C|D]"},
       }) {
    SCOPED_TRACE(choice);
    test::FtdiChipModel chip;
    test::like_h_chip(chip, product == 0x6014 ? 6 : product == 0x6010 ? 4 : 5, product);
    FtdiPanel p(chip, choice);
    if (*refusal) {
      EXPECT_THAT(port_error([&] { p.logic.cmdMS_Click(); }), HasSubstr(refusal));
      EXPECT_EQ(chip.interface, -1) << "nothing opened";
      continue;
    }
    p.logic.user_sets_slider(17);
    EXPECT_EQ(chip.interface, opened);
    EXPECT_EQ(chip.device->setting(), 17);
  }
  EXPECT_THAT(backends::malformed_port("ftdi:FT9H2K01:E"), HasSubstr("is not [SERIAL][:A|B|C|D]"));
  EXPECT_EQ(backends::malformed_port("ftdi::B"), "");
}

// A host too busy to measure the chip's clock (200 ms from each read to its next write, which puts
// every try outside every reading's band): the fastest reading is assumed, so whatever the chip's
// clock no level is shorter than the phase, and the timing line's range holds the level it gives.
TEST(Ftdi, AnAssumedClockNeverMakesALevelShorterThanThePhaseAndSaysItsRangeTruly) {
  for (const double bytes_per_period : {1.0, 4.0, 16.0}) {
    SCOPED_TRACE(testing::Message() << bytes_per_period << " bytes a period");
    test::FtdiChipModel chip;
    chip.bytes_per_period = bytes_per_period;
    chip.turnaround_us = 200'000;
    const auto phase = 10us;
    port::PortAccess access([&chip, phase] {
      return backends::open_ftdi("", phase, std::make_unique<test::SimulatedFtdi>(chip));
    });
    const std::string timing = access.port().timing();
    EXPECT_THAT(timing, HasSubstr("assumed 16x (the chip's clock could not be measured surely)"));
    chip.clocked.clear();
    panel::PanelLogic logic(access);
    logic.user_sets_slider(0x5A);
    ASSERT_EQ(chip.device->setting(), 0x5A);
    const double shortest = shortest_level_us(chip);
    EXPECT_GE(shortest, 10.0);
    const auto [low, high] = claimed_levels_us(timing);
    EXPECT_GE(shortest, low * 0.99) << timing;
    EXPECT_LE(shortest, high * 1.01) << timing;
  }
}

// The host may be descheduled in the middle of a measurement: one try delayed by as much as takes
// it past the fastest reading's band, or right into the next one's, decides nothing.
TEST(Ftdi, AHostStallInOneTryDoesNotDecideTheReading) {
  for (const int stalled_write : {1, 2}) {
    for (const double stall_us : {62'000.0, 150'000.0}) {
      SCOPED_TRACE(testing::Message()
                   << "write " << stalled_write << " stalled " << stall_us << " us");
      test::FtdiChipModel chip;
      chip.bytes_per_period = 16;
      chip.stall_at_write = stalled_write;
      chip.stall_us = stall_us;
      port::PortAccess access([&chip] {
        return backends::open_ftdi("", 5us, std::make_unique<test::SimulatedFtdi>(chip));
      });
      EXPECT_THAT(access.port().timing(), HasSubstr("measured at 16x"));
    }
  }
}

TEST(Ftdi, EveryCodeRoundTripsWithOneWriteAndOneReadPerTransaction) {
  test::FtdiChipModel chip;
  FtdiPanel p(chip);
  p.logic.cmdMS_Click();  // opens and measures the chip first
  for (int step = 1; step <= 256; ++step) {
    const int code = step % 256;
    const int writes = chip.writes, reads = chip.reads;
    p.logic.user_sets_slider(code);
    ASSERT_EQ(chip.writes - writes, 1) << "code " << code;
    ASSERT_EQ(chip.reads - reads, 1);
    ASSERT_EQ(chip.device->setting(), code);
    p.logic.cmdRead_Click();
    ASSERT_EQ(chip.writes - writes, 3) << "a Read: the frame, then the read transaction";
    ASSERT_EQ(chip.reads - reads, 3);
    ASSERT_EQ(p.logic.text(panel::TextBox::sda_data), std::to_string(code));
  }
}

TEST(Ftdi, TheTraceRecordsEveryAccessInOrderEachReadWithItsValue) {
  namespace fs = std::filesystem;
  const fs::path trace =
      fs::temp_directory_path() / ("vx3071-ftdi-" + std::to_string(::getpid()) + ".log");
  test::FtdiChipModel chip;
  {
    FtdiPanel p(chip, "", trace.string());
    p.logic.user_sets_slider(0xB4);
    p.logic.cmdRead_Click();
  }
  std::ifstream in(trace);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  fs::remove(trace);
  ASSERT_EQ(lines.size(), 59u + 59u + 48u);
  int byte = 0, samples = 0;
  for (std::size_t i = 118; i < lines.size(); ++i) {
    if (lines[i][0] != 'R') continue;
    ASSERT_EQ(lines[i - 1], "W 378 F1") << "each sample right after SCL falls";
    ++samples;
    byte = byte * 2 + ((std::stoi(lines[i].substr(6), nullptr, 16) & 0x08) ? 1 : 0);
  }
  EXPECT_EQ(samples, 8);
  EXPECT_EQ(byte, 0xB4);
}

// A transaction longer than a chunk, ending in a sample whose echo needs one more byte: the
// chunks stay within the chip's buffer and the last sample reads what the bus showed.
TEST(Ftdi, ALongTransactionGoesOutInChunksAndItsLastSampleIsRight) {
  test::FtdiChipModel chip;
  chip.buffer = 64;
  port::PortAccess access([&chip] {
    return backends::open_ftdi("", 5us, std::make_unique<test::SimulatedFtdi>(chip));
  });
  bus::LineDriver driver(access);
  const int writes = (access.InportW(0x379), chip.writes);  // opened and measured
  bus::Transaction transaction(driver);
  for (int i = 0; i < 80; ++i) driver.Write_Line_Code(0xF3);  // idle, longer than a chunk
  driver.Write_Line_Code(0xF2);                               // START
  for (int bit = 7; bit >= 0; --bit) driver.send_bit((0x58 >> bit & 1) != 0);
  driver.Write_Line_Code(0xF1);  // SCL falls: the device acknowledges, holding SDA low
  transaction.sample_sda();
  EXPECT_EQ(transaction.complete(), std::vector<int>{0}) << "the device's acknowledge";
  EXPECT_EQ(chip.writes - writes, 2) << "98 bytes and the echo's extra one, in two chunks";
}

TEST(Ftdi, EveryFailureSaysWhatToDo) {
  struct Case {
    const char* name;
    std::function<void(test::FtdiChipModel&)> setup;
    const char* serial;
    const char* message;
  };
  for (const auto& [name, setup, serial, message] : std::vector<Case>{
           {"none", [](auto& c) { c.attached.clear(); }, "",
            "no FTDI chip found: is it plugged in? lsusb lists it as 0403:6001"},
           {"several",
            [](auto& c) {
              c.attached.push_back({"A9X2", "FT2232H", 1, 9});
            },
            "",
            "several FTDI chips are plugged in (serials FT6ZQ7TX, A9X2): pick one with "
            "VX3071_PORT=ftdi:SERIAL"},
           {"other serial", [](auto&) {}, "NOPE",
            "no FTDI chip has the serial \"NOPE\": the chips plugged in are FT6ZQ7TX"},
           {"-4", [](auto& c) { c.open_result = -4; }, "",
            "permission denied on the FTDI chip FT6ZQ7TX (libusb_open() failed): install the "
            "udev rule for FTDI chips from the README, join group plugdev"},
           {"-8", [](auto& c) { c.open_result = -8; }, "",
            "permission denied on the FTDI chip FT6ZQ7TX (inappropriate permissions on device!): "
            "install the udev rule"},
           {"-3", [](auto& c) { c.open_result = -3; }, "",
            "the FTDI chip FT6ZQ7TX is held by the ftdi_sio serial driver or another program "
            "(unable to set usb configuration. Make sure the default FTDI driver is not in use): "
            "close the program using its /dev/ttyUSB port, or unload the driver"},
           {"-5", [](auto& c) { c.open_result = -5; }, "",
            "the FTDI chip FT6ZQ7TX is held by the ftdi_sio serial driver or another program "
            "(unable to claim usb device."},
           {"-6", [](auto& c) { c.open_result = -6; }, "",
            "cannot open the FTDI chip FT6ZQ7TX: ftdi_usb_reset failed"},
           {"gone", [](auto& c) { c.gone_before_open = true; }, "",
            "the FTDI chip FT6ZQ7TX went away between being found and being opened: plug it in "
            "again"},
       }) {
    test::FtdiChipModel chip;
    setup(chip);
    FtdiPanel p(chip, serial);
    EXPECT_THAT(port_error([&] { p.logic.cmdMS_Click(); }), HasSubstr(message)) << name;
    EXPECT_FALSE(p.access.is_open()) << name;
  }
}

TEST(Ftdi, AChipUnpluggedInTheMiddleFailsThatActionAndTheNextRecovers) {
  test::FtdiChipModel chip;
  FtdiPanel p(chip, "FT6ZQ7TX");
  p.logic.cmdFS_Click();
  chip.unplug_at_write = 2;  // the read transaction of the next Read
  EXPECT_EQ(port_error([&] { p.logic.cmdRead_Click(); }),
            "the FTDI chip FT6ZQ7TX stopped answering (writing: USB device unavailable): was it "
            "unplugged? The next action opens it again");
  EXPECT_FALSE(p.access.is_open());
  chip.unplugged = false;
  p.logic.user_sets_slider(66);
  EXPECT_EQ(chip.device->setting(), 66);
  p.logic.cmdRead_Click();
  EXPECT_EQ(p.logic.text(panel::TextBox::sda_data), "66");
}

// vx3071 check through the simulated chip: its steps, and the clock it measured.
TEST(Ftdi, CheckTellsThePresentDeviceTheOneElsewhereAndTheMeasuredClock) {
  for (const int address : {0x2C, 0x50}) {
    test::FtdiChipModel chip;
    chip.bytes_per_period = 4;
    chip.device = std::make_shared<sim::Device>(address);
    const auto make = [&chip](const backends::Settings&) {
      return std::make_unique<port::PortAccess>([&chip] {
        return backends::open_ftdi("", 5us, std::make_unique<test::SimulatedFtdi>(chip));
      });
    };
    std::istringstream in;
    std::ostringstream out, err;
    const int status = cli::run({"check"}, {in, out, err, false}, {}, make);
    const std::string text = out.str();
    if (address == 0x2C) {
      EXPECT_EQ(status, cli::kOk) << text << err.str();
      EXPECT_THAT(text, HasSubstr("presence  ok    the VX3071 acknowledges its address 0x2C\n"));
      EXPECT_THAT(text, HasSubstr("measured at 4x: a level lasts 5.26 us"));
    } else {
      EXPECT_EQ(status, cli::kVerifyMismatch);
      EXPECT_THAT(text, HasSubstr("presence  FAIL  no acknowledge at 0x2C; a device answers at "
                                  "0x50: is the board strapped to another address?\n"));
    }
  }
}

// The real library, on a machine with no FTDI chip: what a user without one sees.
TEST(Ftdi, TheRealLibraryWithNoChipSaysSoAndVx3071Exits3) {
  std::vector<backends::FtdiChip> chips;
  auto calls = backends::libftdi_calls();
  EXPECT_EQ(calls->error_string(), "libftdi gave no reason") << "no error set yet: NULL";
  if (calls->find_all(chips) > 0) GTEST_SKIP() << "an FTDI chip is plugged into this machine";
  std::istringstream in;
  std::ostringstream out, err;
  EXPECT_EQ(cli::run({"--port", "ftdi", "read"}, {in, out, err, false}), cli::kPortError);
  EXPECT_THAT(err.str(), HasSubstr("vx3071: no FTDI chip found: is it plugged in?"));
}

}  // namespace
}  // namespace vx
