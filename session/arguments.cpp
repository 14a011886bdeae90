#include "session/arguments.h"

#include <utility>

#include "frame/code_conversions.h"
#include "port/port.h"

namespace vx::session {

void out_of_range(const std::string& text, const std::string& what, long long low, long long high) {
  throw UsageError(what + " must be a whole number from " + std::to_string(low) + " to " +
                   std::to_string(high) + ", not " + port::quoted(text));
}

long long in_range(long long value, const std::string& what, long long low, long long high,
                   const std::string& text) {
  if (value < low || value > high) {
    out_of_range(text.empty() ? std::to_string(value) : text, what, low, high);
  }
  return value;
}

std::uint32_t frame_word(const std::string& bits, std::string& forced) {
  if (bits.size() != 27 || bits.find_first_not_of("01") != std::string::npos) {
    throw UsageError("frame takes 27 characters of 0 and 1, bit 26 first, not " +
                     port::quoted(bits) + " (" + std::to_string(bits.size()) + " characters)");
  }
  std::uint32_t word = 0;
  for (char bit : bits) word = word << 1 | (bit == '1' ? 1u : 0u);
  for (int slot : frame::kAckCells) {
    if (word >> slot & 1) {
      forced += (forced.empty() ? "" : ", ") + std::to_string(slot);
      word &= ~(1u << slot);
    }
  }
  return word;
}

backends::Settings checked_settings(backends::Settings settings, bool port_given) {
  // A path ends at its first NUL in the kernel's eyes: "a.csv\0.vcd" would open a.csv.
  for (const auto& [value, what] : {std::pair{&settings.port, "the port"},
                                    std::pair{&settings.trace, "the trace file's name"}}) {
    if (value->find('\0') != std::string::npos) {
      throw UsageError(std::string(what) + " holds a NUL byte, which no file name can hold");
    }
  }
  if (port_given && settings.port.empty()) {
    throw UsageError(
        "the port is empty: name one (vx3071 ports lists them), or sim for the "
        "simulated device");
  }
  if (const std::string wrong = backends::malformed_port(settings.port); !wrong.empty()) {
    // Not given here, so it came from the environment: the variable is what to fix.
    throw UsageError(port_given ? wrong : "VX3071_PORT: " + wrong);
  }
  if (!settings.min_phase_us.empty() && !backends::min_phase_us(settings.min_phase_us)) {
    throw UsageError(backends::malformed_phase(settings.min_phase_us));
  }
  return settings;
}

}  // namespace vx::session
