#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
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
