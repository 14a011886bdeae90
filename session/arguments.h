#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "backends/backends.h"

namespace vx::session {

// An argument, a setting or a command line that is not as it must be, found before any port work:
// status 2 in vx3071, ValueError in Python. The words say what is wrong.
class UsageError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// `value` if it lies from `low` to `high`, else UsageError: "CODE must be a whole number from 0 to
// 255, not "300"" (`text` as the user wrote the value, when not the number itself).
long long in_range(long long value, const std::string& what, long long low, long long high,
                   const std::string& text = {});
[[noreturn]] void out_of_range(const std::string& text, const std::string& what, long long low,
                               long long high);

// The frame word of `bits`, 27 characters of 0 and 1, bit 26 first, with the acknowledge slots
// sent as 0 as the panel sends them; the slots given as 1 are listed in `forced`. UsageError for
// anything else.
std::uint32_t frame_word(const std::string& bits, std::string& forced);

// The longest dwell a sweep takes: an hour.
inline constexpr long long kMaxDwellMs = 3'600'000;

// Settings as the command line or a script gives them, checked before anything is opened: a port
// given as empty (`port_given` with nothing in it), a back end no table names, an argument it
// cannot take, a phase out of range are UsageError, naming the variable where the value came from
// the environment. Gives the settings to open.
backends::Settings checked_settings(backends::Settings settings, bool port_given);

}  // namespace vx::session
