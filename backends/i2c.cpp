#include "backends/i2c.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

namespace vx::backends {

namespace {

namespace fs = std::filesystem;

constexpr const char* kName = "the I2C back end";

std::string clocks(int count) {
  return std::to_string(count) + (count == 1 ? " clock" : " clocks");
}

std::string where(const I2cAdapter& adapter) {
  return "'" + adapter.name + "' (/dev/i2c-" + std::to_string(adapter.number) + ")";
}

// The real transfer: one I2C_RDWR per frame.
class I2cDev final : public I2cTransport {
 public:
  explicit I2cDev(I2cAdapter adapter) : adapter_(std::move(adapter)) {
    const std::string device = "/dev/i2c-" + std::to_string(adapter_.number);
    fd_ = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
      const int error = errno;
      if (error == ENOENT || error == ENODEV || error == ENXIO) {
        throw port::PortError(
            device + " does not exist: load the i2c-dev module (sudo modprobe i2c-dev)" +
            (error == ENOENT ? "" : std::string(", or plug the adapter in again")));
      }
      if (error == EACCES || error == EPERM) {
        throw port::PortError(
            "permission denied on " + device +
            ": join group i2c (sudo usermod -aG i2c $USER; Debian's i2c-tools makes "
            "the group), then log in again");
      }
      throw port::PortError("cannot open " + device + ": " + std::strerror(error));
    }
    unsigned long functions = 0;
    if (::ioctl(fd_, I2C_FUNCS, &functions) < 0) {
      const int error = errno;
      ::close(fd_);
      throw port::PortError("cannot ask " + where(adapter_) +
                            " what it can do (I2C_FUNCS: " + std::strerror(error) + ")");
    }
    probes_ = {(functions & I2C_FUNC_SMBUS_QUICK) != 0,
               (functions & I2C_FUNC_SMBUS_READ_BYTE) != 0};
    if ((functions & I2C_FUNC_I2C) == 0) {
      ::close(fd_);
      throw port::PortError(
          where(adapter_) +
          " does only SMBus transfers, not plain I2C messages: the panel needs an "
          "adapter that does plain I2C, as most USB bridges and board buses do");
    }
  }
  ~I2cDev() override { ::close(fd_); }
  I2cProbes probes() const override { return probes_; }
  I2cDev(const I2cDev&) = delete;
  I2cDev& operator=(const I2cDev&) = delete;

  void transfer(I2cMessage& message) override {
    i2c_msg kernel{message.address, static_cast<__u16>(message.read ? I2C_M_RD : 0), message.length,
                   message.data};
    i2c_rdwr_ioctl_data data{&kernel, 1};
    if (::ioctl(fd_, I2C_RDWR, &data) >= 0) return;
    const int error = errno;
    const std::string address = "0x" + port::hex(message.address);
    if ((error == EOPNOTSUPP || error == EINVAL) && message.length == 0) {
      throw ZeroLengthRefused(where(adapter_) + " takes no message without data");
    }
    switch (error) {
      case ENXIO:
      case EREMOTEIO:  // adapters differ in how they report a missing acknowledge
        throw port::NoAnswer("no acknowledge from address " + address + " on " + where(adapter_) +
                             ": check the device's power, its pull-ups and the wiring");
      case ETIMEDOUT:
      case EIO:  // also what a USB bridge reports when its own transfer fails
        throw port::NoAnswer("no acknowledge from address " + address + " on " + where(adapter_) +
                             ", or the adapter failed: check the device's power, its pull-ups "
                             "and the wiring, and that the adapter is plugged in");
      case ENODEV:
      case ESHUTDOWN:
        throw port::PortError("the I2C adapter " + where(adapter_) + " is gone (" +
                              std::strerror(error) +
                              "): was it unplugged? The next action opens it again");
      default:
        throw port::PortError("the transfer to address " + address + " on " + where(adapter_) +
                              " failed: " + std::strerror(error));
    }
  }

 private:
  I2cAdapter adapter_;
  int fd_ = -1;
  I2cProbes probes_;
};

std::string describe(const std::vector<I2cAdapter>& adapters,
                     const char* lead = "the adapters are") {
  if (adapters.empty()) {
    return "the kernel lists no I2C adapter in /sys/class/i2c-dev (load the i2c-dev module: "
           "sudo modprobe i2c-dev)";
  }
  std::string text = lead;
  for (const auto& adapter : adapters) {
    text += (&adapter == &adapters.front() ? " " : ", ") + std::to_string(adapter.number) + " '" +
            adapter.name + "'";
  }
  return text;
}

}  // namespace

I2cPort::I2cPort(std::unique_ptr<I2cTransport> transport) : transport_(std::move(transport)) {}

void I2cPort::write16(std::int16_t address, std::int16_t value) {
  if (address != frame::kDataRegister) port::no_such_register(kName, address);
  lines_.set(frame::scl_of(value), frame::sda_drive_of(value), *this);
}

std::int32_t I2cPort::read32(std::int16_t address) {
  if (address != frame::kStatusRegister) port::no_such_register(kName, address);
  bool sda = lines_.sda();
  // A write address's acknowledge slot, sampled with SCL high: a probe of who is there.
  const bool ack_slot = in_frame_ && count_ == 1 && bits_ == frame::kClocksPerByte && lines_.scl();
  if (ack_slot && (bytes_[0] & 1) == 0) {
    if (!probed_) answered_ = probe(static_cast<std::uint16_t>(bytes_[0] >> 1));
    probed_ = true;
    return frame::status_for(!answered_);
  }
  const int clocks = bits_ - frame::kClocksPerByte;  // of the data byte, while reading
  if (in_frame_ && reading() && clocks < 8) {
    if (!byte_read_) {
      I2cMessage message{static_cast<std::uint16_t>(bytes_[0] >> 1), true, &read_byte_, 1};
      transport_->transfer(message);
      byte_read_ = true;
    }
    sda = (read_byte_ >> (7 - clocks) & 1) != 0;
  }
  return frame::status_for(sda);
}

void I2cPort::on_start() {
  if (in_frame_ && bits_ > 0) {
    unfit("a START " + clocks(bits_) + " into a frame: repeated STARTs are not carried out");
  }
  in_frame_ = true;
  bits_ = 0;
  shift_ = 0;
  count_ = 0;
  byte_read_ = false;
  probed_ = false;
}

// As i2cdetect's default: a read where a write could upset a device (EEPROMs at 0x50-0x5F take
// a write of no data as the start of a write; 0x30-0x37 are often write-protect switches), else a
// write of no data. Each only where the adapter offers it (i2cdetect skips the address where not);
// where a write of no data is not offered or was refused, a read instead, so a device on a bridge
// such as the CP2112 or the FT260 is still found.
bool I2cPort::probe(std::uint16_t address) {
  const I2cProbes can = transport_->probes();
  const bool read_first =
      (address >= 0x30 && address <= 0x37) || (address >= 0x50 && address <= 0x5F);
  try {
    if (!read_first && can.quick_write && !zero_length_refused_) {
      try {
        I2cMessage quick{address, false, nullptr, 0};
        transport_->transfer(quick);
        return true;
      } catch (const ZeroLengthRefused&) {
        zero_length_refused_ = true;
      }
    }
    if (!can.read_byte) return false;
    std::uint8_t byte = 0;
    I2cMessage read{address, true, &byte, 1};
    transport_->transfer(read);
    return true;
  } catch (const port::NoAnswer&) {
    return false;
  }
}

std::string I2cPort::cannot_probe() const {
  const I2cProbes can = transport_->probes();
  if (can.quick_write || can.read_byte) return {};
  return "the adapter offers neither a write of no data (SMBus Quick) nor a one-byte read (SMBus "
         "Receive Byte) in its I2C_FUNCS, the two ways i2cdetect asks";
}

void I2cPort::on_rising() {
  if (!in_frame_) return;
  const int slot = bits_++ % frame::kClocksPerByte;  // 0..7 data, 8 the acknowledge slot
  if (slot == 8) return;                             // whoever acknowledges, the adapter sees to it
  shift_ = static_cast<std::uint8_t>(shift_ << 1 | (lines_.sda() ? 1 : 0));
  if (slot < 7) return;
  if (count_ == kMaxFrameBytes) {
    unfit("a frame longer than " + std::to_string(kMaxFrameBytes) + " bytes");
  }
  if (byte_read_ && count_ == 2) unfit("a read frame clocking past its one byte");
  bytes_[count_++] = shift_;
  shift_ = 0;
}

void I2cPort::on_stop() {
  if (!in_frame_) return;
  in_frame_ = false;
  if (bits_ == 0) return;  // START and STOP alone, as a bus clear ends
  // A STOP comes with SCL high: right after an acknowledge clock, or after the one rising edge
  // that leads into it, which a device takes for the start of a bit the STOP then cancels.
  if (const int into_byte = bits_ % frame::kClocksPerByte; into_byte > 1) {
    unfit("a STOP " + clocks(into_byte) + " into a byte");
  }
  if (count_ == 0) unfit("a STOP " + clocks(bits_) + " after its START");
  if (byte_read_) return;
  if (probed_) {
    if (count_ > 1) unfit("a write frame that goes on after its address was asked");
    return;
  }
  const auto address = static_cast<std::uint16_t>(bytes_[0] >> 1);
  const auto length = static_cast<std::uint16_t>(count_ - 1);
  I2cMessage message{address, (bytes_[0] & 1) != 0, bytes_.data() + 1, length};
  // Read bytes nobody sampled land in the frame's own buffer, discarded.
  transport_->transfer(message);
}

void I2cPort::unfit(const std::string& what) const {
  throw port::PortError("the I2C back end cannot carry this out: " + what +
                        "; it carries whole frames of START, address, bytes and STOP");
}

std::vector<I2cAdapter> list_i2c_adapters() {
  std::vector<I2cAdapter> adapters;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/sys/class/i2c-dev", error)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind("i2c-", 0) != 0) continue;
    int number = -1;
    try {
      std::size_t used = 0;
      number = std::stoi(file.substr(4), &used);
      if (used != file.size() - 4) continue;
    } catch (const std::exception&) {
      continue;
    }
    std::ifstream in(entry.path() / "name");
    std::string name;
    std::getline(in, name);
    adapters.push_back({number, name});
  }
  std::sort(adapters.begin(), adapters.end(),
            [](const I2cAdapter& a, const I2cAdapter& b) { return a.number < b.number; });
  return adapters;
}

std::optional<bool> does_plain_i2c(int number) {
  const std::string device = "/dev/i2c-" + std::to_string(number);
  const int fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  unsigned long functions = 0;
  const bool asked = ::ioctl(fd, I2C_FUNCS, &functions) == 0;
  ::close(fd);
  if (!asked) return std::nullopt;
  return (functions & I2C_FUNC_I2C) != 0;
}

I2cAdapter find_i2c_adapter(const std::string& choice) {
  const std::vector<I2cAdapter> adapters = list_i2c_adapters();
  const bool by_number = !choice.empty() && choice.size() <= 6 &&
                         choice.find_first_not_of("0123456789") == std::string::npos;
  if (by_number) {
    const int number = std::stoi(choice);
    for (const auto& adapter : adapters) {
      if (adapter.number == number) return adapter;
    }
    // The node may be there without its /sys entry: opening it says what is wrong.
    return {number, "i2c-" + choice};
  }
  std::vector<I2cAdapter> matches;
  std::copy_if(adapters.begin(), adapters.end(), std::back_inserter(matches),
               [&](const I2cAdapter& adapter) { return adapter.name == choice; });
  if (matches.size() == 1) return matches.front();
  if (matches.empty() && !choice.empty()) {
    std::copy_if(adapters.begin(), adapters.end(), std::back_inserter(matches),
                 [&](const I2cAdapter& adapter) { return adapter.name.rfind(choice, 0) == 0; });
    if (matches.size() == 1) return matches.front();
  }
  if (matches.empty()) {
    throw port::PortError("no I2C adapter is named " + port::quoted(choice) + ": " +
                          describe(adapters) + "; pick one by number with VX3071_PORT=i2c:N");
  }
  throw port::PortError("several I2C adapters are named " + port::quoted(choice) + ": " +
                        describe(matches, "they are") +
                        "; name one by more of its name or by number (VX3071_PORT=i2c:N)");
}

std::unique_ptr<port::Port> open_i2c(const std::string& choice) {
  return std::make_unique<I2cPort>(std::make_unique<I2cDev>(find_i2c_adapter(choice)));
}

}  // namespace vx::backends
