#include "support/meter_emulation.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace vx::test {

Emulator::Emulator(const std::string& link, const std::string& model, const std::string& fault,
                   const std::string& setting, const std::string& log) {
  int out[2];
  if (::pipe(out) != 0) return;
  std::vector<std::string> args = {"meter_emulator", "--" + link, "--model", model,
                                   "--fault",        fault,       "--value", "4321.5"};
  if (!setting.empty()) args.insert(args.end(), {"--line", setting});
  if (!log.empty()) args.insert(args.end(), {"--log", log});
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    ::execv(VX3071_METER_EMULATOR, argv.data());
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
