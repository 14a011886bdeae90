#include "port/port.h"

#include <cstdio>

namespace vx::port {

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
  return text;
}

}  // namespace vx::port
