// The I2C and GPIO back ends through their real open and ioctl calls, against device nodes that
// umockdev emulates, with the simulated VX3071 answering behind them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/gpio.h>
#include <linux/i2c-dev.h>
#include <linux/usb/tmc.h>
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
#include "meter/resource.h"
#include "meter/scpi.h"
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

// Bridges name their adapter after a hidraw node, which changes on re-plugging: the start of a
// name finds the one adapter it begins, and one that begins several is refused with them listed.
TEST_F(I2c, AnAdapterIsFoundByItsNameOrTheStartOfIt) {
  test::I2cAdapterModel other, second, third;
  hardware.add_i2c_adapter(1, "SMBus I801 adapter at f040", other);
  hardware.add_i2c_adapter(3, "CP2112 SMBus Bridge on hidraw0", adapter);
  for (const char* choice :
       {"i2c:CP2112 SMBus Bridge on hidraw0", "i2c:CP2112 SMBus Bridge", "i2c:CP2112"}) {
    PanelOn p(choice);
    p.logic.user_sets_slider(99);
    EXPECT_EQ(adapter.device->setting(), 99) << choice;
    p.logic.cmdZS_Click();
  }
  EXPECT_EQ(other.log.count(I2C_RDWR), 0);

  hardware.add_i2c_adapter(4, "CP2112 SMBus Bridge on hidraw1", second);
  hardware.add_i2c_adapter(5, "CP2112 SMBus Bridge on hidraw10", third);
  PanelOn ambiguous("i2c:CP2112 SMBus Bridge");
  EXPECT_EQ(port_error([&] { ambiguous.logic.cmdMS_Click(); }),
            "several I2C adapters are named \"CP2112 SMBus Bridge\": they are 3 'CP2112 SMBus "
            "Bridge on hidraw0', 4 'CP2112 SMBus Bridge on hidraw1', 5 'CP2112 SMBus Bridge on "
            "hidraw10'; name one by more of its name or by number (VX3071_PORT=i2c:N)");
  PanelOn exact("i2c:CP2112 SMBus Bridge on hidraw1");
  exact.logic.user_sets_slider(7);
  EXPECT_EQ(second.device->setting(), 7) << "a whole name wins over the names it begins";
  EXPECT_EQ(third.log.count(I2C_RDWR), 0);
}

// Each failure, with the message a person needs; the panel lives on and the next action works.
TEST_F(I2c, EveryFailureSaysWhatToDo) {
  test::I2cAdapterModel twin, smbus_only;
  hardware.add_i2c_adapter(3, "CP2112 SMBus Bridge", adapter);
  hardware.add_i2c_adapter(4, "MCP2221 usb-i2c bridge", twin);
  hardware.add_i2c_adapter(5, "MCP2221 usb-i2c bridge", smbus_only);
  smbus_only.functions = I2C_FUNC_SMBUS_READ_BYTE_DATA;  // and nothing that carries a frame
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
           // A name matches by its start only: "SMBus Bridge" is inside one name, at no start.
           Case{"i2c:SMBus Bridge", "no I2C adapter is named \"SMBus Bridge\""},
           Case{"i2c:6",
                "'SMBus PIIX4 adapter' (/dev/i2c-6) does only SMBus transfers, and neither SMBus "
                "Write Byte Data nor Receive Byte"},
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

// A weak pull-up: SCL takes 50 ms to rise once released. At the default phase the line test tells
// it; at a phase longer than the rise the lines pass, each read a phase after the change before it,
// as test_bus() waits.
TEST_F(Gpio, ASlowRisingSclIsToldAndAPhaseLongerThanItsRiseLetsItPass) {
  chip.scl_rise = std::chrono::milliseconds(50);
  hardware.add_gpio_chip(0, chip);
  EXPECT_THAT(port_error([] {
                backends::make_port({"gpio:gpiochip0:2,3", "", ""})->port();
              }),
              HasSubstr("SCL stays low once released: fit a 4.7 kOhm pull-up"));
  EXPECT_NO_THROW(backends::make_port({"gpio:gpiochip0:2,3", "", "60000"})->port());
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
  test::GpioChipModel twin, busy, shorted_sda, bridged, shorted_scl, old_kernel, older_kernel,
      scl_to_supply, sda_open;
  busy.busy_consumer = "i2c-gpio";
  shorted_sda.sda_shorted = true;
  shorted_scl.scl_shorted = true;
  bridged.bridged = true;
  old_kernel.v2_errno = EINVAL;  // gpiolib's gpio_ioctl for a command it does not know
  older_kernel.v2_errno = ENOTTY;
  scl_to_supply.scl_to_supply = true;
  sda_open.sda_open = true;
  hardware.add_gpio_chip(0, chip);
  hardware.add_gpio_chip(1, twin);
  hardware.add_gpio_chip(2, busy);
  hardware.add_gpio_chip(3, shorted_sda);
  hardware.add_gpio_chip(4, bridged);
  hardware.add_gpio_chip(5, shorted_scl);
  hardware.add_gpio_chip(6, old_kernel);
  hardware.add_gpio_chip(7, older_kernel);
  hardware.add_gpio_chip(8, scl_to_supply);
  hardware.add_gpio_chip(10, sda_open);
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
           Case{"gpio:gpiochip3:2,3",
                "gpiochip3 ('pinctrl-bcm2711') lines SDA 2, SCL 3: SDA is held low with both "
                "lines released, also after nine clocks: fit a 4.7 kOhm pull-up"},
           Case{"gpio:gpiochip5:2,3",
                "gpiochip5 ('pinctrl-bcm2711') lines SDA 2, SCL 3: SCL is held low with both "
                "lines released: fit a 4.7 kOhm pull-up to the device's supply unless the board "
                "has one, and look for a short to ground or an open SCL line"},
           Case{"gpio:gpiochip4:2,3",
                "gpiochip4 ('pinctrl-bcm2711') lines SDA 2, SCL 3: SCL reads low while only SDA "
                "is pulled low: SDA and SCL are bridged"},
           Case{"gpio:gpiochip8:2,3",
                "gpiochip8 ('pinctrl-bcm2711') lines SDA 2, SCL 3: SCL reads high while pulled "
                "low: an open SCL line, or SCL shorted to the supply"},
           Case{"gpio:gpiochip10:2,3,4",
                "gpiochip10 ('pinctrl-bcm2711') lines SDA 2, SCL 3, SENSE 4: SDA reads high while "
                "pulled low: the drive does not reach the line that is read"},
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
// --- Pins muxed to another function, as a Raspberry Pi's device tree and pin controller show it --

// Device-tree property values as /sys/firmware/devicetree/base holds them: cells big-endian,
// strings each ending in NUL.
std::string dt_cells(std::initializer_list<std::uint32_t> words) {
  std::string bytes;
  for (std::uint32_t word : words) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>(word >> shift & 0xFF);
  }
  return bytes;
}
std::string dt_strings(std::initializer_list<const char*> items) {
  std::string bytes;
  for (const char* item : items) bytes += std::string(item) + '\0';
  return bytes;
}

struct Board {
  const char* name;
  int chip;               // its header's GPIO chip, /dev/gpiochipN
  const char* device;     // that chip's device in /sys/devices
  const char* gpio;       // the pin controller's node, which is the GPIO chip's
  const char* i2c;        // the node of the I2C controller on GPIO 2 and 3
  const char* i2c_group;  // its pin group, a child of the pin controller's node
  bool generic;           // `pins` = "gpioN" (the RP1) rather than `brcm,pins`
};

// The layouts of the Raspberry Pi kernel's device trees: the Pi 4's bcm2711.dtsi with
// bcm2711-rpi-4-b.dts (i2c1 on GPIO 2 and 3 as `brcm,pins`, the binding in
// Documentation/devicetree/bindings/pinctrl/brcm,bcm2835-gpio.txt), the Pi 5's rp1.dtsi with
// bcm2712-rpi-5-b.dts (rp1_i2c1_2_3 as `pins`, pinctrl-bindings.txt's generic form; UART pins in
// subnodes), each with the labels dtparam sets in __symbols__ and the i2cN aliases.
void lay_out(test::EmulatedHardware& hw, const Board& board, bool i2c_arm_on) {
  const std::string base = "/sys/firmware/devicetree/base";
  const std::string gpio = base + board.gpio, i2c = base + board.i2c;
  const std::string group = gpio + "/" + board.i2c_group;
  hw.add_file(gpio + "/phandle", dt_cells({0x07}));
  hw.add_file(group + "/phandle", dt_cells({0x15}));
  if (board.generic) {
    hw.add_file(group + "/function", dt_strings({"i2c1"}));
    hw.add_file(group + "/pins", dt_strings({"gpio2", "gpio3"}));
    // A UART's pins in subnodes, enabled.
    const std::string uart = gpio + "/rp1_uart0_14_15";
    hw.add_file(uart + "/phandle", dt_cells({0x16}));
    hw.add_file(uart + "/pin_txd/pins", dt_strings({"gpio14"}));
    hw.add_file(uart + "/pin_rxd/pins", dt_strings({"gpio15"}));
    const std::string serial = base + "/axi/pcie@120000/rp1/serial@30000";
    hw.add_file(serial + "/status", dt_strings({"okay"}));
    hw.add_file(serial + "/pinctrl-0", dt_cells({0x16}));
    hw.add_file(base + "/__symbols__/uart0", dt_strings({"/axi/pcie@120000/rp1/serial@30000"}));
  } else {
    hw.add_file(group + "/brcm,pins", dt_cells({2, 3}));
    hw.add_file(group + "/brcm,function", dt_cells({4}));
    // SPI0, disabled as it is by default, on GPIO 7 to 11.
    hw.add_file(gpio + "/spi0_pins/phandle", dt_cells({0x16}));
    hw.add_file(gpio + "/spi0_pins/brcm,pins", dt_cells({9, 10, 11}));
    hw.add_file(base + "/soc/spi@7e204000/status", dt_strings({"disabled"}));
    hw.add_file(base + "/soc/spi@7e204000/pinctrl-0", dt_cells({0x16}));
  }
  hw.add_file(i2c + "/status", dt_strings({i2c_arm_on ? "okay" : "disabled"}));
  hw.add_file(i2c + "/pinctrl-names", dt_strings({"default"}));
  hw.add_file(i2c + "/pinctrl-0", dt_cells({0x15}));
  hw.add_file(base + "/__symbols__/i2c_arm", dt_strings({board.i2c}));
  hw.add_file(base + "/aliases/i2c1", dt_strings({board.i2c}));
  // sysfs: the chip on the gpio bus, its device's of_node pointing into the tree.
  const std::string chip = "gpiochip" + std::to_string(board.chip);
  const std::string device = std::string("/sys/devices/") + board.device;
  hw.add_link(device + "/of_node", gpio);
  hw.add_link(device + "/" + chip + "/of_node", gpio);
  hw.add_link("/sys/bus/gpio/devices/" + chip, device + "/" + chip);
}

constexpr Board kPi4{
    "Pi 4", 0,    "platform/soc/fe200000.gpio", "/soc/gpio@7e200000", "/soc/i2c@7e804000",
    "i2c1", false};
constexpr Board kPi5{"Pi 5",
                     4,
                     "platform/axi/1000120000.pcie/pci0000:00/0000:00:00.0/0000:01:00.0/"
                     "1f000d0000.gpio",
                     "/axi/pcie@120000/rp1/gpio@d0000",
                     "/axi/pcie@120000/rp1/i2c@74000",
                     "rp1_i2c1_2_3",
                     true};

// GPIO 2 and 3 are the header's SDA and SCL: with i2c_arm on, the I2C controller holds them
// through the pin mux, which the GPIO character device neither flags nor refuses, so opening
// must refuse them itself, before the request, and say what to do instead.
TEST_F(Gpio, PinsMuxedToAnotherFunctionAreRefusedBeforeTheyAreRequested) {
  for (const Board& board : {kPi4, kPi5}) {
    for (const bool on : {true, false}) {
      SCOPED_TRACE(testing::Message() << board.name << ", i2c_arm " << (on ? "on" : "off"));
      test::EmulatedHardware bench;
      test::GpioChipModel pins;
      bench.add_gpio_chip(board.chip, pins);
      lay_out(bench, board, on);
      const std::string port = "gpio:gpiochip" + std::to_string(board.chip) + ":2,3";
      PanelOn p(port);
      if (on) {
        EXPECT_EQ(port_error([&] { p.logic.cmdMS_Click(); }),
                  std::string("GPIO 2 and 3 carry the I2C controller ") +
                      std::filesystem::path(board.i2c).filename().string() +
                      " (dtparam=i2c_arm=on): use i2c:1, or turn i2c_arm off");
        EXPECT_EQ(pins.log.count(GPIO_V2_GET_LINE_IOCTL), 0) << "refused before the request";
      } else {
        p.logic.user_sets_slider(99);
        EXPECT_EQ(pins.device->setting(), 99);
      }
    }
  }
  // One pin of a group is enough; a group in subnodes (the Pi 5's UART) counts; a disabled node
  // (the Pi 4's SPI) holds nothing, a node whose status is "ok" (of_device_is_available in
  // drivers/of/base.c takes "okay" and "ok") holds its pins; and a group of another pin
  // controller (the Pi 5's SoC has its own beside the RP1's, each numbering its pins from 0)
  // holds none of this chip's lines, whatever its numbers.
  const auto spi_ok = [](test::EmulatedHardware& hw) {
    hw.add_file("/sys/firmware/devicetree/base/soc/spi@7e204000/status", dt_strings({"ok"}));
  };
  const auto other_controller = [](test::EmulatedHardware& hw) {
    const std::string base = "/sys/firmware/devicetree/base";
    hw.add_file(base + "/soc/pinctrl@7d504100/spi10_gpio9/phandle", dt_cells({0x17}));
    hw.add_file(base + "/soc/pinctrl@7d504100/spi10_gpio9/pins", dt_strings({"gpio9", "gpio10"}));
    hw.add_file(base + "/soc/spi@7d004000/status", dt_strings({"okay"}));
    hw.add_file(base + "/soc/spi@7d004000/pinctrl-0", dt_cells({0x17}));
  };
  struct Case {
    const Board& board;
    const char* lines;
    const char* refusal;  // empty: allowed
    std::function<void(test::EmulatedHardware&)> more = {};
  };
  for (const auto& [board, lines, refusal, more] : {
           Case{kPi5, "15,16",
                "GPIO 15 carries the UART serial@30000 (dtparam=uart0=on): turn uart0 off"},
           Case{kPi4, "3,4", "GPIO 3 carries the I2C controller i2c@7e804000"},
           Case{kPi4, "9,10", ""},
           Case{kPi4, "9,10", "GPIO 9 and 10 carry the SPI controller spi@7e204000", spi_ok},
           Case{kPi5, "9,10", "", other_controller},
       }) {
    SCOPED_TRACE(lines);
    test::EmulatedHardware bench;
    test::GpioChipModel pins;
    pins.sda = 9;
    pins.scl = 10;
    bench.add_gpio_chip(board.chip, pins);
    lay_out(bench, board, true);
    if (more) more(bench);
    PanelOn p("gpio:gpiochip" + std::to_string(board.chip) + ":" + lines);
    if (*refusal) {
      EXPECT_THAT(port_error([&] { p.logic.cmdMS_Click(); }), ::testing::StartsWith(refusal));
    } else {
      p.logic.user_sets_slider(42);
      EXPECT_EQ(pins.device->setting(), 42);
    }
  }
}

// Where the device tree says nothing (an overlay's device, a driver bound by hand), the pin
// controller's debugfs pinmux-pins still names the mux owner, where it can be read.
TEST_F(Gpio, AMuxOwnerInPinmuxPinsIsRefusedToo) {
  hardware.add_gpio_chip(0, chip);
  lay_out(hardware, kPi4, false);
  // As pinmux_pins_show writes it for a controller that is not strict (drivers/pinctrl/pinmux.c),
  // in the folder pinctrl_init_device_debugfs names after the device and the controller.
  hardware.add_file("/sys/kernel/debug/pinctrl/fe200000.gpio-pinctrl-bcm2711/pinmux-pins",
                    "Pinmux settings per pin\n"
                    "Format: pin (name): mux_owner gpio_owner hog?\n"
                    "pin 0 (gpio0): (MUX UNCLAIMED) (GPIO UNCLAIMED)\n"
                    "pin 1 (gpio1): (MUX UNCLAIMED) (GPIO UNCLAIMED)\n"
                    "pin 2 (gpio2): fe804000.i2c (GPIO UNCLAIMED) function alt0 group gpio2\n"
                    "pin 3 (gpio3): fe804000.i2c (GPIO UNCLAIMED) function alt0 group gpio3\n"
                    "pin 4 (gpio4): (MUX UNCLAIMED) pinctrl-bcm2711:4\n");
  PanelOn p("gpio:gpiochip0:2,3");
  EXPECT_EQ(port_error([&] { p.logic.cmdMS_Click(); }),
            "GPIO 2 and 3 carry the I2C controller fe804000.i2c (the pin controller's "
            "pinmux-pins): disable it (an overlay, or unbind its driver), or pick other lines");
  EXPECT_EQ(chip.log.count(GPIO_V2_GET_LINE_IOCTL), 0);
  PanelOn free_lines("gpio:gpiochip0:4,5");
  chip.sda = 4;
  chip.scl = 5;
  free_lines.logic.user_sets_slider(3);
  EXPECT_EQ(chip.device->setting(), 3) << "a GPIO owner is not another function";
}

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
TEST_F(Gpio, AFailedOpeningGivesTheLinesBack) {
  hardware.add_gpio_chip(0, chip);
  chip.bridged = true;
  PanelOn p("gpio:gpiochip0:2,3");
  EXPECT_THAT(port_error([&] { p.logic.cmdMS_Click(); }), HasSubstr("bridged"));
  chip.bridged = false;
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

// Opening asks no device, so bring-up runs on a board whose device is missing or strapped
// elsewhere, as on every other back end; a line fault stops it at the port.
TEST_F(Gpio, CheckAndScanTellAPresentDeviceAMissingOneOneElsewhereAndLinesHeldLow) {
  test::GpioChipModel absent, elsewhere, short_sda, short_scl;
  absent.device_present = false;
  elsewhere.device = std::make_shared<sim::Device>(0x2D);
  short_sda.sda_shorted = true;
  short_scl.scl_shorted = true;
  hardware.add_gpio_chip(0, chip);
  hardware.add_gpio_chip(1, absent);
  hardware.add_gpio_chip(2, short_sda);
  hardware.add_gpio_chip(3, short_scl);
  hardware.add_gpio_chip(4, elsewhere);

  const Checked present = vx3071_on("gpio:gpiochip0:2,3");
  EXPECT_EQ(present.status, cli::kOk);
  EXPECT_EQ(step(present, "lines"),
            "lines     ok    SCL and SDA read high with both lines released, and each reads low "
            "only while pulled low");
  EXPECT_EQ(step(present, "presence"), "presence  ok    the VX3071 acknowledges its address 0x2C");
  EXPECT_THAT(step(present, "read-back"), HasSubstr("ok    read 128 twice"));
  const Checked scanned = vx3071_on("gpio:gpiochip0:2,3", {"scan"});
  EXPECT_EQ(scanned.lines, std::vector<std::string>{"0x2c  VX3071"});
  EXPECT_EQ(scanned.status, cli::kOk);

  struct Missing {
    const char* port;
    const char* presence;
    std::vector<std::string> scan;
  };
  for (const auto& [port, presence, scan] : {
           Missing{"gpio:gpiochip1:2,3",
                   "presence  FAIL  no acknowledge at 0x2C; nothing answers on this bus: check "
                   "the power, the pull-ups and the wiring",
                   {}},
           Missing{"gpio:gpiochip4:2,3",
                   "presence  FAIL  no acknowledge at 0x2C; a device answers at 0x2D: is the "
                   "board strapped to another address?",
                   {"0x2d"}},
       }) {
    const Checked checked = vx3071_on(port);
    EXPECT_EQ(checked.status, cli::kVerifyMismatch) << port;
    EXPECT_EQ(step(checked, "port"), "port      ok    opened") << port;
    EXPECT_EQ(step(checked, "presence"), presence) << port;
    const Checked listed = vx3071_on(port, {"scan"});
    EXPECT_EQ(listed.lines, scan) << port;
    EXPECT_EQ(listed.status, cli::kVerifyMismatch) << port << ": the VX3071 is missing";
  }

  struct Case {
    const char* port;
    const char* port_step;
  };
  for (const auto& [port, port_step] : {
           Case{"gpio:gpiochip2:2,3",
                "port      FAIL  gpiochip2 ('pinctrl-bcm2711') lines SDA 2, "
                "SCL 3: SDA is held low"},
           Case{"gpio:gpiochip3:2,3",
                "port      FAIL  gpiochip3 ('pinctrl-bcm2711') lines SDA 2, "
                "SCL 3: SCL is held low"},
       }) {
    const Checked failed = vx3071_on(port);
    EXPECT_EQ(failed.status, cli::kPortError) << port;
    ASSERT_EQ(failed.lines.size(), 5u) << port;
    EXPECT_THAT(failed.lines[0], ::testing::StartsWith(port_step));
    EXPECT_EQ(failed.lines[2], "presence  skip  the port could not be used") << port;
  }
}

// An SMBus-only controller carries the write frame as Write Byte Data and the Read as Receive
// Byte, the same bytes on the bus; a frame no command carries is refused with what it carries.
TEST_F(I2c, AnSmbusOnlyAdapterCarriesTheFramesAsSmbusCommands) {
  test::like_i801(adapter);
  hardware.add_i2c_adapter(1, "SMBus I801 adapter at f040", adapter);
  {
    PanelOn p("i2c:1");
    round_trip_every_code(
        p, [&] { return adapter.log.count(I2C_SMBUS); }, [&] { return adapter.device->setting(); },
        1, 1);
    EXPECT_EQ(adapter.log.count(I2C_RDWR), 0);
    EXPECT_EQ(adapter.log.count(I2C_SLAVE), 1) << "the address set once, not per frame";
    EXPECT_EQ(adapter.messages[0], "W 2C 2") << "address, command 0x00, the code";
    EXPECT_EQ(adapter.messages[2], "R 2C 1") << "a Read: its cells' frame, then the read";
  }
  const Checked verified = vx3071_on("i2c:1", {"write", "77", "--verify"});
  EXPECT_EQ(verified.status, cli::kOk);
  EXPECT_EQ(adapter.device->setting(), 77);

  // A read of two bytes: no SMBus command carries it.
  port::PortAccess access([] { return backends::open_i2c("1"); });
  bus::LineDriver driver(access);
  EXPECT_EQ(port_error([&] {
              bus::Read_Write_Bits_to_Parallel_Port(driver,
                                                    (frame::kFixedAddressBits | 1 << 19) + 2 * 7);
            }),
            "'SMBus I801 adapter at f040' (/dev/i2c-1) does SMBus only and cannot send a read of 2 "
            "bytes to 0x2C; frames go as SMBus commands: a write of 2 bytes as Write Byte Data, "
            "of 1 as Send Byte, of 3 as Write Word Data, of none as Quick, a read of 1 byte as "
            "Receive Byte");

  // Three bytes after the address, bit-banged as a raw frame: Write Word Data, whose word the bus
  // carries low byte first (SMBus 3.0, 6.5.4), so the bytes arrive in the order they were sent
  // and the device takes the first after the command as its setting.
  {
    port::PortAccess raw([] { return backends::open_i2c("1"); });
    bus::LineDriver lines(raw);
    const auto code = [](std::string_view text) { return bus::hex_text_to_int16(text); };
    {
      bus::Transaction frame(lines);
      lines.Write_Line_Code(code(bus::kSclHighSdaHigh));
      lines.Write_Line_Code(code(bus::kSclHighSdaLow));  // START
      for (const std::uint8_t byte :
           {std::uint8_t{0x58}, std::uint8_t{0x00}, std::uint8_t{0x34}, std::uint8_t{0x12}}) {
        for (int bit = 7; bit >= 0; --bit) lines.send_bit((byte >> bit & 1) != 0);
        lines.send_bit(true);  // the acknowledge slot, SDA released
      }
      lines.Write_Line_Code(code(bus::kSclLowSdaLow));
      lines.Write_Line_Code(code(bus::kSclHighSdaLow));
      lines.Write_Line_Code(code(bus::kSclHighSdaHigh));  // STOP
    }
    EXPECT_EQ(adapter.messages.back(), "W 2C 3");
    EXPECT_EQ(adapter.device->setting(), 0x34) << "the word's bytes swapped on the bus";
  }

  adapter.bound = {0x2C};  // a kernel driver bound there: i2cdetect's UU
  EXPECT_EQ(port_error([&] {
              PanelOn p("i2c:1");
              p.logic.user_sets_slider(5);
            }),
            "address 0x2C on 'SMBus I801 adapter at f040' (/dev/i2c-1) is held by a kernel driver "
            "(i2cdetect shows it as UU): unbind that driver first");
}

// check and scan on adapters as their drivers behave, with the device at its own address and at
// 0x50, where i2cdetect asks with a read: each probe as i2cdetect chooses it from I2C_FUNCS, and
// a refused write of no data never taken for a failed port.
TEST_F(I2c, CheckAndScanFindTheDeviceOnEveryKindOfAdapter) {
  struct Case {
    const char* name;  // as the kernel's driver names the adapter
    void (*like)(test::I2cAdapterModel&);
    const char* probe_at_2c;  // the first message on the bus, which asks 0x2C
  };
  for (const auto& [name, like, probe_at_2c] : {
           Case{"i2c-gpio1", [](test::I2cAdapterModel&) {}, "W 2C 0"},
           Case{"FT260 usb-i2c bridge on hidraw1", test::like_ft260, "R 2C 1"},
           // 6.1's FT260 and MCP2221 carry the quick write as a write of the command byte.
           Case{"FT260 usb-i2c bridge on hidraw3", test::like_ft260_6_1, "W 2C 1"},
           Case{"MCP2221 usb-i2c bridge on hidraw0", test::like_mcp2221, "W 2C 1"},
           Case{"CP2112 SMBus Bridge on hidraw0", test::like_cp2112, "R 2C 1"},
           Case{"MediaTek I2C adapter", test::with_no_zero_length_quirk, "R 2C 1"},
           Case{"SMBus I801 adapter at f040", test::like_i801, "W 2C 0"},
           // A driver that offers the quick write and still refuses a message without data with
           // EINVAL: what it offers changes between kernel versions, the refusal must be read
           // either way.
           Case{"FT260 usb-i2c bridge on hidraw2",
                [](test::I2cAdapterModel& model) {
                  test::like_ft260(model);
                  model.functions |= I2C_FUNC_SMBUS_QUICK;
                },
                "R 2C 1"},  // after the refused write, which never reaches the bus
       }) {
    for (const int address : {0x2C, 0x50}) {
      SCOPED_TRACE(testing::Message() << name << ", device at 0x" << std::hex << address);
      test::EmulatedHardware bench;
      test::I2cAdapterModel model;
      like(model);
      model.device = std::make_shared<sim::Device>(static_cast<std::uint8_t>(address));
      bench.add_i2c_adapter(3, name, model);

      const Checked checked = vx3071_on("i2c:3");
      EXPECT_EQ(step(checked, "lines"),
                "lines     skip  the adapter keeps its own lines: they cannot be read here");
      ASSERT_FALSE(model.messages.empty()) << "nothing was asked";
      EXPECT_EQ(model.messages.front(), probe_at_2c);
      model.messages.clear();
      const Checked scanned = vx3071_on("i2c:3", {"scan"});
      if (address == 0x2C) {
        EXPECT_EQ(checked.status, cli::kOk);
        EXPECT_EQ(step(checked, "presence"),
                  "presence  ok    the VX3071 acknowledges its address 0x2C");
        EXPECT_EQ(scanned.lines, std::vector<std::string>{"0x2c  VX3071"});
        EXPECT_EQ(scanned.status, cli::kOk);
      } else {
        EXPECT_EQ(checked.status, cli::kVerifyMismatch);
        EXPECT_EQ(step(checked, "presence"),
                  "presence  FAIL  no acknowledge at 0x2C; a device answers at 0x50: is the "
                  "board strapped to another address?");
        EXPECT_EQ(scanned.lines, std::vector<std::string>{"0x50"});
        EXPECT_EQ(scanned.status, cli::kVerifyMismatch) << "the VX3071 is not there";
      }
      ASSERT_EQ(model.messages.size(), 0x77u - 0x08u + 1) << "every address asked once";
      for (int at = 0x08; at <= 0x77; ++at) {
        const bool read_range = (at >= 0x30 && at <= 0x37) || (at >= 0x50 && at <= 0x5F);
        const std::string asked = model.messages[static_cast<std::size_t>(at - 0x08)];
        if (read_range) {
          EXPECT_EQ(asked.substr(0, 2), "R ")
              << "a read at 0x" << std::hex << at << ", as i2cdetect: EEPROMs live there";
        }
      }
    }
  }
}

TEST_F(I2c, AMissingDeviceAndAnAdapterThatCannotAskAreTold) {
  test::I2cAdapterModel blind;
  adapter.device_present = false;
  blind.functions = I2C_FUNC_I2C;  // plain messages, no SMBus command at all
  hardware.add_i2c_adapter(4, "CP2112 SMBus Bridge on hidraw2", adapter);
  hardware.add_i2c_adapter(5, "i2c-tiny-usb at bus 001 device 004", blind);

  const Checked missing = vx3071_on("i2c:4");
  EXPECT_EQ(missing.status, cli::kVerifyMismatch);
  EXPECT_EQ(step(missing, "presence"),
            "presence  FAIL  no acknowledge at 0x2C; nothing answers on this bus: check the "
            "power, the pull-ups and the wiring");
  const Checked empty = vx3071_on("i2c:4", {"scan"});
  EXPECT_EQ(empty.status, cli::kVerifyMismatch);
  EXPECT_TRUE(empty.lines.empty());

  const Checked cannot = vx3071_on("i2c:5");
  EXPECT_THAT(step(cannot, "presence"),
              ::testing::StartsWith("presence  skip  cannot ask who is there: the adapter offers "
                                    "neither a write of no data"));
  EXPECT_EQ(vx3071_on("i2c:5", {"scan"}).status, cli::kPortError);
  EXPECT_THAT(blind.messages, ::testing::Each(::testing::AnyOf("R 2C 1", "W 2C 2")))
      << "read-back's frames only, no probe";
}

// --- A USBTMC meter through the kernel's usbtmc driver -------------------------------------------

// A meter named by its USB ids is found under /sys/class/usbmisc and read through /dev/usbtmcN:
// each exchange with the driver's time-out set (never under its 100 ms), a silent one a time-out
// followed by the driver's clear, and ids no instrument has refused with what there is.
TEST(Usbtmc, AMeterByItsUsbIdsIsReadThroughTheKernelsDriver) {
  using namespace std::chrono_literals;
  test::EmulatedHardware hardware;
  test::UsbtmcModel model, other;
  other.serial = "MY99999";
  hardware.add_usbtmc(0, other);
  hardware.add_usbtmc(1, model);
  meter::MeterOptions options;
  options.timeout = 50ms;
  meter::Meter meter(meter::parse_resource("USB0::0x2A8D::0x1301::MY12345::INSTR"), options);
  EXPECT_EQ(meter.identity().model, "34465A");
  EXPECT_EQ(meter.identity().serial, "MY12345");
  EXPECT_EQ(meter.read().value, 4321.5);
  ASSERT_FALSE(model.timeouts.empty());
  EXPECT_THAT(model.timeouts, ::testing::Each(::testing::Ge(100u)));
  EXPECT_EQ(other.log.count(USBTMC_IOCTL_SET_TIMEOUT), 0) << "the other instrument untouched";
  EXPECT_THAT(meter::local_meters(), ::testing::ElementsAre("USB0::0x2A8D::0x1301::MY12345::INSTR",
                                                            "USB0::0x2A8D::0x1301::MY99999::INSTR"))
      << "meters names each by its ids, as VISA does";
  {
    meter::Meter ended(meter::parse_resource("USB0::0x2A8D::0x1301::MY12345::INSTR"), options);
    EXPECT_EQ(model.locals, 0);
  }
  EXPECT_EQ(model.locals, 1) << "the front panel given back at the end";
  model.silent = true;
  EXPECT_THROW(meter.read(), meter::MeterTimeout);
  EXPECT_EQ(model.clears, 1) << "cleared after the time-out";
  try {
    meter::Meter none(meter::parse_resource("USB0::0x2A8D::0x1301::MY00000::INSTR"), options);
    ADD_FAILURE() << "opened";
  } catch (const meter::MeterError& e) {
    EXPECT_THAT(e.what(),
                HasSubstr("no USBTMC instrument is USB0::0x2A8D::0x1301::MY00000::INSTR"));
  }
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
  test::I2cAdapterModel adapter, smbus, i801;
  test::GpioChipModel chip;
  smbus.functions = I2C_FUNC_SMBUS_READ_BYTE_DATA;
  test::like_i801(i801);
  hardware.add_i2c_adapter(1, "SMBus I801 adapter at f040", i801);
  hardware.add_i2c_adapter(3, "CP2112 SMBus Bridge", adapter);
  hardware.add_i2c_adapter(6, "SMBus PIIX4 adapter", smbus);
  hardware.add_gpio_chip(0, chip);
  const std::string text = run_cli({"ports"});
  EXPECT_THAT(
      text, HasSubstr("i2c:3                   I2C adapter 3 'CP2112 SMBus Bridge', plain I2C\n"));
  EXPECT_THAT(text, HasSubstr("i2c:1                   I2C adapter 1 'SMBus I801 adapter at "
                              "f040', SMBus commands: a write of 2 bytes as Write Byte Data, "));
  EXPECT_THAT(text, HasSubstr("i2c:6                   I2C adapter 6 'SMBus PIIX4 adapter', SMBus "
                              "only, with no command that carries a frame: use an adapter that "
                              "does plain I2C, or SMBus Write Byte Data and Receive Byte\n"));
  EXPECT_THAT(
      text, HasSubstr("gpio:gpiochip0:SDA,SCL  GPIO chip gpiochip0 'pinctrl-bcm2711', 28 lines\n"));
  EXPECT_EQ(adapter.log.count(I2C_RDWR), 0) << "listing touches no bus";
  // What opening each kind does, once a kind, and what only hardware shows.
  EXPECT_THAT(text, HasSubstr("\nopening i2c: asks the adapter what it offers (I2C_FUNCS)"));
  EXPECT_THAT(text, HasSubstr("\nopening gpio: requests both lines as open-drain outputs"));
  EXPECT_EQ(text.find("opening i2c"), text.rfind("opening i2c")) << "once for the two adapters";
  EXPECT_THAT(text, HasSubstr("\non real hardware, only a logic analyser on SCL and SDA can "));

  const std::string json = run_cli({"--json", "ports"});
  EXPECT_THAT(json,
              HasSubstr("{\"port\":\"i2c:3\",\"kind\":\"i2c\",\"device\":"
                        "\"/dev/i2c-3\",\"description\":\"I2C adapter 3 'CP2112 SMBus "
                        "Bridge'\",\"usable\":true,\"plain_i2c\":true,\"form\":\"plain I2C\","
                        "\"opening\":\"asks the adapter what it offers (I2C_FUNCS): frames go "
                        "as plain I2C messages, or as SMBus commands on an SMBus-only one; nothing "
                        "goes on the bus before the first frame\"}"));
  EXPECT_THAT(json, HasSubstr("\"port\":\"gpio:gpiochip0:SDA,SCL\",\"kind\":\"gpio\""));
  EXPECT_THAT(json, ::testing::StartsWith("{\"command\":\"ports\",\"ports\":[{"));
  EXPECT_EQ(json.find('\n'), json.size() - 1) << "one object for the command";
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
