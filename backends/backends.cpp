#include "backends/backends.h"

#include <charconv>
#include <cstdlib>

#include "port/i2c.h"
#include "port/parport.h"
#include "sim/virtual_port.h"

namespace vx::backends {

namespace {

constexpr long kMaxMinPhaseUs = 1'000'000;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

port::PortAccess::Opener failing(std::string message) {
  return [message = std::move(message)]() -> std::unique_ptr<port::Port> {
    throw port::PortError(message);
  };
}

}  // namespace

port::PortAccess::Opener opener_for(const std::string& choice) {
  if (choice.empty() || choice == "sim") {
    // One device for every opening: it keeps its setting while the port is reopened.
    return [device = std::make_shared<sim::Device>()] {
      return std::make_unique<sim::VirtualPort>(device);
    };
  }
  if (choice == "sim:absent") return [] { return std::make_unique<sim::VirtualPort>(nullptr); };
  if (choice == "parport") return [] { return port::open_parport(""); };
  const std::string i2c = "i2c:";
  if (choice.rfind(i2c, 0) == 0 && choice.size() > i2c.size()) {
    return [adapter = choice.substr(i2c.size())] { return port::open_i2c(adapter); };
  }
  const std::string by_name = "parport:";
  if (choice.rfind(by_name, 0) == 0 && choice.size() > by_name.size()) {
    return [name = choice.substr(by_name.size())] { return port::open_parport(name); };
  }
  return failing("unknown port " + port::quoted(choice) +
                 ": the port is \"sim\" (the simulated device, also when unset), \"sim:absent\" "
                 "(the simulated bus with no device on it), \"parport\" "
                 "(the parallel port at 0x378) or \"parport:NAME\" (a port by name, such as "
                 "parport:parport0)");
}

Settings settings_from_environment() {
  return {env("VX3071_PORT"), env("VX3071_TRACE"), env("VX3071_MIN_PHASE_US")};
}

std::unique_ptr<port::PortAccess> make_port(const Settings& settings) {
  long min_phase = 0;
  port::PortAccess::Opener opener = opener_for(settings.port);
  if (!settings.min_phase_us.empty()) {
    const char* first = settings.min_phase_us.data();
    const char* last = first + settings.min_phase_us.size();
    const auto [end, error] = std::from_chars(first, last, min_phase);
    if (error != std::errc() || end != last || min_phase < 0 || min_phase > kMaxMinPhaseUs) {
      min_phase = 0;
      opener = failing("VX3071_MIN_PHASE_US is " + port::quoted(settings.min_phase_us) +
                       ": it must be a whole number of microseconds from 0 to 1000000");
    }
  }
  return std::make_unique<port::PortAccess>(std::move(opener), settings.trace,
                                            std::chrono::microseconds(min_phase));
}

}  // namespace vx::backends
