#include "port/port.h"

#include <cstdio>

#include "frame/line_protocol.h"

namespace vx::port {

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
  return text;
}

void Port::queue_read32(std::int16_t) {
  throw PortError("this back end answers every read at once: it queues none");
}

void no_such_register(const std::string& back_end, std::int16_t address) {
  throw PortError(back_end + " has no register at 0x" + hex(static_cast<std::uint16_t>(address)) +
                  ": the bus is written at 0x" + hex(frame::kDataRegister) + " and read at 0x" +
                  hex(frame::kStatusRegister));
}

std::string quoted(std::string_view text, std::size_t limit) {
  std::string shown = "\"";
  for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte >= 0x7F || byte == '"' || byte == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    } else {
      shown += static_cast<char>(byte);
    }
  }
  if (text.size() > limit) shown += "...";
  return shown + "\"";
}

}  // namespace vx::port
