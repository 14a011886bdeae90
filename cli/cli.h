#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "backends/backends.h"
#include "session/device.h"

namespace vx::cli {

// Exit statuses; scripts rely on them.
inline constexpr int kOk = 0;
inline constexpr int kUsage = 2;
inline constexpr int kPortError = 3;
inline constexpr int kVerifyMismatch = 4;
inline constexpr int kWriteFailed = 5;  // the trace file or standard output; the port worked

// A command line, or an argument, that is not as vx3071 takes it; the words say what is.
using session::UsageError;

struct Streams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool err_is_terminal = false;  // progress lines only go to a terminal
};

using session::PortMaker;

// Set while the run waits for a line of standard input: a signal handler may end the program at
// once then, as every command before has completed the trace.
extern volatile std::sig_atomic_t waiting_for_input;

// The signal that asks the run to stop (SIGINT, SIGTERM), or 0; polled between frames.
using Signalled = std::function<int()>;

// Runs `vx3071` with `args` (without the program name) and returns its exit status. `settings`
// are what the environment asks for; the command line wins over them. A signal that `signalled`
// reports ends the run between two frames, the trace complete, with status 128 + its number.
int run(const std::vector<std::string>& args, Streams streams, backends::Settings settings = {},
        const PortMaker& make_port = backends::make_port, const Signalled& signalled = {});

}  // namespace vx::cli
