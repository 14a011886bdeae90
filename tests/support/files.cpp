#include "support/files.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vx::test {

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool have_sigrok() {
  return std::system("command -v sigrok-cli >/dev/null 2>&1") == 0;
}

std::vector<std::string> sigrok_i2c(const std::filesystem::path& vcd) {
  const std::string command = "sigrok-cli -I vcd -i '" + vcd.string() +
                              "' -P i2c:scl=SCL:sda=SDA -A i2c=start:repeat-start:stop:ack:nack:"
                              "address-read:address-write:data-read:data-write 2>&1";
  std::vector<std::string> lines;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return lines;
  std::array<char, 512> buffer{};
  while (std::fgets(buffer.data(), buffer.size(), pipe)) {
    std::string line(buffer.data());
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.rfind("i2c-1: ", 0) == 0) line.erase(0, 7);
    if (line != "Read" && line != "Write") lines.push_back(line);  // the address's R/W bit again
  }
  ::pclose(pipe);
  return lines;
}

}  // namespace vx::test
