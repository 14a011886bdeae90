#include "backends/gpio.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>

#include "frame/device_address.h"
#include "frame/line_protocol.h"

namespace vx::backends {

namespace {

namespace fs = std::filesystem;

constexpr const char* kName = "the GPIO back end";
constexpr std::uint64_t kSda = 1 << 0, kScl = 1 << 1, kSense = 1 << 2;  // by place in the request
constexpr int kEnotsupp = 524;  // the kernel's own "not supported", seen by callers as is

std::string fixed(const char* text) {
  return std::string(text, strnlen(text, GPIO_MAX_NAME_SIZE));
}

bool whole_number(const std::string& text) {
  return !text.empty() && text.size() <= 4 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// An open chip: its descriptor, closed on every way out.
class ChipFd {
 public:
  explicit ChipFd(const std::string& name) : path_("/dev/" + name) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  }
  ~ChipFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ChipFd(const ChipFd&) = delete;
  ChipFd& operator=(const ChipFd&) = delete;
  int get() const { return fd_; }
  const std::string& path() const { return path_; }
  std::optional<gpiochip_info> info() const {
    gpiochip_info info{};
    if (fd_ < 0 || ::ioctl(fd_, GPIO_GET_CHIPINFO_IOCTL, &info) < 0) return std::nullopt;
    return info;
  }
  std::optional<gpio_v2_line_info> line(unsigned offset) const {
    gpio_v2_line_info info{};
    info.offset = offset;
    if (::ioctl(fd_, GPIO_V2_GET_LINEINFO_IOCTL, &info) < 0) return std::nullopt;
    return info;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

[[noreturn]] void cannot_open(const std::string& path, int error) {
  if (error == ENOENT || error == ENODEV || error == ENXIO) {
    throw port::PortError(path +
                          " does not exist: check the chip's name (vx3071 ports lists them), "
                          "or plug the adapter in again");
  }
  if (error == EACCES || error == EPERM) {
    throw port::PortError(
        "permission denied on " + path +
        ": Debian gives GPIO chips to root only; install the udev rule from the "
        "README (group gpio), join the group (sudo usermod -aG gpio $USER), then log "
        "in again");
  }
  throw port::PortError("cannot open " + path + ": " + std::strerror(error));
}

std::string describe(const std::vector<GpioChip>& chips) {
  if (chips.empty()) return "there is no GPIO chip in /dev";
  std::string text = "the chips are";
  for (const auto& chip : chips) {
    text += (&chip == &chips.front() ? " " : ", ") + chip.name + " '" + chip.label + "'";
  }
  return text;
}

// The chip `choice` names: a device name under /dev, or a label, matched exactly.
std::string find_chip(const std::string& choice) {
  const std::vector<GpioChip> chips = list_gpio_chips();
  std::vector<std::string> matches;
  for (const auto& chip : chips) {
    if (chip.name == choice) return chip.name;
    if (chip.label == choice) matches.push_back(chip.name);
  }
  if (matches.size() == 1) return matches.front();
  if (matches.empty() && choice.rfind("gpiochip", 0) == 0) return choice;  // opening says why not
  throw port::PortError(
      std::string(matches.empty() ? "no GPIO chip is named " : "several GPIO chips are labelled ") +
      port::quoted(choice) + ": " + describe(chips));
}

unsigned find_line(const ChipFd& chip, unsigned lines, const std::string& choice,
                   const char* role) {
  if (whole_number(choice)) {
    const auto offset = static_cast<unsigned>(std::stoul(choice));
    if (offset < lines) return offset;
    throw port::PortError(std::string(role) + " line " + choice + " is not on " + chip.path() +
                          ", which has lines 0 to " + std::to_string(lines - 1));
  }
  std::vector<unsigned> matches;
  for (unsigned offset = 0; offset < lines; ++offset) {
    const auto info = chip.line(offset);
    if (info && fixed(info->name) == choice) matches.push_back(offset);
  }
  if (matches.size() == 1) return matches.front();
  throw port::PortError(std::string(matches.empty() ? "no line of " : "several lines of ") +
                        chip.path() + " are named " + port::quoted(choice) + " (for " + role +
                        "): name the line by its offset, 0 to " + std::to_string(lines - 1));
}

class GpioPort final : public port::Port {
 public:
  GpioPort(const std::string& chip_name, const std::string& sda, const std::string& scl,
           const std::string& sense) {
    ChipFd chip(chip_name);
    if (chip.get() < 0) cannot_open(chip.path(), errno);
    where_ = chip.path();
    const auto info = chip.info();
    if (!info)
      throw port::PortError("cannot ask " + where_ + " about its lines: " + std::strerror(errno));
    label_ = fixed(info->label);
    offsets_[0] = find_line(chip, info->lines, sda, "SDA");
    offsets_[1] = find_line(chip, info->lines, scl, "SCL");
    sensing_ = !sense.empty();
    if (sensing_) offsets_[2] = find_line(chip, info->lines, sense, "SENSE");
    where_ = chip_name + " ('" + label_ + "') lines SDA " + std::to_string(offsets_[0]) + ", SCL " +
             std::to_string(offsets_[1]) +
             (sensing_ ? ", SENSE " + std::to_string(offsets_[2]) : "");

    pull_up_ = true;
    int error = request(chip, true);
    if (error == EINVAL || error == EOPNOTSUPP || error == kEnotsupp) {
      pull_up_ = false;  // the chip has no bias to offer: the board must bring its own pull-ups
      error = request(chip, false);
    }
    if (error == EBUSY) busy(chip);
    if (error != 0) {
      throw port::PortError("cannot take " + where_ + ": " + std::strerror(error));
    }
    probe();
  }
  ~GpioPort() override { ::close(lines_fd_); }
  GpioPort(const GpioPort&) = delete;
  GpioPort& operator=(const GpioPort&) = delete;

  void write16(std::int16_t address, std::int16_t value) override {
    if (address != frame::kDataRegister) port::no_such_register(kName, address);
    set_lines(frame::scl_of(value), frame::sda_drive_of(value));
  }

  std::int32_t read32(std::int16_t address) override {
    if (address != frame::kStatusRegister) port::no_such_register(kName, address);
    return frame::status_for(sda());
  }

 private:
  // Both bus lines as open-drain outputs, released; SENSE an input. 0 or the errno.
  int request(const ChipFd& chip, bool with_pull_up) {
    gpio_v2_line_request line_request{};
    const unsigned count = sensing_ ? 3 : 2;
    std::copy(offsets_, offsets_ + count, line_request.offsets);
    std::strncpy(line_request.consumer, "vx3071", GPIO_MAX_NAME_SIZE - 1);
    line_request.num_lines = count;
    gpio_v2_line_config& config = line_request.config;
    config.flags = GPIO_V2_LINE_FLAG_OUTPUT | GPIO_V2_LINE_FLAG_OPEN_DRAIN |
                   (with_pull_up ? GPIO_V2_LINE_FLAG_BIAS_PULL_UP : 0);
    config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    config.attrs[0].attr.values = kSda | kScl;
    config.attrs[0].mask = kSda | kScl;
    config.num_attrs = 1;
    if (sensing_) {
      config.attrs[1].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
      config.attrs[1].attr.flags = GPIO_V2_LINE_FLAG_INPUT;
      config.attrs[1].mask = kSense;
      config.num_attrs = 2;
    }
    if (::ioctl(chip.get(), GPIO_V2_GET_LINE_IOCTL, &line_request) < 0) return errno;
    lines_fd_ = line_request.fd;
    return 0;
  }

  [[noreturn]] void busy(const ChipFd& chip) {
    for (unsigned offset : {offsets_[0], offsets_[1]}) {
      const auto info = chip.line(offset);
      if (info && (info->flags & GPIO_V2_LINE_FLAG_USED) != 0) {
        throw port::PortError(
            "line " + std::to_string(offset) + " of " + chip.path() + " is in use by " +
            port::quoted(fixed(info->consumer)) +
            ": stop that program or unload the driver or overlay that holds it (on a "
            "Raspberry Pi, the i2c-gpio overlay or i2c_arm), or pick other lines");
      }
    }
    throw port::PortError("the lines of " + where_ + " are in use by another program or driver");
  }

  // An address-only frame to the VX3071 whose acknowledge slot is read with SDA released: only
  // the device can pull SDA low there.
  void probe() {
    const std::uint8_t address = frame::kWriteAddressByte;
    step(true, false);  // START
    for (int bit = 7; bit >= 0; --bit) {
      const bool one = (address >> bit & 1) != 0;
      step(false, one);
      step(true, one);
    }
    step(false, true);
    step(true, true);
    const bool acknowledged = !sda();
    step(false, false);  // STOP
    step(true, false);
    step(true, true);
    if (acknowledged) return;
    std::string advice = "no acknowledge from the VX3071 (address 0x" +
                         port::hex(frame::kDeviceAddress) + ") on " + where_ +
                         ": check the device's power, the wiring and the pull-ups";
    if (!pull_up_) advice += " (this chip offers no pull-up bias: fit resistors on SDA and SCL)";
    if (!sensing_) {
      advice +=
          ". If all that is right, this chip may read back its own output rather than the "
          "pin: wire an input line to SDA and name it as SENSE (gpio:CHIP:SDA,SCL,SENSE)";
    }
    throw port::PortError(advice);
  }

  // One probe step, at standard-mode pace.
  void step(bool scl, bool sda) {
    set_lines(scl, sda);
    std::this_thread::sleep_for(std::chrono::microseconds(5));
  }

  void set_lines(bool scl, bool sda) {
    gpio_v2_line_values values{(sda ? kSda : 0) | (scl ? kScl : 0), kSda | kScl};
    if (::ioctl(lines_fd_, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) < 0) lost("setting");
  }

  bool sda() {
    const std::uint64_t line = sensing_ ? kSense : kSda;
    gpio_v2_line_values values{0, line};
    if (::ioctl(lines_fd_, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) < 0) lost("reading");
    return (values.bits & line) != 0;
  }

  [[noreturn]] void lost(const char* doing) {
    const int error = errno;
    if (error == ENODEV) {
      throw port::PortError("the GPIO chip of " + where_ + " is gone (" + std::strerror(error) +
                            "): was it unplugged? The next action opens it again");
    }
    throw port::PortError(std::string(doing) + " " + where_ + " failed: " + std::strerror(error));
  }

  std::string where_;
  std::string label_;
  unsigned offsets_[3] = {};
  bool sensing_ = false;
  bool pull_up_ = true;
  int lines_fd_ = -1;
};

}  // namespace

std::vector<GpioChip> list_gpio_chips() {
  std::vector<GpioChip> chips;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/dev", error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("gpiochip", 0) != 0 || !whole_number(name.substr(8))) continue;
    GpioChip chip{name, "", 0};
    if (const auto info = ChipFd(name).info()) {
      chip.label = fixed(info->label);
      chip.lines = info->lines;
    }
    chips.push_back(chip);
  }
  std::sort(chips.begin(), chips.end(), [](const GpioChip& a, const GpioChip& b) {
    return std::stoi(a.name.substr(8)) < std::stoi(b.name.substr(8));
  });
  return chips;
}

std::unique_ptr<port::Port> open_gpio(const std::string& choice) {
  const std::size_t colon = choice.rfind(':');
  auto usage = [&] {
    return port::PortError("the GPIO port " + port::quoted(choice) +
                           " is not CHIP:SDA,SCL[,SENSE], as in gpio:gpiochip0:2,3");
  };
  if (colon == std::string::npos || colon == 0) throw usage();
  std::vector<std::string> lines;
  std::string rest = choice.substr(colon + 1);
  for (std::size_t start = 0;;) {
    const std::size_t comma = rest.find(',', start);
    lines.push_back(rest.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (lines.size() < 2 || lines.size() > 3 ||
      std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.empty(); })) {
    throw usage();
  }
  const std::string chip = find_chip(choice.substr(0, colon));
  return std::make_unique<GpioPort>(chip, lines[0], lines[1], lines.size() == 3 ? lines[2] : "");
}

}  // namespace vx::backends
