#pragma once

#include <memory>
#include <string>
#include <vector>

#include "port/port.h"

namespace vx::backends {

// The system calls the parallel-port back end makes, behind a seam so that every way they can
// fail is testable on a machine without a port. Each returns -1 and sets errno on failure, as the
// calls themselves do.
class Syscalls {
 public:
  virtual ~Syscalls() = default;
  virtual int open(const std::string& path, int flags) = 0;
  virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
  virtual int close(int fd) = 0;
};

// The real calls.
Syscalls& system_calls();

// Where the back end looks: `root` prefixes /proc and /dev, so tests can lay out their own.
struct ParportSystem {
  Syscalls& calls = system_calls();
  std::string root = "";
};

// A parallel port the kernel lists, with its base address (the first number of base-addr).
struct FoundPort {
  std::string name;
  long base;
};
std::vector<FoundPort> list_parports(const std::string& root = "");

// The name of the port to use: `name` if given (it must exist), else the one whose base address
// is 0x378. Throws port::PortError with what to do when there is none.
std::string find_parport(const std::string& name, const std::string& root);

// Opens a machine's parallel port through the kernel's ppdev interface: exclusive, claimed, one
// ioctl per access. `name` picks a port ("parport0"); empty picks the one at 0x378.
std::unique_ptr<port::Port> open_parport(const std::string& name, const ParportSystem& system = {});

}  // namespace vx::backends
