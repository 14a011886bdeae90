// vx3071: send the panel's frames from a script. `vx3071 --help` tells how.
#include <unistd.h>

#include <csignal>
#include <iostream>

#include "cli/cli.h"

namespace {

volatile std::sig_atomic_t signalled = 0;

// SIGINT and SIGTERM stop the run between two frames, so the device is never left holding SDA and
// the trace ends with whole records; waiting for standard input, where nothing is half done, at
// once. A second signal ends the program as the signal would.
extern "C" void on_signal(int number) {
  if (signalled != 0 || vx::cli::waiting_for_input != 0) {
    std::signal(number, SIG_DFL);
    std::raise(number);
    return;
  }
  signalled = number;
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  // A reader that has gone away is a failed write, told with status 5 once the trace is complete.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return vx::cli::run(args, {std::cin, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1},
                      vx::backends::settings_from_environment(), vx::backends::make_port,
                      [] { return static_cast<int>(signalled); });
}
