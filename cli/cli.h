#pragma once

#include <functional>
#include <iosfwd>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/backends.h"

namespace vx::cli {

// Exit statuses; scripts rely on them.
inline constexpr int kOk = 0;
inline constexpr int kUsage = 2;
inline constexpr int kPortError = 3;
inline constexpr int kVerifyMismatch = 4;
inline constexpr int kWriteFailed = 5;  // the trace file or standard output; the port worked

// A command line, or an argument, that is not as vx3071 takes it; the words say what is.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `value` if it lies from `low` to `high`, else UsageError: "CODE must be a whole number from 0 to
// 255, not "300"" (`text` as the user wrote the value, when not the number itself).
long in_range(long value, const std::string& what, long low, long high,
              const std::string& text = {});
[[noreturn]] void out_of_range(const std::string& text, const std::string& what, long low,
                               long high);

// The frame word of `bits`, 27 characters of 0 and 1, bit 26 first, with the acknowledge slots
// sent as 0 as the panel sends them; the slots given as 1 are listed in `forced`. UsageError for
// anything else.
std::uint32_t frame_word(const std::string& bits, std::string& forced);

struct Streams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool err_is_terminal = false;  // progress lines only go to a terminal
};

// Makes the port the settings name; tests put a port of their own in its place.
using PortMaker = std::function<std::unique_ptr<port::PortAccess>(const backends::Settings&)>;

// Runs `vx3071` with `args` (without the program name) and returns its exit status. `settings`
// are what the environment asks for; the command line wins over them.
int run(const std::vector<std::string>& args, Streams streams, backends::Settings settings = {},
        const PortMaker& make_port = backends::make_port);

}  // namespace vx::cli
