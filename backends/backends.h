#pragma once

#include <memory>
#include <string>

#include "port/port_access.h"

namespace vx::backends {

// The port named by `spec`: empty or "sim" for the simulated device. Nothing is opened here; an
// unknown name fails at the first port call with a message listing the accepted names.
port::PortAccess::Opener opener_for(const std::string& spec);

// The port access the environment asks for: VX3071_PORT picks the back end, VX3071_TRACE the
// trace file.
std::unique_ptr<port::PortAccess> port_from_environment();

}  // namespace vx::backends
