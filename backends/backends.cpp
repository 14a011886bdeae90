#include "backends/backends.h"

#include <charconv>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "backends/ftdi.h"
#include "backends/gpio.h"
#include "backends/i2c.h"
#include "backends/parport.h"
#include "backends/ports.h"
#include "sim/shared_part.h"
#include "sim/virtual_port.h"

namespace vx::backends {

namespace {

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

// The back ends' own openers, with what each makes of its argument. The simulated devices are
// made in `opener_for`, which keeps one device across reopenings.
std::unique_ptr<port::Port> unused(const std::string&, std::chrono::microseconds) {
  return nullptr;
}
std::unique_ptr<port::Port> parport(const std::string& name, std::chrono::microseconds) {
  return open_parport(name);
}
std::unique_ptr<port::Port> i2c(const std::string& adapter, std::chrono::microseconds) {
  return open_i2c(adapter);
}
std::unique_ptr<port::Port> gpio(const std::string& lines, std::chrono::microseconds phase) {
  return open_gpio(lines, phase);
}
std::unique_ptr<port::Port> ftdi(const std::string& serial, std::chrono::microseconds phase) {
  return open_ftdi(serial, phase);
}

using Argument = BackEnd::Argument;
constexpr BackEnd kBackEnds[] = {
    {"sim", "sim", "the simulated device, also when unset", Argument::none, false, unused, "",
     "nothing: the simulated device keeps its setting for the whole run"},
    {"sim:absent", "sim:absent", "the simulated bus with no device on it", Argument::none, false,
     unused, "", "nothing"},
    {"parport", "parport:NAME", "the parallel port at 0x378, or one by name", Argument::optional,
     true, parport, "parallel ports in /proc/sys/dev/parport (sudo modprobe parport_pc ppdev)",
     "claims the port for this program alone (ppdev's PPEXCL, then PPCLAIM); no line moves before "
     "the first frame"},
    {"i2c", "i2c:ADAPTER", "an I2C adapter by bus number or name", Argument::required, false, i2c,
     "I2C adapters in /sys/class/i2c-dev (sudo modprobe i2c-dev; plug the USB bridge in)",
     "asks the adapter what it offers (I2C_FUNCS): frames go as plain I2C messages, or as SMBus "
     "commands on an SMBus-only one; nothing goes on the bus before the first frame"},
    {"gpio", "gpio:CHIP:SDA,SCL[,SENSE]", "two GPIO lines", Argument::required, true, gpio,
     "GPIO chips in /dev/gpiochip* (the board's GPIO driver)",
     "requests both lines as open-drain outputs, released, and tests them as the kernel's "
     "i2c-algo-bit does (high when released, low only while pulled low); asks no device"},
    {"ftdi", "ftdi:[SERIAL][:A|B|C|D]", "an FTDI chip in bit-bang mode", Argument::optional, true,
     ftdi, "FTDI chips on the USB (plug one in)",
     "sets synchronous bit-bang mode and times a packet of idle bytes twice at the slowest clock "
     "of the clock path it will use to learn the chip's byte clock (45 ms at 16 bytes a period on "
     "an FT232R, 0.3 s on an H chip's 12 MHz path), else assumes the fastest"},
};

// "a, b, c or d", with `last` for "or"
std::string listed(const std::vector<std::string>& items, const char* last) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == items.size() ? last : ", ") + items[i];
  }
  return text;
}

std::string accepted_names() {
  std::vector<std::string> names;
  for (const BackEnd& back_end : kBackEnds) {
    // Appended piece by piece: GCC 12 at -O3 takes a chain of + here for an overlapping copy.
    std::string name;
    if (back_end.argument == Argument::optional)
      name.append("\"").append(back_end.name).append("\" or ");
    name.append("\"").append(back_end.syntax).append("\" (").append(back_end.what).append(")");
    names.push_back(std::move(name));
  }
  return listed(names, " or ");
}

std::string where_we_look() {
  std::vector<std::string> places;
  for (const BackEnd& back_end : kBackEnds) {
    if (*back_end.listed_from) places.push_back(back_end.listed_from);
  }
  return "looked for " + listed(places, " and ") +
         "; the simulated device is always there: VX3071_PORT=sim";
}

}  // namespace

const std::string kWhereWeLook = where_we_look();

std::span<const BackEnd> back_ends() {
  return kBackEnds;
}

std::pair<const BackEnd*, std::string> find_back_end(const std::string& choice) {
  const std::string name = choice.empty() ? "sim" : choice;
  for (const BackEnd& back_end : kBackEnds) {
    const std::string_view own = back_end.name;
    if (name == own && back_end.argument != Argument::required) return {&back_end, ""};
    if (back_end.argument != Argument::none && name.size() > own.size() + 1 &&
        name.compare(0, own.size(), own) == 0 && name[own.size()] == ':') {
      return {&back_end, name.substr(own.size() + 1)};
    }
  }
  return {nullptr, ""};
}

std::string malformed_port(const std::string& choice) {
  const auto [back_end, argument] = find_back_end(choice);
  if (!back_end) {
    return "unknown port " + port::quoted(choice) + ": the port is " + accepted_names() +
           "; vx3071 ports lists what this machine has";
  }
  if (back_end->name == std::string_view("gpio") && !parse_gpio_choice(argument)) {
    return gpio_choice_usage(argument);
  }
  if (back_end->name == std::string_view("ftdi") && !parse_ftdi_choice(argument)) {
    return "the FTDI port " + port::quoted(argument) +
           " is not [SERIAL][:A|B|C|D], as in ftdi:FT6ZQ7TX or ftdi:FT6ZQ7TX:B";
  }
  return {};
}

std::optional<long> min_phase_us(const std::string& text) {
  long phase = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), phase);
  if (error != std::errc() || end != text.data() + text.size() || phase < 0 ||
      phase > kMaxMinPhaseUs) {
    return std::nullopt;
  }
  return phase;
}

std::string malformed_phase(const std::string& text) {
  return "VX3071_MIN_PHASE_US is " + port::quoted(text) +
         ": it must be a whole number of microseconds from 0 to " + std::to_string(kMaxMinPhaseUs);
}

port::PortAccess::Opener opener_for(const std::string& choice, std::chrono::microseconds phase) {
  const auto [back_end, argument] = find_back_end(choice);
  if (!back_end) return failing(malformed_port(choice));
  if (back_end->name == std::string_view("sim")) {
    // One device for every opening: it keeps its setting while the port is reopened. It is the
    // part the `sim` meter reads, and with VX3071_SIM_STATE the part other processes share.
    auto device = std::make_shared<sim::Device>();
    device->share(sim::shared_part_from_environment());
    sim::publish(device);
    return [device] { return std::make_unique<sim::VirtualPort>(device); };
  }
  if (back_end->name == std::string_view("sim:absent")) {
    return [] { return std::make_unique<sim::VirtualPort>(nullptr); };
  }
  return [open = back_end->open, argument, phase] { return open(argument, phase); };
}

Settings settings_from_environment() {
  return {env("VX3071_PORT"), env("VX3071_TRACE"), env("VX3071_MIN_PHASE_US")};
}

std::unique_ptr<port::PortAccess> make_port(const Settings& settings) {
  return make_port_named(settings, {});
}

std::unique_ptr<port::PortAccess> make_port_named(const Settings& settings,
                                                  const std::string& port_variable) {
  const BackEnd* back_end = find_back_end(settings.port).first;
  long min_phase = back_end && back_end->bit_banged ? kDefaultHardwarePhase.count() : 0;
  if (!settings.min_phase_us.empty()) {
    const auto asked = min_phase_us(settings.min_phase_us);
    if (!asked) {
      return std::make_unique<port::PortAccess>(failing(malformed_phase(settings.min_phase_us)),
                                                settings.trace);
    }
    min_phase = *asked;
  }
  const std::chrono::microseconds phase(min_phase);
  port::PortAccess::Opener opener = opener_for(settings.port, phase);
  if (!port_variable.empty() && !settings.port.empty()) {
    opener = [opener = std::move(opener),
              named = port_variable + " is " + port::quoted(settings.port) + ": "] {
      try {
        return opener();
      } catch (const port::PortError& error) {
        throw port::PortError(named + error.what());
      }
    };
  }
  return std::make_unique<port::PortAccess>(std::move(opener), settings.trace, phase);
}

}  // namespace vx::backends
