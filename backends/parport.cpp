#include "backends/parport.h"

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "frame/line_protocol.h"

namespace vx::backends {

namespace {

namespace fs = std::filesystem;

class RealSyscalls final : public Syscalls {
 public:
  int open(const std::string& path, int flags) override { return ::open(path.c_str(), flags); }
  int ioctl(int fd, unsigned long request, void* argument) override {
    return ::ioctl(fd, request, argument);
  }
  int close(int fd) override { return ::close(fd); }
};

}  // namespace

std::vector<FoundPort> list_parports(const std::string& root) {
  const fs::path proc = fs::path(root + "/proc/sys/dev/parport");
  std::vector<FoundPort> ports;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(proc, error)) {
    std::ifstream file(entry.path() / "base-addr");
    long base = -1;
    if (file >> base) ports.push_back({entry.path().filename().string(), base});
  }
  std::sort(ports.begin(), ports.end(),
            [](const FoundPort& a, const FoundPort& b) { return a.name < b.name; });
  return ports;
}

namespace {

std::string describe(const std::vector<FoundPort>& ports) {
  std::string text;
  for (const auto& port : ports) {
    if (!text.empty()) text += ", ";
    text += port.name + " at 0x" + port::hex(static_cast<std::uint32_t>(port.base));
  }
  return text;
}

std::string error_text(int error) {
  return std::strerror(error);
}

class ParallelPort final : public port::Port {
 public:
  ParallelPort(std::string name, std::string device, Syscalls& calls)
      : name_(std::move(name)), device_(std::move(device)), calls_(calls) {
    fd_ = calls_.open(device_, O_RDWR);
    if (fd_ < 0) {
      const int error = errno;
      if (error == ENOENT || error == ENODEV || error == ENXIO) {
        throw port::PortError(device_ +
                              " does not exist: load the ppdev driver (sudo modprobe ppdev)");
      }
      if (error == EACCES || error == EPERM) {
        throw port::PortError("permission denied on " + device_ +
                              ": add the user to group lp (sudo usermod -aG lp $USER), then log in "
                              "again");
      }
      throw port::PortError("cannot open " + device_ + ": " + error_text(error));
    }
    if (calls_.ioctl(fd_, PPEXCL, nullptr) < 0) fail_to_claim("PPEXCL");
    if (calls_.ioctl(fd_, PPCLAIM, nullptr) < 0) fail_to_claim("PPCLAIM");
  }

  ~ParallelPort() override {
    calls_.ioctl(fd_, PPRELEASE, nullptr);
    calls_.close(fd_);
  }

  ParallelPort(const ParallelPort&) = delete;
  ParallelPort& operator=(const ParallelPort&) = delete;

  void write16(std::int16_t address, std::int16_t value) override {
    if (address != frame::kDataRegister)
      port::no_such_register("the parallel port " + name_, address);
    unsigned char data = static_cast<unsigned char>(value & 0xFF);
    if (calls_.ioctl(fd_, PPWDATA, &data) < 0) lost("PPWDATA");
  }

  std::int32_t read32(std::int16_t address) override {
    if (address != frame::kStatusRegister)
      port::no_such_register("the parallel port " + name_, address);
    unsigned char status = 0;
    if (calls_.ioctl(fd_, PPRSTATUS, &status) < 0) lost("PPRSTATUS");
    return status;
  }

 private:
  [[noreturn]] void fail_to_claim(const char* call) {
    const int error = errno;
    calls_.close(fd_);
    if (error == EBUSY || error == ENXIO) {
      throw port::PortError(
          name_ + " is held by another driver or program (" + call + ": " + error_text(error) +
          "): most likely the printer driver lp (sudo rmmod lp) or another program "
          "using " +
          device_);
    }
    throw port::PortError("cannot claim " + device_ + " (" + call + ": " + error_text(error) + ")");
  }

  [[noreturn]] void lost(const char* call) {
    const int error = errno;  // before building the message can disturb it
    throw port::PortError(
        "the parallel port " + name_ + " stopped answering (" + call + ": " + error_text(error) +
        "): was it unplugged or its driver unloaded? The next action opens it again");
  }

  std::string name_;
  std::string device_;
  Syscalls& calls_;
  int fd_ = -1;
};

}  // namespace

Syscalls& system_calls() {
  static RealSyscalls calls;
  return calls;
}

std::string find_parport(const std::string& name, const std::string& root) {
  const fs::path proc = fs::path(root + "/proc/sys/dev/parport");
  std::error_code error;
  if (!fs::is_directory(proc, error)) {
    throw port::PortError(
        "this kernel has no parallel-port support loaded (no /proc/sys/dev/parport): load it "
        "with sudo modprobe parport_pc");
  }
  const std::vector<FoundPort> ports = list_parports(root);
  const std::string found =
      ports.empty() ? "the kernel lists no parallel port at all"
                    : "found " + describe(ports) + "; pick one with VX3071_PORT=parport:NAME";
  for (const auto& port : ports) {
    if (name.empty() ? port.base == frame::kDataRegister : port.name == name) return port.name;
  }
  if (!name.empty())
    throw port::PortError("there is no parallel port named " + name + ": " + found);
  throw port::PortError("there is no parallel port at 0x" + port::hex(frame::kDataRegister) + ": " +
                        found);
}

std::unique_ptr<port::Port> open_parport(const std::string& name, const ParportSystem& system) {
  const std::string chosen = find_parport(name, system.root);
  return std::make_unique<ParallelPort>(chosen, system.root + "/dev/" + chosen, system.calls);
}

}  // namespace vx::backends
