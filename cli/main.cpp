// vx3071: send the panel's frames from a script. `vx3071 --help` tells how.
#include <unistd.h>

#include <csignal>
#include <iostream>

#include "cli/cli.h"
#include "session/process.h"

namespace {

volatile std::sig_atomic_t signalled = 0;

// SIGINT, SIGTERM and SIGHUP stop the run between two frames, so the device is never left holding
// SDA and the trace ends with whole records; the program then dies of the signal. Waiting for
// standard input, where nothing is half done, it dies at once, and so it does at a second signal.
extern "C" void on_signal(int number) {
  if (signalled != 0 || vx::cli::waiting_for_input != 0) vx::session::die_of(number);
  signalled = number;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: a trace must never become standard output.
  vx::session::hold_standard_descriptors();
  std::ios::sync_with_stdio(false);
  vx::session::catch_stop_signals(on_signal);
  // A reader that has gone away is a failed write, told with status 5 once the trace is complete.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const int status =
      vx::cli::run(args, {std::cin, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1},
                   vx::backends::settings_from_environment(), vx::backends::make_port,
                   [] { return static_cast<int>(signalled); });
  // A signal during the last frame ends the program by that signal too, once the frame is done.
  if (signalled != 0) {
    std::cout.flush();
    std::cerr.flush();
    vx::session::die_of(signalled);
  }
  return status;
}
