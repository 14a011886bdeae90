#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vx::backends {

// Another function that holds GPIO lines through the pin controller, as a single-board
// computer's I2C, SPI or UART controller does: its pins are muxed to it, not requested as GPIO
// descriptors, so the GPIO character device neither flags the lines as used nor refuses them
// (pinmux.c's pin_request checks the mux owner only for a strict controller, and bcm2835's is
// not), and requesting them switches the pins to GPIO under the controller's feet.
struct PinOwner {
  std::vector<unsigned> lines;  // the requested lines it holds
  std::string owner;            // its device-tree node, "i2c@7e804000", or its device name
  std::string what;             // "the I2C controller ", or empty
  std::string dtparam;          // the Raspberry Pi setting that enables it, "i2c_arm", or empty
  int i2c_bus = -1;             // for an I2C controller, its bus number (alias i2cN), or -1
  bool from_debugfs = false;    // told by pinmux-pins rather than the device tree
};

// Who, other than GPIO, holds any of `lines` of GPIO chip `chip` ("gpiochip0"), from what a
// normal user can read: the device tree under /sys/firmware/devicetree/base (enabled nodes whose
// pinctrl-0 groups, under the chip's own node, list the lines: `brcm,pins` in the bcm2835
// binding, `pins` = "gpioN" in the generic one) and, where readable, the pin controller's
// debugfs pinmux-pins. Empty when nothing does or nothing can be read (no device tree).
std::optional<PinOwner> pin_owner(const std::string& chip, const std::vector<unsigned>& lines);

// What to tell a person: "GPIO 2 and 3 carry the I2C controller i2c@7e804000
// (dtparam=i2c_arm=on): use i2c:1, or turn i2c_arm off".
std::string describe(const PinOwner& owner);

}  // namespace vx::backends
