#include "support/meter_emulation.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace vx::test {

Emulator::Emulator(const std::string& link, const std::string& model, const std::string& fault,
                   const std::string& setting) {
  int out[2];
  if (::pipe(out) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    const std::string link_flag = "--" + link;
    if (setting.empty()) {
      ::execl(VX3071_METER_EMULATOR, "meter_emulator", link_flag.c_str(), "--model", model.c_str(),
              "--fault", fault.c_str(), "--value", "4321.5", static_cast<char*>(nullptr));
    }
    ::execl(VX3071_METER_EMULATOR, "meter_emulator", link_flag.c_str(), "--model", model.c_str(),
            "--fault", fault.c_str(), "--value", "4321.5", "--line", setting.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  FILE* stream = ::fdopen(out[0], "r");
  char line[256] = {};
  if (std::fgets(line, sizeof line, stream)) {
    std::string text = line;
    text.pop_back();
    if (text.rfind("tcp ", 0) == 0) resource_ = "TCPIP::127.0.0.1::" + text.substr(4) + "::SOCKET";
    if (text.rfind("pty ", 0) == 0) resource_ = "ASRL" + text.substr(4) + "::INSTR";
  }
  std::fclose(stream);
}

Emulator::~Emulator() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

Environment::Environment(const char* name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  ::setenv(name, value.c_str(), 1);
}

Environment::~Environment() {
  if (old_) {
    ::setenv(name_, old_->c_str(), 1);
  } else {
    ::unsetenv(name_);
  }
}

}  // namespace vx::test
