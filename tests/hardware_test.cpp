// The I2C and GPIO back ends through their real open and ioctl calls, against device nodes that
// umockdev emulates, with the simulated VX3071 answering behind them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/gpio.h>
#include <linux/i2c-dev.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "backends/backends.h"
#include "backends/gpio.h"
#include "backends/i2c.h"
#include "backends/ports.h"
#include "bus/read_back.h"
#include "bus/write_transaction.h"
#include "cli/cli.h"
#include "frame/code_conversions.h"
#include "frame/device_address.h"
#include "frame/line_protocol.h"
#include "panel/panel_logic.h"
#include "support/bus_checks.h"
#include "support/emulated_hardware.h"

namespace vx {
namespace {

using ::testing::HasSubstr;

// A panel on the port that `choice` names, as VX3071_PORT would name it.
struct PanelOn {
  explicit PanelOn(const std::string& choice, const std::string& min_phase_us = "0")
      : access(backends::make_port({choice, "", min_phase_us})), logic(*access) {}
  std::unique_ptr<port::PortAccess> access;
  panel::PanelLogic logic;
};

[[maybe_unused]] std::string port_error(const std::function<void()>& action) {
  try {
    action();
  } catch (const port::PortError& error) {
    return error.what();
  }
  return "(no error)";
}

// The error `open` throws for a user without permission on the emulated node. Root passes every
// permission check, so a child takes the node's permissions away and gives root up first.
std::string error_without_permission(const std::string& node_file,
                                     const std::function<void()>& open) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return "(no pipe)";
  const pid_t child = ::fork();
  if (child < 0) return "(no child)";
  if (child == 0) {
    ::close(pipe_fds[0]);
    ::chmod(node_file.c_str(), 0600);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    const std::string message = port_error(open);
    (void)!::write(pipe_fds[1], message.data(), message.size());
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string message;
  char buffer[512];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) message.append(buffer, n);
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? message : "(the child failed)";
}

class I2c : public ::testing::Test {
 protected:
  test::EmulatedHardware hardware;
  test::I2cAdapterModel adapter;
};

// Every code through the slider, each with a Read that shows it: one transfer per frame.
void round_trip_every_code(PanelOn& p, const std::function<int()>& transfers,
                           const std::function<int()>& setting, int per_write, int per_read) {
  for (int step = 1; step <= 256; ++step) {
    const int code = step % 256;  // the slider starts at 0: 1..255, then 0
    const int before = transfers();
    p.logic.user_sets_slider(code);
    ASSERT_TRUE(p.access->is_open()) << "opened before any ioctl is looked at";
    ASSERT_EQ(transfers() - before, per_write) << "code " << code;
    ASSERT_EQ(setting(), code);
    p.logic.cmdRead_Click();
    ASSERT_EQ(transfers() - before, per_write * 2 + per_read) << "a Read: the frame, then the read";
    ASSERT_EQ(p.logic.text(panel::TextBox::sda_data), std::to_string(code));
  }
}

TEST_F(I2c, TheSliderRoundTripsEveryCodeWithOneTransferPerFrame) {
  hardware.add_i2c_adapter(3, "CP2112 SMBus Bridge", adapter);
  PanelOn p("i2c:3");
  round_trip_every_code(
      p, [&] { return adapter.log.count(I2C_RDWR); }, [&] { return adapter.device->setting(); }, 1,
      1);
}

TEST_F(I2c, AnAdapterIsFoundByItsNameExactly) {
  test::I2cAdapterModel other;
  hardware.add_i2c_adapter(1, "SMBus I801 adapter at f040", other);
  hardware.add_i2c_adapter(3, "CP2112 SMBus Bridge", adapter);
  PanelOn p("i2c:CP2112 SMBus Bridge");
  p.logic.user_sets_slider(99);
  EXPECT_EQ(adapter.device->setting(), 99);
  EXPECT_EQ(other.log.count(I2C_RDWR), 0);
}

// Each failure, with the message a person needs; the panel lives on and the next action works.
TEST_F(I2c, EveryFailureSaysWhatToDo) {
  test::I2cAdapterModel twin, smbus_only;
  hardware.add_i2c_adapter(3, "CP2112 SMBus Bridge", adapter);
  hardware.add_i2c_adapter(4, "MCP2221 usb-i2c bridge", twin);
  hardware.add_i2c_adapter(5, "MCP2221 usb-i2c bridge", smbus_only);
  smbus_only.functions = 0x00080000;  // I2C_FUNC_SMBUS_BYTE_DATA and no more
  hardware.add_i2c_adapter(6, "SMBus PIIX4 adapter", smbus_only);
  struct Case {
    const char* port;
    const char* message;
  };
  for (const auto& [port, message] : {
           Case{"i2c:7", "/dev/i2c-7 does not exist: load the i2c-dev module"},
           Case{"i2c:Nonesuch",
                "no I2C adapter is named \"Nonesuch\": the adapters are 3 "
                "'CP2112 SMBus Bridge', 4 'MCP2221 usb-i2c bridge'"},
           Case{"i2c:MCP2221 usb-i2c bridge", "several I2C adapters are named"},
           Case{"i2c:6", "'SMBus PIIX4 adapter' (/dev/i2c-6) does only SMBus transfers"},
       }) {
    PanelOn p(port);
    EXPECT_THAT(port_error([&] { p.logic.cmdMS_Click(); }), HasSubstr(message)) << port;
    EXPECT_FALSE(p.access->is_open());
  }
}

TEST_F(I2c, AMissingAcknowledgeIsSeenAndTheNextActionWorksOnceTheDeviceAnswers) {
  hardware.add_i2c_adapter(3, "CP2112 SMBus Bridge", adapter);
  struct Case {
    int error;
    const char* seen;
  };
  for (const auto& [error, seen] : {
           // as adapters differ; EIO is also a USB bridge's failure
           Case{ENXIO, ": check the device's power, its pull-ups and the wiring"},
           Case{EREMOTEIO, ": check the device's power, its pull-ups and the wiring"},
           Case{ETIMEDOUT,
                ", or the adapter failed: check the device's power, its pull-ups and the wiring, "
                "and that the adapter is plugged in"},
           Case{EIO,
                ", or the adapter failed: check the device's power, its pull-ups and the wiring, "
                "and that the adapter is plugged in"},
       }) {
    PanelOn p("i2c:3");
    adapter.nack_errno = error;
    adapter.device_present = false;
    EXPECT_EQ(
        port_error([&] { p.logic.cmdRead_Click(); }),
        std::string("no acknowledge from address 0x0 on 'CP2112 SMBus Bridge' (/dev/i2c-3)") + seen)
        << "the cells start all 0: a frame to the general call address";
    EXPECT_THAT(port_error([&] { p.logic.user_sets_slider(42); }),
                HasSubstr("no acknowledge from address 0x2C on"));
    EXPECT_EQ(p.logic.text(panel::TextBox::sda_data), "") << "no 255 from a device not there";
    adapter.device_present = true;
    p.logic.cmdRead_Click();
    EXPECT_EQ(p.logic.text(panel::TextBox::sda_data), std::to_string(adapter.device->setting()));
  }
}

TEST_F(I2c, AnAdapterUnpluggedInTheMiddleFailsThatActionAndTheNextRecovers) {
  hardware.add_i2c_adapter(3, "CP2112 SMBus Bridge", adapter);
  PanelOn p("i2c:3");
  p.logic.cmdMS_Click();
  adapter.fail_errno = ENODEV;
  EXPECT_EQ(port_error([&] { p.logic.cmdRead_Click(); }),
            "the I2C adapter 'CP2112 SMBus Bridge' (/dev/i2c-3) is gone (No such device): was it "
            "unplugged? The next action opens it again");
  EXPECT_FALSE(p.access->is_open());
  adapter.fail_errno = 0;
  adapter.log.clear();
  p.logic.user_sets_slider(200);
  EXPECT_EQ(adapter.log.count(I2C_FUNCS), 1) << "opened afresh";
  EXPECT_EQ(adapter.log.count(I2C_RDWR), 1) << "the bus clear is the adapter's own business";
  EXPECT_EQ(adapter.device->setting(), 200);
}

TEST_F(I2c, PermissionDeniedSaysWhichGroup) {
  hardware.add_i2c_adapter(3, "CP2112 SMBus Bridge", adapter);
  EXPECT_EQ(error_without_permission(hardware.root() + "/dev/.node/i2c-3",
                                     [] { backends::open_i2c("3"); }),
            "permission denied on /dev/i2c-3: join group i2c (sudo usermod -aG i2c $USER; "
            "Debian's i2c-tools makes the group), then log in again");
}

// --- GPIO --------------------------------------------------------------------------------------

class Gpio : public ::testing::Test {
 protected:
  int line_calls() {
    return chip.log.count(GPIO_V2_LINE_SET_VALUES_IOCTL) +
           chip.log.count(GPIO_V2_LINE_GET_VALUES_IOCTL);
  }
  test::EmulatedHardware hardware;
  test::GpioChipModel chip;
};

// The accesses the port layer passes on, and how many of the line codes move both lines.
struct AccessCount final : port::AccessObserver {
  void on_write(std::int16_t, std::int16_t value, std::optional<bool>) override {
    ++accesses;
    if (frame::scl_of(value) != frame::scl_of(last) &&
        frame::sda_drive_of(value) != frame::sda_drive_of(last)) {
      ++both_moving;
    }
    last = value;
  }
  void on_read(std::int16_t, std::int32_t, std::optional<bool>) override { ++accesses; }
  void on_failure(const std::string&) override {}
  int accesses = 0, both_moving = 0;
  std::int16_t last = 0xF3;
};

// As gpiolib sets open-drain lines, one at a time in the order of the request, the device sees
// exactly one START and one STOP per frame; a code that moves both lines takes two calls, one
// that moves one line takes one.
TEST_F(Gpio, TheSliderRoundTripsEveryCodeWithOneStartAndOneStopPerFrame) {
  hardware.add_gpio_chip(0, chip);
  PanelOn p("gpio:gpiochip0:2,3");
  p.logic.cmdMS_Click();  // opening probes the device: its calls come before the count
  ASSERT_TRUE(p.access->is_open());
  AccessCount count;
  p.access->set_observer(&count);
  for (int step = 1; step <= 256; ++step) {
    const int code = step % 256;  // the slider starts at 0: 1..255, then 0
    const int calls = line_calls(), starts = chip.starts, stops = chip.stops;
    const int accesses = count.accesses, both = count.both_moving;
    p.logic.user_sets_slider(code);
    p.logic.cmdRead_Click();
    // The slider's frame; the Read's frame, then its read transaction.
    ASSERT_EQ(chip.starts - starts, 3) << "code " << code;
    ASSERT_EQ(chip.stops - stops, 3) << "code " << code;
    ASSERT_EQ(line_calls() - calls, count.accesses - accesses + count.both_moving - both)
        << "code " << code;
    ASSERT_EQ(chip.device->setting(), code);
    ASSERT_EQ(p.logic.text(panel::TextBox::sda_data), std::to_string(code));
  }
  EXPECT_GT(count.both_moving, 0) << "the frames move both lines at once somewhere";
  EXPECT_EQ(chip.log.count(GPIO_V2_GET_LINE_IOCTL), 1) << "the lines were taken once";
}

TEST_F(Gpio, ChipsByLabelAndLinesByNameWithASenseLine) {
  hardware.add_gpio_chip(0, chip);
  chip.reads_own_output = true;  // SENSE makes that harmless
  PanelOn p("gpio:pinctrl-bcm2711:GPIO2,GPIO3,GPIO4");
  p.logic.user_sets_slider(77);
  p.logic.cmdRead_Click();
  EXPECT_EQ(chip.device->setting(), 77);
  EXPECT_EQ(p.logic.text(panel::TextBox::sda_data), "77");
  constexpr std::uint64_t kBusLine =
      GPIO_V2_LINE_FLAG_OUTPUT | GPIO_V2_LINE_FLAG_OPEN_DRAIN | GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
  EXPECT_EQ(chip.line_flags, (std::map<unsigned, std::uint64_t>{
                                 {2, kBusLine}, {3, kBusLine}, {4, GPIO_V2_LINE_FLAG_INPUT}}));
}

// The shortest pause between two line calls in a Run, timed where the lines change: from the
// return of one call to the entry of the next, on the emulation's side of the ioctl. Load can only
// lengthen it, so it decides nothing about how fast this machine is.
std::chrono::microseconds shortest_pause_in_a_run(test::GpioChipModel& chip,
                                                  const std::string& min_phase_us) {
  PanelOn p("gpio:gpiochip0:2,3", min_phase_us);
  p.logic.cmdMS_Click();  // opens
  const std::size_t first = chip.line_calls.size();
  p.logic.cmdRun_Click();
  auto shortest = std::chrono::steady_clock::duration::max();
  for (std::size_t i = first + 1; i < chip.line_calls.size(); ++i) {
    shortest = std::min(shortest, chip.line_calls[i].entered - chip.line_calls[i - 1].returned);
  }
  return std::chrono::duration_cast<std::chrono::microseconds>(shortest);
}

TEST_F(Gpio, NoLineLevelLastsShorterThanThePhase) {
  hardware.add_gpio_chip(0, chip);
  constexpr std::chrono::microseconds kPhase{1000};
  EXPECT_GE(shortest_pause_in_a_run(chip, std::to_string(kPhase.count())), kPhase)
      << "both halves of a code that moves both lines included";
  EXPECT_EQ(backends::make_port({"gpio:gpiochip0:2,3", "", ""})->min_phase(),
            backends::kDefaultHardwarePhase)
      << "standard-mode pace unless told otherwise";
}

TEST_F(Gpio, EveryFailureSaysWhatToDo) {
  test::GpioChipModel twin, busy, shorted_sda, shorted_scl, mirror, old_kernel, older_kernel;
  busy.busy_consumer = "i2c-gpio";
  shorted_sda.sda_shorted = true;
  shorted_scl.scl_shorted = true;
  mirror.reads_own_output = true;
  old_kernel.v2_errno = EINVAL;  // gpiolib's gpio_ioctl for a command it does not know
  older_kernel.v2_errno = ENOTTY;
  hardware.add_gpio_chip(0, chip);
  hardware.add_gpio_chip(1, twin);
  hardware.add_gpio_chip(2, busy);
  hardware.add_gpio_chip(3, shorted_sda);
  hardware.add_gpio_chip(4, mirror);
  hardware.add_gpio_chip(5, shorted_scl);
  hardware.add_gpio_chip(6, old_kernel);
  hardware.add_gpio_chip(7, older_kernel);
  struct Case {
    const char* port;
    const char* message;
  };
  for (const auto& [port, message] : {
           Case{"gpio:gpiochip9:2,3", "/dev/gpiochip9 does not exist"},
           Case{"gpio:nonesuch:2,3",
                "no GPIO chip is named \"nonesuch\": the chips are gpiochip0 "
                "'pinctrl-bcm2711', gpiochip1 'pinctrl-bcm2711'"},
           Case{"gpio:gpiochip0:2", "is not CHIP:SDA,SCL[,SENSE]"},
           Case{"gpio:gpiochip0:2,3,4,5", "is not CHIP:SDA,SCL[,SENSE]"},
           Case{"gpio:gpiochip0:2,99",
                "SCL line 99 is not on /dev/gpiochip0, which has lines 0 to 27"},
           Case{"gpio:gpiochip0:2,SCL1", "no line of /dev/gpiochip0 are named \"SCL1\" (for SCL)"},
           Case{"gpio:gpiochip2:2,3", "line 2 of /dev/gpiochip2 is in use by \"i2c-gpio\""},
           Case{"gpio:gpiochip4:2,3",
                "no acknowledge from the VX3071 (address 0x2C) on gpiochip4 ('pinctrl-bcm2711') "
                "lines SDA 2, SCL 3: check the device's power, the wiring and the pull-ups (4.7 "
                "kOhm on SDA and SCL to the device's supply, unless the board has them). If all "
                "that is right, this chip may read back its own output rather than the pin: wire "
                "an input line to SDA and name it as SENSE (gpio:CHIP:SDA,SCL,SENSE)"},
           Case{"gpio:gpiochip3:2,3",
                "SDA is held low on gpiochip3 ('pinctrl-bcm2711') lines SDA 2, SCL 3 with both "
                "lines released, also after nine clocks: fit a 4.7 kOhm pull-up"},
           Case{"gpio:gpiochip5:2,3",
                "SCL is held low on gpiochip5 ('pinctrl-bcm2711') lines SDA 2, SCL 3 with both "
                "lines released: fit a 4.7 kOhm pull-up to the device's supply unless the board "
                "has one, and look for a short to ground"},
           Case{"gpio:gpiochip6:2,3", "GPIO lines need Linux 5.10 or later"},
           Case{"gpio:gpiochip7:2,3", "GPIO lines need Linux 5.10 or later"},
       }) {
    PanelOn p(port);
    EXPECT_THAT(port_error([&] { p.logic.cmdMS_Click(); }), HasSubstr(message)) << port;
    EXPECT_FALSE(p.access->is_open()) << port;
  }
  PanelOn labelled("gpio:pinctrl-bcm2711:2,3");
  EXPECT_THAT(port_error([&] { labelled.logic.cmdMS_Click(); }),
              HasSubstr("several GPIO chips are labelled"));
}

// A device left mid-byte, holding SDA low, lets go within the nine clocks of the bus clear that
// the line test runs; then the opening goes on.
TEST_F(Gpio, ADeviceStuckMidByteIsClockedFreeAtOpening) {
  hardware.add_gpio_chip(0, chip);
  sim::Device& device = *chip.device;
  device.set_lines(true, false);        // START
  for (int bit = 7; bit >= 0; --bit) {  // the write address, then the acknowledge slot
    const bool one = (frame::kWriteAddressByte >> bit & 1) != 0;
    device.set_lines(false, one);
    device.set_lines(true, one);
  }
  device.set_lines(false, true);
  ASSERT_FALSE(device.sda()) << "the device acknowledges, holding SDA low";
  PanelOn p("gpio:gpiochip0:2,3");
  p.logic.user_sets_slider(42);
  EXPECT_EQ(device.setting(), 42);
}

// A failed opening keeps nothing: the lines it took are given back, so the next one can take them.
TEST_F(Gpio, AFailedProbeGivesTheLinesBack) {
  hardware.add_gpio_chip(0, chip);
  chip.device_present = false;
  PanelOn p("gpio:gpiochip0:2,3");
  EXPECT_THAT(port_error([&] { p.logic.cmdMS_Click(); }), HasSubstr("no acknowledge"));
  chip.device_present = true;
  p.logic.user_sets_slider(9);
  EXPECT_EQ(chip.device->setting(), 9);
}

TEST_F(Gpio, AChipUnpluggedInTheMiddleFailsThatActionAndTheNextRecovers) {
  hardware.add_gpio_chip(0, chip);
  PanelOn p("gpio:gpiochip0:2,3");
  p.logic.cmdFS_Click();
  chip.unplug_in = 70;  // inside the read transaction
  EXPECT_EQ(port_error([&] { p.logic.cmdRead_Click(); }),
            "the GPIO chip of gpiochip0 ('pinctrl-bcm2711') lines SDA 2, SCL 3 is gone (No such "
            "device): was it unplugged? The next action opens it again");
  chip.fail_errno = 0;
  p.logic.user_sets_slider(31);
  EXPECT_EQ(chip.device->setting(), 31);
  p.logic.cmdRead_Click();
  EXPECT_EQ(p.logic.text(panel::TextBox::sda_data), "31");
}

TEST_F(Gpio, PermissionDeniedPointsToTheRule) {
  hardware.add_gpio_chip(0, chip);
  EXPECT_THAT(error_without_permission(
                  hardware.root() + "/dev/.node/gpiochip0",
                  [] { backends::open_gpio("gpiochip0:2,3", backends::kDefaultHardwarePhase); }),
              HasSubstr("permission denied on /dev/gpiochip0: Debian gives GPIO chips to root "
                        "only; install the udev rule from the README"));
}

// --- vx3071 check and scan on each emulation -------------------------------------------------

struct Checked {
  int status;
  std::vector<std::string> lines;
};

// `vx3071 check` (or other arguments) on `port`, paced at 0 so that it runs at the emulation's own
// pace; the result of each step as its first two words, "presence FAIL".
Checked vx3071_on(const std::string& port, const std::vector<std::string>& args = {"check"}) {
  std::istringstream in;
  std::ostringstream out, err;
  const int status = cli::run(args, {in, out, err, false}, {port, "", "0"});
  Checked checked{status, {}};
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) checked.lines.push_back(line);
  return checked;
}

// The step named `name` of a check's output, whole, or empty.
std::string step(const Checked& checked, const std::string& name) {
  for (const std::string& line : checked.lines) {
    if (line.rfind(name + " ", 0) == 0) return line;
  }
  return "";
}

TEST_F(Gpio, CheckTellsAPresentDeviceAMissingOneAndLinesHeldLow) {
  test::GpioChipModel absent, short_sda, short_scl;
  absent.device_present = false;
  short_sda.sda_shorted = true;
  short_scl.scl_shorted = true;
  hardware.add_gpio_chip(0, chip);
  hardware.add_gpio_chip(1, absent);
  hardware.add_gpio_chip(2, short_sda);
  hardware.add_gpio_chip(3, short_scl);

  const Checked present = vx3071_on("gpio:gpiochip0:2,3");
  EXPECT_EQ(present.status, cli::kOk);
  EXPECT_EQ(step(present, "lines"),
            "lines     ok    SCL and SDA read high with both lines released");
  EXPECT_EQ(step(present, "presence"), "presence  ok    the VX3071 acknowledges its address 0x2C");
  EXPECT_THAT(step(present, "read-back"), HasSubstr("ok    read 128 twice"));

  struct Case {
    const char* port;
    int status;
    const char* port_step;
  };
  for (const auto& [port, status, port_step] : {
           Case{"gpio:gpiochip1:2,3", cli::kVerifyMismatch,
                "port      FAIL  no acknowledge from the VX3071 (address 0x2C)"},
           Case{"gpio:gpiochip2:2,3", cli::kPortError, "port      FAIL  SDA is held low on"},
           Case{"gpio:gpiochip3:2,3", cli::kPortError, "port      FAIL  SCL is held low on"},
       }) {
    const Checked failed = vx3071_on(port);
    EXPECT_EQ(failed.status, status) << port;
    ASSERT_EQ(failed.lines.size(), 5u) << port;
    EXPECT_THAT(failed.lines[0], ::testing::StartsWith(port_step));
    EXPECT_EQ(failed.lines[2], "presence  skip  the port could not be used") << port;
  }
  EXPECT_EQ(vx3071_on("gpio:gpiochip0:2,3", {"scan"}).lines,
            std::vector<std::string>{"0x2c  VX3071"});
}

TEST_F(I2c, CheckAndScanAskAsI2cdetectDoes) {
  test::I2cAdapterModel absent, quirky;
  absent.device_present = false;
  quirky.no_zero_length = true;
  hardware.add_i2c_adapter(3, "CP2112 SMBus Bridge", adapter);
  hardware.add_i2c_adapter(4, "CP2112 SMBus Bridge 2", absent);
  hardware.add_i2c_adapter(5, "MCP2221 usb-i2c bridge", quirky);

  const Checked present = vx3071_on("i2c:3");
  EXPECT_EQ(present.status, cli::kOk);
  EXPECT_EQ(step(present, "lines"),
            "lines     skip  the adapter keeps its own lines: they cannot be read here");
  EXPECT_EQ(step(present, "presence"), "presence  ok    the VX3071 acknowledges its address 0x2C");
  ASSERT_FALSE(adapter.messages.empty());
  EXPECT_EQ(adapter.messages.front(), "W 2C 0") << "a quick write, as i2cdetect's default";

  const Checked missing = vx3071_on("i2c:4");
  EXPECT_EQ(missing.status, cli::kVerifyMismatch);
  EXPECT_EQ(step(missing, "presence"),
            "presence  FAIL  no acknowledge at 0x2C; nothing answers on this bus: check the "
            "power, the pull-ups and the wiring");

  EXPECT_EQ(vx3071_on("i2c:5").status, cli::kOk) << "a bridge that takes no zero-length write";
  ASSERT_FALSE(quirky.messages.empty()) << "nothing was asked";
  EXPECT_EQ(quirky.messages.front(), "R 2C 1") << "asked with a one-byte read instead";

  adapter.messages.clear();
  EXPECT_EQ(vx3071_on("i2c:3", {"scan"}).lines, std::vector<std::string>{"0x2c  VX3071"});
  ASSERT_EQ(adapter.messages.size(), 0x77u - 0x08u + 1);
  EXPECT_EQ(adapter.messages[0x30 - 0x08], "R 30 1") << "0x30-0x37 read, as i2cdetect";
  EXPECT_EQ(adapter.messages[0x50 - 0x08], "R 50 1") << "0x50-0x5F read, as i2cdetect";
  EXPECT_EQ(adapter.messages[0x2C - 0x08], "W 2C 0");
}

// --- vx3071 ports ----------------------------------------------------------------------------

std::string run_cli(const std::vector<std::string>& args) {
  std::istringstream in;
  std::ostringstream out, err;
  EXPECT_EQ(cli::run(args, {in, out, err, false}), cli::kOk) << err.str();
  return out.str();
}

TEST(Ports, ListsTheEmulatedAdapterAndChipWithTheirPortValues) {
  test::EmulatedHardware hardware;
  test::I2cAdapterModel adapter, smbus;
  test::GpioChipModel chip;
  smbus.functions = 0x00080000;
  hardware.add_i2c_adapter(3, "CP2112 SMBus Bridge", adapter);
  hardware.add_i2c_adapter(6, "SMBus PIIX4 adapter", smbus);
  hardware.add_gpio_chip(0, chip);
  const std::string text = run_cli({"ports"});
  EXPECT_THAT(
      text, HasSubstr("i2c:3                   I2C adapter 3 'CP2112 SMBus Bridge', plain I2C\n"));
  EXPECT_THAT(text,
              HasSubstr("i2c:6                   I2C adapter 6 'SMBus PIIX4 adapter': it does "
                        "SMBus only"));
  EXPECT_THAT(
      text, HasSubstr("gpio:gpiochip0:SDA,SCL  GPIO chip gpiochip0 'pinctrl-bcm2711', 28 lines\n"));
  EXPECT_EQ(adapter.log.count(I2C_RDWR), 0) << "listing touches no bus";

  const std::string json = run_cli({"--json", "ports"});
  EXPECT_THAT(json,
              HasSubstr("{\"command\":\"ports\",\"port\":\"i2c:3\",\"kind\":\"i2c\",\"device\":"
                        "\"/dev/i2c-3\",\"description\":\"I2C adapter 3 'CP2112 SMBus "
                        "Bridge'\",\"usable\":true,\"plain_i2c\":true}\n"));
  EXPECT_THAT(json, HasSubstr("\"port\":\"gpio:gpiochip0:SDA,SCL\",\"kind\":\"gpio\""));
}

TEST(Ports, WithNothingFoundSaysWhereItLookedAndWhatToLoad) {
  test::EmulatedHardware nothing;
  if (std::filesystem::exists("/proc/sys/dev/parport")) {
    GTEST_SKIP() << "this machine has parallel-port support loaded";
  }
  EXPECT_EQ(run_cli({"ports"}), std::string("no ports found: ") + backends::kWhereWeLook + "\n");
}

}  // namespace
}  // namespace vx

int main(int argc, char** argv) {
  vx::test::run_under_umockdev(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
