#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vx::backends {

// A port this machine offers, as `vx3071 ports` lists it.
struct OfferedPort {
  std::string choice;             // the VX3071_PORT value that selects it
  std::string kind;               // parport, i2c or gpio
  std::string what;               // for a person: "I2C adapter 3 'CP2112 SMBus Bridge'"
  std::string device;             // its node under /dev
  std::optional<bool> plain_i2c;  // i2c: whether it does plain I2C, when it could be asked
  unsigned lines = 0;             // gpio: how many lines the chip has
  bool usable = false;            // this user may open the node
  std::string fix;                // what to do when not usable
};

// Every parallel port, I2C adapter and GPIO chip the kernel shows, and every FTDI chip on the USB.
std::vector<OfferedPort> offered_ports();

// Where `offered_ports` looks, and what to load when it finds nothing.
inline constexpr const char* kWhereWeLook =
    "looked for parallel ports in /proc/sys/dev/parport (sudo modprobe parport_pc ppdev), I2C "
    "adapters in /sys/class/i2c-dev (sudo modprobe i2c-dev; plug the USB bridge in) and GPIO "
    "chips in /dev/gpiochip* (the board's GPIO driver) and FTDI chips on the USB (plug one in); "
    "the simulated device is always there: "
    "VX3071_PORT=sim";

}  // namespace vx::backends
