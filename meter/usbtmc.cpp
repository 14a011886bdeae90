#include <fcntl.h>
#include <linux/usb/tmc.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "meter/transport.h"

namespace vx::meter {

namespace {

namespace fs = std::filesystem;

// The kernel's usbtmc driver refuses a time-out under 100 ms (USBTMC_MIN_TIMEOUT in
// drivers/usb/class/usbtmc.c, usbtmc_ioctl_set_timeout).
constexpr int kShortestTimeoutMs = 100;

std::string attribute(const fs::path& device, const char* name) {
  std::ifstream in(device / name);
  std::string value;
  std::getline(in, value);
  return value;
}

unsigned hex(const std::string& text) {
  try {
    return static_cast<unsigned>(std::stoul(text, nullptr, 16));
  } catch (const std::exception&) {
    return 0x10000;  // matches no id
  }
}

// The node the kernel made for the resource's instrument.
std::string node_of(const Resource& resource) {
  const std::vector<UsbtmcInstrument> instruments = usbtmc_instruments();
  for (const UsbtmcInstrument& i : instruments) {
    if (hex(i.vendor) == resource.vendor && hex(i.product) == resource.product &&
        i.serial == resource.serial_number) {
      return "/dev/" + i.node;
    }
  }
  throw MeterError("no USBTMC instrument is " + resource.text +
                   (instruments.empty()
                        ? std::string(": the kernel shows none (is it plugged in, and is the "
                                      "usbtmc module loaded?)")
                        : ": the kernel's USBTMC nodes are for other instruments"));
}

// USBTMC through the kernel's usbtmc driver: each write one message, each read one whole answer,
// the driver's own time-out set for each exchange, and its clear after a time-out.
class Usbtmc final : public Transport {
 public:
  explicit Usbtmc(const Resource& resource) : resource_(resource) {
    path_ = node_of(resource);
    fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
      const int error = errno;
      throw MeterError(
          "cannot open " + path_ + " for " + resource.text + ": " + std::strerror(error) +
          (error == EACCES ? " (install a udev rule that gives it to your group)" : ""));
    }
  }
  ~Usbtmc() override { ::close(fd_); }

  void send(const std::string& line, Clock::time_point deadline) override {
    set_timeout(deadline);
    const std::string message = line + "\n";
    if (::write(fd_, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
      failed("sending \"" + line + "\"");
    }
  }

  std::string receive(Clock::time_point deadline) override {
    set_timeout(deadline);
    std::string message(64 * 1024, '\0');
    const ssize_t n = ::read(fd_, message.data(), message.size());
    if (n < 0) failed("reading");
    message.resize(static_cast<std::size_t>(n));
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
      message.pop_back();
    }
    return message;
  }

  void clear() override { ::ioctl(fd_, USBTMC_IOCTL_CLEAR); }
  // USB488's GOTO_LOCAL request, through the driver's usbtmc488_ioctl_simple
  // (drivers/usb/class/usbtmc.c), which refuses it (EINVAL) where the interface lacks USB488's
  // simple capability: then there is no way back but the front panel's Local key.
  void go_to_local(Clock::time_point) override { ::ioctl(fd_, USBTMC488_IOCTL_GOTO_LOCAL); }
  std::string where() const override {
    return "the meter at " + resource_.text + " (" + path_ + ")";
  }

 private:
  void set_timeout(Clock::time_point deadline) {
    __u32 ms = static_cast<__u32>(milliseconds_left(deadline, kShortestTimeoutMs));
    if (::ioctl(fd_, USBTMC_IOCTL_SET_TIMEOUT, &ms) < 0) failed("setting its time-out");
  }

  [[noreturn]] void failed(const std::string& doing) {
    const int error = errno;
    if (error == ETIMEDOUT) throw MeterTimeout(where() + " did not answer in time");
    if (error == ENODEV || error == ESHUTDOWN) {
      throw MeterError(where() + " is gone (" + std::strerror(error) + "): was it unplugged?");
    }
    throw MeterError(where() + ": " + doing + " failed: " + std::strerror(error));
  }

  Resource resource_;
  std::string path_;
  int fd_ = -1;
};

}  // namespace

std::vector<UsbtmcInstrument> usbtmc_instruments() {
  std::vector<UsbtmcInstrument> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/sys/class/usbmisc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("usbtmc", 0) != 0) continue;
    const fs::path device = entry.path() / "device" / "..";
    found.push_back({name, attribute(device, "idVendor"), attribute(device, "idProduct"),
                     attribute(device, "serial")});
  }
  std::sort(found.begin(), found.end(),
            [](const UsbtmcInstrument& a, const UsbtmcInstrument& b) { return a.node < b.node; });
  return found;
}

std::unique_ptr<Transport> open_usbtmc(const Resource& resource) {
  return std::make_unique<Usbtmc>(resource);
}

}  // namespace vx::meter
