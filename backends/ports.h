#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vx::backends {

// A port this machine offers, as `vx3071 ports` lists it.
struct OfferedPort {
  std::string choice;             // the VX3071_PORT value that selects it
  std::string kind;               // the back end's name: parport, i2c, gpio or ftdi
  std::string what;               // for a person: "I2C adapter 3 'CP2112 SMBus Bridge'"
  std::string device;             // its node under /dev
  std::optional<bool> plain_i2c;  // i2c: whether it does plain I2C, when it could be asked
  std::string form;               // i2c: how frames go out on it, when it could be asked
  std::optional<unsigned> lines;  // how many lines the chip has, where it has lines to choose
  bool usable = false;            // this user may open the node
  std::string fix;                // what to do when not usable
};

// Every parallel port, I2C adapter and GPIO chip the kernel shows, and every FTDI chip on the USB.
std::vector<OfferedPort> offered_ports();

// Where `offered_ports` looks, and what to load when it finds nothing: from the table of back ends.
extern const std::string kWhereWeLook;

}  // namespace vx::backends
