#include "backends/backends.h"

#include <charconv>
#include <cstdlib>

#include "port/gpio.h"
#include "port/i2c.h"
#include "port/parport.h"
#include "sim/virtual_port.h"

namespace vx::backends {

namespace {

constexpr long kMaxMinPhaseUs = 1'000'000;
// A standard-mode device needs SCL low for 4.7 us and may take 3.45 us to put its bit out.
constexpr long kDefaultHardwarePhaseUs = 5;

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

namespace {

// The back ends named "KIND:ARGUMENT", with what each makes of its argument.
struct Named {
  const char* prefix;
  std::unique_ptr<port::Port> (*open)(const std::string&);
};
std::unique_ptr<port::Port> open_named_parport(const std::string& name) {
  return port::open_parport(name);
}

constexpr Named kNamed[] = {
    {"parport:", open_named_parport},
    {"i2c:", port::open_i2c},
    {"gpio:", port::open_gpio},
};

std::unique_ptr<port::Port> open_standard_parport() {
  return port::open_parport("");
}

bool starts_with(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
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
  if (choice == "parport") return open_standard_parport;
  for (const Named& named : kNamed) {
    const std::string prefix = named.prefix;
    if (starts_with(choice, named.prefix) && choice.size() > prefix.size()) {
      return
          [open = named.open, argument = choice.substr(prefix.size())] { return open(argument); };
    }
  }
  return failing("unknown port " + port::quoted(choice) +
                 ": the port is \"sim\" (the simulated device, also when unset), \"sim:absent\" "
                 "(the simulated bus with no device on it), \"parport\" (the parallel port at "
                 "0x378), \"parport:NAME\" (a parallel port by name), \"i2c:ADAPTER\" (an I2C "
                 "adapter by bus number or name), or \"gpio:CHIP:SDA,SCL[,SENSE]\" (two GPIO "
                 "lines); vx3071 ports lists what this machine has");
}

bool bit_banged_hardware(const std::string& choice) {
  return choice == "parport" || starts_with(choice, "parport:") || starts_with(choice, "gpio:");
}

Settings settings_from_environment() {
  return {env("VX3071_PORT"), env("VX3071_TRACE"), env("VX3071_MIN_PHASE_US")};
}

std::unique_ptr<port::PortAccess> make_port(const Settings& settings) {
  long min_phase = bit_banged_hardware(settings.port) ? kDefaultHardwarePhaseUs : 0;
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
