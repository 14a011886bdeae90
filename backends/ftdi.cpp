#include "backends/ftdi.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <array>

#include "frame/line_protocol.h"

namespace vx::backends {

namespace {

constexpr const char* kName = "the FTDI back end";
// ADBUS0 (SDA drive) and ADBUS1 (SCL) are outputs, the rest inputs: the line-code bits are pins.
constexpr unsigned char kOutputs = frame::kSdaDriveBit | frame::kSclBit;
constexpr unsigned char kLatencyMs = 1;
// Bytes written before their echoes are read back: within every supported chip's receive buffer
// (128 bytes on the FT232R), so that echoes never overflow it.
constexpr std::size_t kChunk = 64;
constexpr int kReadTries = 1000;
constexpr long kSlowestBaudrate =
    184;  // reads that may come back empty before the chip counts as gone

class Libftdi final : public FtdiCalls {
 public:
  Libftdi() : ftdi_(ftdi_new()) {}
  ~Libftdi() override {
    if (ftdi_) ftdi_free(ftdi_);  // closes the chip if open
  }
  Libftdi(const Libftdi&) = delete;
  Libftdi& operator=(const Libftdi&) = delete;

  int find_all(std::vector<FtdiChip>& chips) override {
    if (!ftdi_) return -100;
    ftdi_device_list* list = nullptr;
    const int count = ftdi_usb_find_all(ftdi_, &list, 0, 0);  // 0, 0: every id libftdi knows
    if (count < 0) return count;
    for (ftdi_device_list* d = list; d; d = d->next) {
      std::array<char, 128> description{}, serial{};
      ftdi_usb_get_strings(ftdi_, d->dev, nullptr, 0, description.data(), description.size(),
                           serial.data(), serial.size());
      chips.push_back({serial.data(), description.data(), libusb_get_bus_number(d->dev),
                       libusb_get_device_address(d->dev)});
    }
    ftdi_list_free(&list);
    return count;
  }

  int open(const std::string& serial) override {
    if (!ftdi_) return -100;
    ftdi_device_list* list = nullptr;
    const int count = ftdi_usb_find_all(ftdi_, &list, 0, 0);
    if (count < 0) return count;
    int result = -3;  // libftdi's "device not found"
    for (ftdi_device_list* d = list; d; d = d->next) {
      std::array<char, 128> found{};
      ftdi_usb_get_strings(ftdi_, d->dev, nullptr, 0, nullptr, 0, found.data(), found.size());
      if (serial == found.data()) {
        result = ftdi_usb_open_dev(ftdi_, d->dev);
        break;
      }
    }
    ftdi_list_free(&list);
    return result;
  }

  int set_bitmode(unsigned char outputs, unsigned char mode) override {
    return ftdi_set_bitmode(ftdi_, outputs, mode);
  }
  int set_latency_timer(unsigned char ms) override { return ftdi_set_latency_timer(ftdi_, ms); }
  int set_baudrate(int baudrate) override { return ftdi_set_baudrate(ftdi_, baudrate); }
  int write(const unsigned char* data, int size) override {
    return ftdi_write_data(ftdi_, data, size);
  }
  int read(unsigned char* data, int size) override { return ftdi_read_data(ftdi_, data, size); }
  int purge() override { return ftdi_tcioflush(ftdi_); }
  void close() override { ftdi_usb_close(ftdi_); }
  std::string error_string() override {
    return ftdi_ ? ftdi_get_error_string(ftdi_) : "libftdi could not start";
  }

 private:
  ftdi_context* ftdi_;
};

class FtdiPort final : public port::Port {
 public:
  FtdiPort(std::unique_ptr<FtdiCalls> calls, std::string serial)
      : calls_(std::move(calls)), serial_(std::move(serial)) {}
  ~FtdiPort() override { calls_->close(); }
  FtdiPort(const FtdiPort&) = delete;
  FtdiPort& operator=(const FtdiPort&) = delete;

  bool batches() const override { return true; }

  void configure(std::chrono::microseconds phase) {
    if (calls_->set_bitmode(kOutputs, BITMODE_SYNCBB) < 0) fail("set synchronous bit-bang mode");
    if (calls_->set_latency_timer(kLatencyMs) < 0) fail("set the latency timer to 1 ms");
    // One byte a phase. libftdi runs the bit-bang clock at four times the rate it is given;
    // its slowest rate bounds the longest phase at about 1.4 ms.
    const long per_second = 1'000'000 / std::max<long>(phase.count(), 1);
    const int baudrate = static_cast<int>(std::max<long>(per_second / 4, kSlowestBaudrate));
    if (calls_->set_baudrate(baudrate) < 0) fail("set its clock");
    if (calls_->purge() < 0) fail("empty its buffers");
  }

  void write16(std::int16_t address, std::int16_t value) override {
    if (address != frame::kDataRegister) port::no_such_register(kName, address);
    pins_ = static_cast<unsigned char>(value & 0xFF);
    bytes_.push_back(pins_);
  }

  // The chip returns, for each byte written, the pins as they stood just before it: a sample
  // taken now is the echo of the next byte.
  void queue_read32(std::int16_t address) override {
    if (address != frame::kStatusRegister) port::no_such_register(kName, address);
    samples_.push_back(bytes_.size());
  }

  std::int32_t read32(std::int16_t address) override {
    queue_read32(address);
    return flush().back();
  }

  std::vector<std::int32_t> flush() override {
    // A sample after the last byte needs one more byte to be echoed: the pins as they are.
    if (!samples_.empty() && samples_.back() == bytes_.size()) bytes_.push_back(pins_);
    echoes_.resize(bytes_.size());
    for (std::size_t at = 0; at < bytes_.size(); at += kChunk) {
      const std::size_t size = std::min(kChunk, bytes_.size() - at);
      transfer(bytes_.data() + at, echoes_.data() + at, size);
    }
    std::vector<std::int32_t> values;
    values.reserve(samples_.size());
    for (const std::size_t echo : samples_) values.push_back(echoes_[echo]);
    bytes_.clear();
    samples_.clear();
    return values;
  }

 private:
  void transfer(const unsigned char* out, unsigned char* in, std::size_t size) {
    const int count = static_cast<int>(size);
    if (calls_->write(out, count) != count) lost("writing");
    int got = 0;
    for (int tries = 0; got < count && tries < kReadTries; ++tries) {
      const int n = calls_->read(in + got, count - got);
      if (n < 0) lost("reading");
      got += n;
    }
    if (got < count) lost("reading back");
  }

  [[noreturn]] void lost(const char* doing) {
    throw port::PortError("the FTDI chip " + serial_ + " stopped answering (" + doing + ": " +
                          calls_->error_string() +
                          "): was it unplugged? The next action opens it again");
  }

  [[noreturn]] void fail(const char* what) {
    throw port::PortError("cannot " + std::string(what) + " on the FTDI chip " + serial_ + ": " +
                          calls_->error_string());
  }

  std::unique_ptr<FtdiCalls> calls_;
  std::string serial_;
  unsigned char pins_ = 0xFF;  // the last byte written: SDA and SCL released
  std::vector<unsigned char> bytes_, echoes_;
  std::vector<std::size_t> samples_;  // for each queued read, the byte whose echo answers it
};

std::string serials(const std::vector<FtdiChip>& chips) {
  std::string text;
  for (const auto& chip : chips) text += (text.empty() ? "" : ", ") + chip.serial;
  return text;
}

}  // namespace

std::unique_ptr<FtdiCalls> libftdi_calls() {
  return std::make_unique<Libftdi>();
}

std::vector<FtdiChip> list_ftdi_chips(FtdiCalls& calls) {
  std::vector<FtdiChip> chips;
  if (calls.find_all(chips) < 0) {
    throw port::PortError("cannot look for FTDI chips on the USB (" + calls.error_string() + ")");
  }
  return chips;
}

std::unique_ptr<port::Port> open_ftdi(const std::string& serial, std::chrono::microseconds phase,
                                      std::unique_ptr<FtdiCalls> calls) {
  const std::vector<FtdiChip> chips = list_ftdi_chips(*calls);
  if (chips.empty()) {
    throw port::PortError(
        "no FTDI chip found: is it plugged in? lsusb lists it as 0403:6001, 6010, "
        "6011, 6014 or 6015");
  }
  std::string chosen = serial;
  if (chosen.empty()) {
    if (chips.size() > 1) {
      throw port::PortError("several FTDI chips are plugged in (serials " + serials(chips) +
                            "): pick one with VX3071_PORT=ftdi:SERIAL");
    }
    chosen = chips.front().serial;
  } else if (std::none_of(chips.begin(), chips.end(),
                          [&](const FtdiChip& chip) { return chip.serial == chosen; })) {
    throw port::PortError("no FTDI chip has the serial " + port::quoted(chosen) +
                          ": the chips plugged in are " + serials(chips));
  }

  const int opened = calls->open(chosen);
  if (opened == -4 || opened == -3) {  // libusb cannot open it: no permission (or gone)
    throw port::PortError("permission denied on the FTDI chip " + chosen + " (" +
                          calls->error_string() +
                          "): install the udev rule for FTDI chips from the README, join group "
                          "plugdev, then plug the chip in again");
  }
  if (opened == -5 || opened == -6) {
    throw port::PortError("the FTDI chip " + chosen +
                          " is held by the ftdi_sio serial driver or "
                          "another program (" +
                          calls->error_string() +
                          "): close the program using its /dev/ttyUSB port, or unload the driver "
                          "(sudo rmmod ftdi_sio)");
  }
  if (opened < 0) {
    throw port::PortError("cannot open the FTDI chip " + chosen + ": " + calls->error_string());
  }
  // From here on the port closes the chip on every way out.
  auto port = std::make_unique<FtdiPort>(std::move(calls), chosen);
  port->configure(phase);
  return port;
}

}  // namespace vx::backends
