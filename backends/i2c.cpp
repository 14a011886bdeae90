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

std::string address_text(std::uint16_t address) {
  return "0x" + port::hex(address);
}

// The real transfer: one I2C_RDWR per frame where the adapter does plain I2C, else one I2C_SMBUS
// command; probes always by I2C_SMBUS, as i2cdetect asks, so that each driver's own smbus_xfer
// decides how to carry them.
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
    offers_ = I2cOffers::from_functions(functions);
    if (!offers_.carries_frames()) {
      ::close(fd_);
      throw port::PortError(
          where(adapter_) +
          " does only SMBus transfers, and neither SMBus Write Byte Data nor Receive Byte, which "
          "would carry the frames: use an adapter that does plain I2C, as most USB bridges and "
          "board buses do");
    }
  }
  ~I2cDev() override { ::close(fd_); }
  I2cDev(const I2cDev&) = delete;
  I2cDev& operator=(const I2cDev&) = delete;

  I2cOffers offers() const override { return offers_; }

  void transfer(I2cMessage& message) override {
    if (!offers_.plain_i2c) return smbus_frame(message);
    i2c_msg kernel{message.address, static_cast<__u16>(message.read ? I2C_M_RD : 0), message.length,
                   message.data};
    i2c_rdwr_ioctl_data data{&kernel, 1};
    if (::ioctl(fd_, I2C_RDWR, &data) < 0) failed(errno, message.address, message.length == 0);
  }

  void probe(std::uint16_t address, I2cProbe how) override {
    if (how == I2cProbe::quick_write) {
      smbus(address, I2C_SMBUS_WRITE, 0, I2C_SMBUS_QUICK, nullptr);
    } else {
      i2c_smbus_data data{};
      smbus(address, I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE, &data);
    }
  }

 private:
  // A frame as the one SMBus command that puts the same bytes on the bus, where there is one.
  void smbus_frame(I2cMessage& message) {
    const std::uint8_t* bytes = message.data;
    i2c_smbus_data data{};
    if (message.read && message.length == 1 && offers_.receive_byte) {
      smbus(message.address, I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE, &data);
      message.data[0] = data.byte;
      return;
    }
    if (!message.read) {
      switch (message.length) {
        case 0:
          if (!offers_.quick_write) break;
          return smbus(message.address, I2C_SMBUS_WRITE, 0, I2C_SMBUS_QUICK, nullptr);
        case 1:
          if (!offers_.send_byte) break;
          return smbus(message.address, I2C_SMBUS_WRITE, bytes[0], I2C_SMBUS_BYTE, nullptr);
        case 2:
          if (!offers_.write_byte_data) break;
          data.byte = bytes[1];
          return smbus(message.address, I2C_SMBUS_WRITE, bytes[0], I2C_SMBUS_BYTE_DATA, &data);
        case 3:
          if (!offers_.write_word_data) break;
          data.word =
              static_cast<__u16>(bytes[1] | bytes[2] << 8);  // SMBus sends the low byte first
          return smbus(message.address, I2C_SMBUS_WRITE, bytes[0], I2C_SMBUS_WORD_DATA, &data);
        default:
          break;
      }
    }
    throw port::PortError(where(adapter_) + " does SMBus only and cannot send a " +
                          (message.read ? "read" : "write") + " of " +
                          std::to_string(message.length) +
                          (message.length == 1 ? " byte" : " bytes") + " to " +
                          address_text(message.address) + "; frames go as " + offers_.form());
  }

  // One I2C_SMBUS call, to `address` set by I2C_SLAVE once it changes.
  void smbus(std::uint16_t address, std::uint8_t read_write, std::uint8_t command,
             std::uint32_t size, i2c_smbus_data* data) {
    if (address != slave_) {
      if (::ioctl(fd_, I2C_SLAVE, static_cast<unsigned long>(address)) < 0) {
        const int error = errno;
        if (error == EBUSY) {
          throw port::PortError("address " + address_text(address) + " on " + where(adapter_) +
                                " is held by a kernel driver (i2cdetect shows it as UU): unbind "
                                "that driver first");
        }
        failed(error, address, false);
      }
      slave_ = address;
    }
    i2c_smbus_ioctl_data request{read_write, command, size, data};
    if (::ioctl(fd_, I2C_SMBUS, &request) < 0) failed(errno, address, size == I2C_SMBUS_QUICK);
  }

  [[noreturn]] void failed(int error, std::uint16_t address, bool zero_length) const {
    if ((error == EOPNOTSUPP || error == EINVAL) && zero_length) {
      throw ZeroLengthRefused(where(adapter_) + " takes no message without data");
    }
    // i2c-stub, the kernel's SMBus-only test adapter, answers an address without a chip so
    // (stub_xfer in drivers/i2c/i2c-stub.c); SMBus-only controllers are not unplugged.
    if (error == ENODEV && !offers_.plain_i2c) error = ENXIO;
    switch (error) {
      case ENXIO:
      case EREMOTEIO:  // adapters differ in how they report a missing acknowledge
        throw port::NoAnswer("no acknowledge from address " + address_text(address) + " on " +
                             where(adapter_) +
                             ": check the device's power, its pull-ups and the wiring");
      case ETIMEDOUT:
      case EIO:  // also what a USB bridge reports when its own transfer fails
        throw port::NoAnswer("no acknowledge from address " + address_text(address) + " on " +
                             where(adapter_) +
                             ", or the adapter failed: check the device's power, its pull-ups "
                             "and the wiring, and that the adapter is plugged in");
      case ENODEV:
      case ESHUTDOWN:
        throw port::PortError("the I2C adapter " + where(adapter_) + " is gone (" +
                              std::strerror(error) +
                              "): was it unplugged? The next action opens it again");
      default:
        throw port::PortError("the transfer to address " + address_text(address) + " on " +
                              where(adapter_) + " failed: " + std::strerror(error));
    }
  }

  I2cAdapter adapter_;
  int fd_ = -1;
  I2cOffers offers_;
  std::uint16_t slave_ = 0xFFFF;  // the address I2C_SLAVE last set; none yet
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

I2cOffers I2cOffers::from_functions(unsigned long functions) {
  I2cOffers offers;
  offers.plain_i2c = (functions & I2C_FUNC_I2C) != 0;
  offers.quick_write = (functions & I2C_FUNC_SMBUS_QUICK) != 0;
  offers.receive_byte = (functions & I2C_FUNC_SMBUS_READ_BYTE) != 0;
  offers.send_byte = (functions & I2C_FUNC_SMBUS_WRITE_BYTE) != 0;
  offers.write_byte_data = (functions & I2C_FUNC_SMBUS_WRITE_BYTE_DATA) != 0;
  offers.write_word_data = (functions & I2C_FUNC_SMBUS_WRITE_WORD_DATA) != 0;
  return offers;
}

std::string I2cOffers::form() const {
  if (plain_i2c) return "plain I2C";
  std::string text;
  const auto add = [&](bool offered, const char* what) {
    if (offered) text += (text.empty() ? "" : ", ") + std::string(what);
  };
  add(write_byte_data, "a write of 2 bytes as Write Byte Data");
  add(send_byte, "of 1 as Send Byte");
  add(write_word_data, "of 3 as Write Word Data");
  add(quick_write, "of none as Quick");
  add(receive_byte, "a read of 1 byte as Receive Byte");
  return text.empty() ? "SMBus only, with no command that carries a frame"
                      : "SMBus commands: " + text;
}

void I2cTransport::probe(std::uint16_t address, I2cProbe how) {
  std::uint8_t byte = 0;
  I2cMessage message{address, how == I2cProbe::receive_byte, &byte,
                     static_cast<std::uint16_t>(how == I2cProbe::receive_byte ? 1 : 0)};
  transfer(message);
}

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
  const I2cOffers can = transport_->offers();
  const bool read_first =
      (address >= 0x30 && address <= 0x37) || (address >= 0x50 && address <= 0x5F);
  try {
    if (!read_first && can.quick_write && !zero_length_refused_) {
      try {
        transport_->probe(address, I2cProbe::quick_write);
        return true;
      } catch (const ZeroLengthRefused&) {
        zero_length_refused_ = true;
      }
    }
    if (!can.receive_byte) return false;
    transport_->probe(address, I2cProbe::receive_byte);
    return true;
  } catch (const port::NoAnswer&) {
    return false;
  }
}

std::string I2cPort::cannot_probe() const {
  const I2cOffers can = transport_->offers();
  if (can.quick_write || can.receive_byte) return {};
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

std::optional<I2cOffers> adapter_offers(int number) {
  const std::string device = "/dev/i2c-" + std::to_string(number);
  const int fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  unsigned long functions = 0;
  const bool asked = ::ioctl(fd, I2C_FUNCS, &functions) == 0;
  ::close(fd);
  if (!asked) return std::nullopt;
  return I2cOffers::from_functions(functions);
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
