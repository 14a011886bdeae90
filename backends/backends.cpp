#include "backends/backends.h"

#include <cstdlib>

#include "sim/virtual_port.h"

namespace vx::backends {

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

port::PortAccess::Opener opener_for(const std::string& spec) {
  if (spec.empty() || spec == "sim") {
    return [] { return std::make_unique<sim::VirtualPort>(); };
  }
  return [spec]() -> std::unique_ptr<port::Port> {
    throw port::PortError("unknown port \"" + spec + "\": VX3071_PORT accepts \"sim\" (the " +
                          "simulated device, also when unset)");
  };
}

std::unique_ptr<port::PortAccess> port_from_environment() {
  return std::make_unique<port::PortAccess>(opener_for(env("VX3071_PORT")), env("VX3071_TRACE"));
}

}  // namespace vx::backends
