#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace vx::test {

// The meter emulator (tests/meter_emulator.cpp), started as a program of its own; it says where
// it listens on its first line. `link` is "tcp" or "pty"; `fault` one of its faults, or empty;
// `setting` its serial line setting, or empty; `log` a file it appends each command it takes to,
// or empty. Killed when this goes.
class Emulator {
 public:
  Emulator(const std::string& link, const std::string& model, const std::string& fault,
           const std::string& setting = "", const std::string& log = "");
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;
  // Its VISA resource string: TCPIP::127.0.0.1::PORT::SOCKET or ASRL/dev/pts/N::INSTR.
  const std::string& resource() const { return resource_; }

 private:
  pid_t pid_ = -1;
  std::string resource_;
};

// An environment variable set for a test's time, then put back.
struct Environment {
  Environment(const char* name, const std::string& value);
  ~Environment();
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace vx::test
