#pragma once

#include <memory>

#include "meter/transport.h"

namespace vx::meter {

// The `sim` meter: a SCPI meter wired to the simulated part, across the wiper and terminal B
// (CONF:RES), or at the wiper of the part as a divider from 5 V to ground (CONF:VOLT:DC). It reads
// the part in VX3071_SIM_STATE's file where that is set, else the part this process's `sim` port
// made, else a part at power-up; its analog side is VX3071_SIM_ANALOG's. It answers as a meter
// does: its identity, SYST:ERR?, overload beyond 1.2 times the range (the 34465A's overrange).
std::unique_ptr<Transport> open_simulated();

}  // namespace vx::meter
