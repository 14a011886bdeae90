#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "port/port.h"

namespace vx::backends {

// A GPIO chip the kernel offers through its character device.
struct GpioChip {
  std::string name;   // gpiochipN, as in /dev
  std::string label;  // as the driver names it
  unsigned lines = 0;
};

// Every chip under /dev, by name. Chips that cannot be opened are listed with an empty label.
std::vector<GpioChip> list_gpio_chips();

// The parts of "CHIP:SDA,SCL[,SENSE]"; empty when `choice` is not of that form.
struct GpioChoice {
  std::string chip, sda, scl, sense;
};
std::optional<GpioChoice> parse_gpio_choice(const std::string& choice);
// Why `choice` is not of that form, for a person.
std::string gpio_choice_usage(const std::string& choice);

// Opens two GPIO lines as the bus, through the GPIO character device's uAPI v2 (Linux 5.10 and
// later): `choice` is "CHIP:SDA,SCL[,SENSE]", CHIP a chip's name (gpiochip0) or label, each line
// an offset or a line name. SDA and SCL are open-drain outputs with pull-up bias where the chip
// offers it; SENSE, when given, is an input wired to SDA that every status read reads. A
// line-code write that moves one line is one call, one that moves both is two, a phase apart; a
// status read is one call. Opening requests the lines and tests them as i2c-algo-bit's test_bus()
// does, at `phase`; it asks no device, so a board without one opens too.
std::unique_ptr<port::Port> open_gpio(const std::string& choice, std::chrono::microseconds phase);

}  // namespace vx::backends
