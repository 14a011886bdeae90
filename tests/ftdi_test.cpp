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
#include "cli/cli.h"
#include "panel/panel_logic.h"
#include "support/simulated_ftdi.h"

namespace vx {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

struct FtdiPanel {
  explicit FtdiPanel(test::FtdiChipModel& chip, const std::string& serial = "",
                     const std::string& trace = "")
      : access(
            [&chip, serial] {
              return backends::open_ftdi(serial, 5us, std::make_unique<test::SimulatedFtdi>(chip));
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

TEST(Ftdi, OpensInSynchronousBitBangModeAtTheDefaultPhase) {
  test::FtdiChipModel chip;
  FtdiPanel p(chip);
  p.logic.cmdMS_Click();
  EXPECT_EQ(chip.mode, 0x04);
  EXPECT_EQ(chip.outputs, 0x03) << "ADBUS0 and ADBUS1 out, ADBUS3 in";
  EXPECT_EQ(chip.latency, 1);
  EXPECT_EQ(chip.baudrate, 200'000 / 4) << "one byte each 5 us, libftdi's factor of 4 minded";
}

TEST(Ftdi, EveryCodeRoundTripsWithOneWriteAndOneReadPerTransaction) {
  test::FtdiChipModel chip;
  FtdiPanel p(chip);
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
  EXPECT_EQ(chip.latency_ms, chip.reads * 1L) << "1 ms of latency timer a read, counted";
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

TEST(Ftdi, ChunksNeverOverrunTheChipsBuffer) {
  test::FtdiChipModel chip;
  chip.buffer = 64;
  FtdiPanel p(chip);
  p.logic.cmdFS_Click();
  p.logic.cmdRead_Click();
  EXPECT_EQ(p.logic.text(panel::TextBox::sda_data), "255");
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
           {"permission", [](auto& c) { c.open_result = -4; }, "",
            "permission denied on the FTDI chip FT6ZQ7TX (usb_open() failed: LIBUSB_ERROR_ACCESS): "
            "install the udev rule for FTDI chips from the README"},
           {"claimed", [](auto& c) { c.open_result = -5; }, "",
            "the FTDI chip FT6ZQ7TX is held by the ftdi_sio serial driver or another program"},
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

// The real library, on a machine with no FTDI chip: what a user without one sees.
TEST(Ftdi, TheRealLibraryWithNoChipSaysSoAndVx3071Exits3) {
  std::vector<backends::FtdiChip> chips;
  auto calls = backends::libftdi_calls();
  if (calls->find_all(chips) > 0) GTEST_SKIP() << "an FTDI chip is plugged into this machine";
  std::istringstream in;
  std::ostringstream out, err;
  EXPECT_EQ(cli::run({"--port", "ftdi", "read"}, {in, out, err, false}), cli::kPortError);
  EXPECT_THAT(err.str(), HasSubstr("vx3071: no FTDI chip found: is it plugged in?"));
}

}  // namespace
}  // namespace vx
