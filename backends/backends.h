#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "port/port_access.h"

namespace vx::backends {

// A standard-mode device needs SCL low for 4.7 us and may take 3.45 us to put its bit out.
inline constexpr std::chrono::microseconds kDefaultHardwarePhase{5};

// One kind of back end, as VX3071_PORT names it: "NAME" or "NAME:ARGUMENT".
struct BackEnd {
  enum class Argument { none, optional, required };

  const char* name;    // before the colon: "sim", "parport", ...
  const char* syntax;  // as a person writes it, with its argument: "gpio:CHIP:SDA,SCL[,SENSE]"
  const char* what;    // for a person: "two GPIO lines"
  Argument argument;
  // Bit-bangs real lines, so it is paced at kDefaultHardwarePhase unless VX3071_MIN_PHASE_US
  // says otherwise.
  bool bit_banged;
  // Opens it; `phase` is the shortest time a line level may last.
  std::unique_ptr<port::Port> (*open)(const std::string& argument, std::chrono::microseconds phase);
  // Where `vx3071 ports` looks for these, and what makes them appear; empty for the simulation.
  const char* listed_from;
  // What opening one does, before the first frame, for a person.
  const char* opening;
};

// What no test without the hardware can show, for every bit-banged back end.
inline constexpr const char* kOnlyHardwareShows =
    "only a logic analyser on SCL and SDA can confirm the real timing: one START and one STOP per "
    "frame, and no level shorter than 4.7 us";

// Every back end, the simulated device first: the one table of them.
std::span<const BackEnd> back_ends();

// The back end `choice` names, and the argument after its colon; null when none does.
std::pair<const BackEnd*, std::string> find_back_end(const std::string& choice);

// The longest phase VX3071_MIN_PHASE_US may ask for: a second.
inline constexpr long kMaxMinPhaseUs = 1'000'000;

// What is wrong with `choice` before anything is opened (a back end no table names, an argument
// its back end cannot take), for a person; empty when nothing is.
std::string malformed_port(const std::string& choice);
// The phase `text` asks for, in microseconds; empty when it is no whole number from 0 to
// kMaxMinPhaseUs, and then malformed_phase says so.
std::optional<long> min_phase_us(const std::string& text);
std::string malformed_phase(const std::string& text);

// The port named by `choice` (empty: the simulated device). Nothing is opened here; a name it does
// not know fails at the first port call with a message listing the accepted names.
port::PortAccess::Opener opener_for(const std::string& choice,
                                    std::chrono::microseconds phase = kDefaultHardwarePhase);

// What the environment asks for: VX3071_PORT picks the back end, VX3071_TRACE the trace file,
// VX3071_MIN_PHASE_US the shortest time between port accesses (unset: 5 us on bit-banged
// hardware, none elsewhere). `port` and `trace`, when not
// empty, win over the first two.
struct Settings {
  std::string port;
  std::string trace;
  std::string min_phase_us;
};
Settings settings_from_environment();

std::unique_ptr<port::PortAccess> make_port(const Settings& settings);
// The same, with every failure to open the port naming the variable it came from:
// "VX3071_PORT is "i2c:7": /dev/i2c-7 does not exist: ...".
std::unique_ptr<port::PortAccess> make_port_named(const Settings& settings,
                                                  const std::string& port_variable);
inline std::unique_ptr<port::PortAccess> port_from_environment() {
  return make_port(settings_from_environment());
}

}  // namespace vx::backends
