#include "backends/backends.h"

#include <charconv>
#include <cstdlib>

#include "port/ftdi.h"
#include "port/gpio.h"
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

port::PortAccess::Opener opener_for(const std::string& choice, std::chrono::microseconds phase) {
  if (choice.empty() || choice == "sim") {
    // One device for every opening: it keeps its setting while the port is reopened.
    return [device = std::make_shared<sim::Device>()] {
      return std::make_unique<sim::VirtualPort>(device);
    };
  }
  if (choice == "sim:absent") return [] { return std::make_unique<sim::VirtualPort>(nullptr); };
  if (choice == "parport") return open_standard_parport;
  if (choice == "ftdi" || starts_with(choice, "ftdi:")) {
    return [serial = choice.size() > 5 ? choice.substr(5) : "", phase] {
      return port::open_ftdi(serial, phase);
    };
  }
  for (const Named& named : kNamed) {
    const std::string prefix = named.prefix;
    if (starts_with(choice, named.prefix) && choice.size() > prefix.size()) {
      return
          [open = named.open, argument = choice.substr(prefix.size())] { return open(argument); };
    }
  }
  return failing(
      "unknown port " + port::quoted(choice) +
      ": the port is \"sim\" (the simulated device, also when unset), \"sim:absent\" "
      "(the simulated bus with no device on it), \"parport\" (the parallel port at "
      "0x378), \"parport:NAME\" (a parallel port by name), \"i2c:ADAPTER\" (an I2C "
      "adapter by bus number or name), \"gpio:CHIP:SDA,SCL[,SENSE]\" (two GPIO lines) or "
      "\"ftdi[:SERIAL]\" (an FTDI chip in bit-bang mode); vx3071 ports lists what "
      "this machine has");
}

bool bit_banged_hardware(const std::string& choice) {
  return choice == "parport" || starts_with(choice, "parport:") || starts_with(choice, "gpio:") ||
         choice == "ftdi" || starts_with(choice, "ftdi:");
}

Settings settings_from_environment() {
  return {env("VX3071_PORT"), env("VX3071_TRACE"), env("VX3071_MIN_PHASE_US")};
}

std::unique_ptr<port::PortAccess> make_port(const Settings& settings) {
  long min_phase = bit_banged_hardware(settings.port) ? kDefaultHardwarePhase.count() : 0;
  if (!settings.min_phase_us.empty()) {
    const char* first = settings.min_phase_us.data();
    const char* last = first + settings.min_phase_us.size();
    const auto [end, error] = std::from_chars(first, last, min_phase);
    if (error != std::errc() || end != last || min_phase < 0 || min_phase > kMaxMinPhaseUs) {
      return std::make_unique<port::PortAccess>(
          failing("VX3071_MIN_PHASE_US is " + port::quoted(settings.min_phase_us) +
                  ": it must be a whole number of microseconds from 0 to 1000000"),
          settings.trace);
    }
  }
  const std::chrono::microseconds phase(min_phase);
  return std::make_unique<port::PortAccess>(opener_for(settings.port, phase), settings.trace,
                                            phase);
}

}  // namespace vx::backends
