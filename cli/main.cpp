// vx3071: send the panel's frames from a script. `vx3071 --help` tells how.
#include <unistd.h>

#include <iostream>

#include "cli/cli.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return vx::cli::run(args, {std::cin, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1},
                      vx::backends::settings_from_environment());
}
