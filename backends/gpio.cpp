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
#include <vector>

#include "backends/pin_owner.h"
#include "bus/bring_up.h"
#include "bus/line_driver.h"
#include "frame/line_protocol.h"

namespace vx::backends {

namespace {

namespace fs = std::filesystem;

constexpr const char* kName = "the GPIO back end";
constexpr std::uint64_t kSda = 1 << 0, kScl = 1 << 1, kSense = 1 << 2;  // by place in the request

std::string fixed(const char* text) {
  return std::string(text, strnlen(text, GPIO_MAX_NAME_SIZE));
}

bool whole_number(const std::string& text) {
  return !text.empty() && text.size() <= 4 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// A descriptor this back end owns: closed on every way out, a constructor that throws included,
// so that a failed opening never keeps the lines from the next one.
class OwnedFd {
 public:
  OwnedFd() = default;
  ~OwnedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

// An open chip.
class ChipFd {
 public:
  explicit ChipFd(const std::string& name) : path_("/dev/" + name) {
    fd_.reset(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
  }
  int get() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  std::optional<gpiochip_info> info() const {
    gpiochip_info info{};
    if (get() < 0 || ::ioctl(get(), GPIO_GET_CHIPINFO_IOCTL, &info) < 0) return std::nullopt;
    return info;
  }
  std::optional<gpio_v2_line_info> line(unsigned offset) const {
    gpio_v2_line_info info{};
    info.offset = offset;
    if (::ioctl(get(), GPIO_V2_GET_LINEINFO_IOCTL, &info) < 0) return std::nullopt;
    return info;
  }

 private:
  std::string path_;
  OwnedFd fd_;
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

[[noreturn]] void needs_uapi_v2(const std::string& path) {
  throw port::PortError(path +
                        " does not answer the GPIO character device's second interface (uAPI "
                        "v2): GPIO lines need Linux 5.10 or later");
}

class GpioPort final : public port::Port {
 public:
  GpioPort(const std::string& chip_name, const std::string& sda, const std::string& scl,
           const std::string& sense, std::chrono::microseconds phase)
      : phase_(phase) {
    ChipFd chip(chip_name);
    if (chip.get() < 0) cannot_open(chip.path(), errno);
    where_ = chip.path();
    const auto info = chip.info();
    if (!info)
      throw port::PortError("cannot ask " + where_ + " about its lines: " + std::strerror(errno));
    label_ = fixed(info->label);
    // A kernel before 5.10 knows no v2 call: gpiolib's gpio_ioctl answers EINVAL to a command it
    // does not know, and ENOTTY is what an ioctl unknown to the driver gives elsewhere.
    if (info->lines > 0 && !chip.line(0) && (errno == ENOTTY || errno == EINVAL)) {
      needs_uapi_v2(where_);
    }
    offsets_[0] = find_line(chip, info->lines, sda, "SDA");
    offsets_[1] = find_line(chip, info->lines, scl, "SCL");
    sensing_ = !sense.empty();
    if (sensing_) offsets_[2] = find_line(chip, info->lines, sense, "SENSE");
    where_ = chip_name + " ('" + label_ + "') lines SDA " + std::to_string(offsets_[0]) + ", SCL " +
             std::to_string(offsets_[1]) +
             (sensing_ ? ", SENSE " + std::to_string(offsets_[2]) : "");

    // Pins muxed to another function are not flagged as used, and requesting them would take
    // them from it until a reboot: refused before the request.
    const std::vector<unsigned> asked(offsets_, offsets_ + (sensing_ ? 3 : 2));
    if (const auto owner = pin_owner(chip_name, asked)) throw port::PortError(describe(*owner));

    const int error = request(chip);
    if (error == EBUSY) busy(chip);
    if (error == ENOTTY) needs_uapi_v2(chip.path());
    if (error != 0) {
      throw port::PortError("cannot take " + where_ + ": " + std::strerror(error));
    }
    test_lines();
  }
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

  std::optional<bool> read_scl() override { return scl(); }

 private:
  // Both bus lines as open-drain outputs, released, with pull-up bias: gpiolib takes the bias
  // where the chip has it and goes on without it where not (gpio_set_bias in
  // drivers/gpio/gpiolib.c ignores -ENOTSUPP), so it never refuses for want of it. SENSE is an
  // input. 0 or the errno.
  int request(const ChipFd& chip) {
    gpio_v2_line_request line_request{};
    const unsigned count = sensing_ ? 3 : 2;
    std::copy(offsets_, offsets_ + count, line_request.offsets);
    std::strncpy(line_request.consumer, "vx3071", GPIO_MAX_NAME_SIZE - 1);
    line_request.num_lines = count;
    gpio_v2_line_config& config = line_request.config;
    config.flags =
        GPIO_V2_LINE_FLAG_OUTPUT | GPIO_V2_LINE_FLAG_OPEN_DRAIN | GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
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
    lines_.reset(line_request.fd);
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
            "Raspberry Pi, the i2c-gpio overlay), or pick other lines");
      }
    }
    throw port::PortError("the lines of " + where_ + " are in use by another program or driver");
  }

  // The kernel's i2c-algo-bit test_bus(), through the bus layer at the phase in force: nothing
  // else, so that bring-up (check, scan) can run on a board whose device is missing or strapped
  // elsewhere. A released open-drain line is an input and reads the pin on every chip, native
  // open drain or emulated (gpio_set_open_drain_value_commit in drivers/gpio/gpiolib.c), so the
  // lines themselves show a wiring fault; a missing device shows as a missing acknowledge at the
  // first command that asks for one.
  void test_lines() {
    port::PortAccess access(port::borrowed(*this), {}, phase_);
    bus::LineDriver driver(access);
    const bus::LineFault fault = bus::describe(bus::test_lines(driver));
    if (!fault.seen.empty()) throw port::PortError(where_ + ": " + fault.seen + ": " + fault.fix);
  }

  // gpiolib sets open-drain lines one at a time, in the order of the request, SDA first
  // (gpiod_set_array_value_complex). So a code that moves both lines goes out as two changes,
  // as i2c-algo-bit never moves both: SCL first when it falls, SDA first when it rises, so that
  // SDA never changes while SCL is high. Each change lasts a phase.
  void set_lines(bool scl, bool sda) {
    if (scl != scl_ && sda != sda_) {
      if (scl_) {
        set(kScl, scl ? kScl : 0);
      } else {
        set(kSda, sda ? kSda : 0);
      }
      if (phase_.count() > 0) port::wait_until(port::Clock::now() + phase_);
    }
    set(kSda | kScl, (sda ? kSda : 0) | (scl ? kScl : 0));
    scl_ = scl;
    sda_ = sda;
  }

  void set(std::uint64_t mask, std::uint64_t bits) {
    gpio_v2_line_values values{bits, mask};
    if (::ioctl(lines_.get(), GPIO_V2_LINE_SET_VALUES_IOCTL, &values) < 0) lost("setting");
  }

  std::uint64_t get(std::uint64_t mask) {
    gpio_v2_line_values values{0, mask};
    if (::ioctl(lines_.get(), GPIO_V2_LINE_GET_VALUES_IOCTL, &values) < 0) lost("reading");
    return values.bits;
  }
  bool sda() {
    const std::uint64_t line = sensing_ ? kSense : kSda;
    return (get(line) & line) != 0;
  }
  // A released open-drain line is an input (gpio_set_open_drain_value_commit), so it reads the
  // pin.
  bool scl() { return (get(kScl) & kScl) != 0; }

  [[noreturn]] void lost(const char* doing) {
    const int error = errno;
    if (error == ENODEV) {
      throw port::PortError("the GPIO chip of " + where_ + " is gone (" + std::strerror(error) +
                            "): was it unplugged? The next action opens it again");
    }
    throw port::PortError(std::string(doing) + " " + where_ + " failed: " + std::strerror(error));
  }

  std::chrono::microseconds phase_;
  std::string where_;
  std::string label_;
  unsigned offsets_[3] = {};
  bool sensing_ = false;
  bool scl_ = true, sda_ = true;  // as last set: released at the request
  OwnedFd lines_;
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

std::optional<GpioChoice> parse_gpio_choice(const std::string& choice) {
  const std::size_t colon = choice.rfind(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  std::vector<std::string> lines;
  const std::string rest = choice.substr(colon + 1);
  for (std::size_t start = 0;;) {
    const std::size_t comma = rest.find(',', start);
    lines.push_back(rest.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (lines.size() < 2 || lines.size() > 3 ||
      std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.empty(); })) {
    return std::nullopt;
  }
  return GpioChoice{choice.substr(0, colon), lines[0], lines[1], lines.size() == 3 ? lines[2] : ""};
}

std::string gpio_choice_usage(const std::string& choice) {
  return "the GPIO port " + port::quoted(choice) +
         " is not CHIP:SDA,SCL[,SENSE], as in gpio:gpiochip0:2,3";
}

std::unique_ptr<port::Port> open_gpio(const std::string& choice, std::chrono::microseconds phase) {
  const auto parsed = parse_gpio_choice(choice);
  if (!parsed) throw port::PortError(gpio_choice_usage(choice));
  return std::make_unique<GpioPort>(find_chip(parsed->chip), parsed->sda, parsed->scl,
                                    parsed->sense, phase);
}

}  // namespace vx::backends
