#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "port/port_access.h"

namespace vx::backends {

// A standard-mode device needs SCL low for 4.7 us and may take 3.45 us to put its bit out.
inline constexpr std::chrono::microseconds kDefaultHardwarePhase{5};

// The port named by `choice`: empty or "sim" for the simulated device, "sim:absent" for the
// simulated bus with nothing on it (every read gives 255), "parport" for the machine's
// parallel port at 0x378, "parport:NAME" for the one named NAME, "i2c:ADAPTER" for an I2C
// adapter, "gpio:CHIP:SDA,SCL[,SENSE]" for two GPIO lines, "ftdi[:SERIAL]" for an FTDI chip.
// Nothing is opened here; a name it does not know fails at the first port call with a message
// listing the accepted names. `phase` is the FTDI chip's byte clock; the other back ends are paced
// by the port layer.
port::PortAccess::Opener opener_for(const std::string& choice,
                                    std::chrono::microseconds phase = kDefaultHardwarePhase);

// Whether `choice` bit-bangs real lines (parport, gpio, ftdi): those are paced at 5 us a phase
// unless VX3071_MIN_PHASE_US says otherwise (0 turns pacing off).
bool bit_banged_hardware(const std::string& choice);

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
inline std::unique_ptr<port::PortAccess> port_from_environment() {
  return make_port(settings_from_environment());
}

}  // namespace vx::backends
