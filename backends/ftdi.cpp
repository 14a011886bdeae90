#include "backends/ftdi.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>

#include "frame/line_protocol.h"

// libftdi 1.5 exports its divisor calculation for its own unit tests without declaring it in
// ftdi.h (src/ftdi.c: a wrapper of ftdi_convert_baudrate): the rate the chip reaches for a rate
// asked, and in `index` bit 9 the H chips' 12 MHz clock path.
extern "C" int convert_baudrate_UT_export(int baudrate, struct ftdi_context* ftdi,
                                          unsigned short* value, unsigned short* index);

namespace vx::backends {

namespace {

constexpr const char* kName = "the FTDI back end";
// ADBUS0 (SDA drive) and ADBUS1 (SCL) are outputs, the rest inputs: the line-code bits are pins.
constexpr unsigned char kOutputs = frame::kSdaDriveBit | frame::kSclBit;
constexpr unsigned char kLatencyMs = 1;
constexpr int kReadTries = 1000;  // reads that may come back empty before the chip counts as gone

// The byte clock. libftdi multiplies the rate it is given by 4 in bit-bang mode
// (ftdi_set_baudrate) and programs the chip's baud-rate divisor with that, on the 3 MHz clock path
// (48 MHz / 16) every chip has or, for an H chip when four times the rate is above 732
// (ftdi_convert_baudrate), on its 12 MHz path (120 MHz / 10). How many bytes the chip then clocks
// per period of that rate, its sources do not settle, and it differs by path: on the 3 MHz path
// one as libftdi's factor implies, or 16 as FTDI's note on the FT232R's bit-bang modes is quoted;
// on the 12 MHz path about 5 (pyftdi's BITBANG_BAUDRATE_RATIO_HIGH; libftdi users' reports on an
// FT232H and an FT4232H); no source gives the 3 MHz path's on an H chip. So an H chip is only ever
// run on its 12 MHz path, longer phases by repeating bytes, and the clock is measured on the path
// the working rate uses, where that can be done surely; else the fastest reading is assumed, which
// no line level can undercut.
constexpr long kLibftdiFactor = 4;
constexpr double kFastestReading = 16, kSlowestReading = 1;
constexpr double kDivisorTolerance = 0.95;  // libftdi refuses a rate the divisor misses by more

// A clock path and how it is measured: at its slowest rate, a burst of idle bytes as long as one
// USB packet of echoes, which the chip sends the moment the last is clocked (AN232B-04: a packet
// goes when it is full), timed from the write to the last echo. The readings' chip times lie far
// apart (on the 3 MHz path 21 ms at 16 bytes a period, 84 ms at 4, 337 ms at 1; on the 12 MHz
// path 43, 139 and 693 ms), each far longer than the host's and the USB's share (the frames, the
// latency timer, the host's turnaround), which can only add time. The shortest of a few tries
// counts; it must lie within a reading's band (its chip time, less the divisor's and the crystal's
// error, up to that plus kUsbSlackS), else the fastest is assumed.
struct ClockPath {
  const char* name;
  long slowest_rate;   // after libftdi's factor: 3 MHz / 16384 (AN232B-05); 12 MHz / 16383
  int packet_data;     // data bytes in one USB packet: 62 of 64 (full speed), 510 of 512 (H)
  double readings[3];  // bytes a period, fastest first
  // Bytes written before their echoes are read back: within the chip's buffer (128 bytes on the
  // FT232R, 1 KB on the FT232H and more on the others), so that echoes never overflow it.
  std::size_t chunk;
};
constexpr ClockPath kLowSpeedPath{"", 184, 62, {16, 4, 1}, 64};
constexpr ClockPath kHighSpeedPath{" on the 12 MHz clock path", 736, 510, {16, 5, 1}, 512};
constexpr int kCalibrationTries = 2;
constexpr double kUsbSlackS = 0.020;  // a 16 ms latency timer, two 1 ms frames, a 2 ms turnaround

bool high_speed(int chip_type) {
  return chip_type == TYPE_2232H || chip_type == TYPE_4232H || chip_type == TYPE_232H;
}

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
      libusb_device_descriptor descriptor{};
      const int product =
          libusb_get_device_descriptor(d->dev, &descriptor) == 0 ? descriptor.idProduct : 0;
      chips.push_back({serial.data(), description.data(), libusb_get_bus_number(d->dev),
                       libusb_get_device_address(d->dev), product});
    }
    ftdi_list_free(&list);
    return count;
  }

  int open(const std::string& serial, int interface) override {
    if (!ftdi_) return -100;
    // Before opening: ftdi_usb_open_dev claims the interface set here.
    const int chosen =
        ftdi_set_interface(ftdi_, static_cast<ftdi_interface>(INTERFACE_A + interface));
    if (chosen < 0) return chosen;
    ftdi_device_list* list = nullptr;
    const int count = ftdi_usb_find_all(ftdi_, &list, 0, 0);
    if (count < 0) return count;
    int result = kChipGone;
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

  int chip_type() override { return ftdi_ ? ftdi_->type : -1; }
  FtdiClock clock_for(int baudrate) override {
    unsigned short value = 0, index = 0;
    const int actual = convert_baudrate_UT_export(baudrate * static_cast<int>(kLibftdiFactor),
                                                  ftdi_, &value, &index);
    return {std::max(actual, 0), high_speed(ftdi_->type) && (index & 0x0200) != 0};
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
    if (!ftdi_) return "libftdi could not start";
    // NULL before any error is set, as for a chip gone between listing and opening.
    const char* text = ftdi_get_error_string(ftdi_);
    return text ? text : "libftdi gave no reason";
  }
  std::chrono::nanoseconds now() override {
    return std::chrono::steady_clock::now().time_since_epoch();
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
    path_ = high_speed(calls_->chip_type()) ? &kHighSpeedPath : &kLowSpeedPath;
    if (calls_->set_bitmode(kOutputs, BITMODE_SYNCBB) < 0) fail("set synchronous bit-bang mode");
    if (calls_->set_latency_timer(kLatencyMs) < 0) fail("set the latency timer to 1 ms");
    // The timing bursts are idle bytes: they release the lines before anything else goes out,
    // whatever the pins held before the mode changed.
    reading_ = measure_reading();
    const double bytes_per_period = reading_.value_or(kFastestReading);
    const double phase_s = std::max<double>(static_cast<double>(phase.count()), 1) * 1e-6;
    byte_period_ = std::chrono::duration<double>(
        1 / (set_clock(phase_s, bytes_per_period) * bytes_per_period));
    // A phase longer than the slowest byte: each byte goes out as often as it takes.
    repeat_ = static_cast<std::size_t>(std::ceil(phase_s / byte_period_.count() - 1e-9));
    byte_period_ *= static_cast<double>(repeat_);
  }

  // What the chip does, as far as it is known: at an assumed reading a slower chip holds each
  // level longer, up to the slowest reading's factor.
  std::string timing() const override {
    char text[200];
    const double level_us = byte_period_.count() * 1e6;
    if (reading_) {
      std::snprintf(text, sizeof text, "measured at %gx%s: a level lasts %.2f us", *reading_,
                    path_->name, level_us);
    } else {
      std::snprintf(text, sizeof text,
                    "assumed %gx%s (the chip's clock could not be measured surely): a level "
                    "lasts between %.2f and %.2f us",
                    kFastestReading, path_->name, level_us,
                    level_us * kFastestReading / kSlowestReading);
    }
    return text;
  }

  void write16(std::int16_t address, std::int16_t value) override {
    if (address != frame::kDataRegister) port::no_such_register(kName, address);
    pins_ = static_cast<unsigned char>(value & 0xFF);
    bytes_.insert(bytes_.end(), repeat_, pins_);
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
    const std::size_t chunk = path_->chunk;
    for (std::size_t at = 0; at < bytes_.size(); at += chunk) {
      transfer(bytes_.data() + at, echoes_.data() + at, std::min(chunk, bytes_.size() - at));
    }
    std::vector<std::int32_t> values;
    values.reserve(samples_.size());
    for (const std::size_t echo : samples_) values.push_back(echoes_[echo]);
    bytes_.clear();
    samples_.clear();
    return values;
  }

 private:
  // Hands libftdi the rate at which a chip clocking `bytes_per_period` bytes per period of the
  // programmed rate holds each byte for at least `phase_s`, on the path in use, no slower than its
  // slowest; gives the rate the divisor reaches, after libftdi's factor.
  double set_clock(double phase_s, double bytes_per_period) {
    const double programmed = kDivisorTolerance / (phase_s * bytes_per_period);
    const long slowest = (path_->slowest_rate + kLibftdiFactor - 1) / kLibftdiFactor;
    const long rate = std::max(static_cast<long>(programmed) / kLibftdiFactor, slowest);
    if (calls_->set_baudrate(static_cast<int>(rate)) < 0) fail("set its clock");
    const FtdiClock clock = calls_->clock_for(static_cast<int>(rate));
    if (clock.actual <= 0 || clock.high_speed_path != (path_ == &kHighSpeedPath)) {
      fail("keep its clock path as measured");
    }
    return clock.actual;
  }

  // The reading whose band the shortest burst time lies in, at the path's slowest rate; none when
  // it lies in no band (a host too busy to time it, a chip that is none of them) or nothing moved.
  std::optional<double> measure_reading() {
    const double rate = set_clock(1e9, kFastestReading);  // a phase no rate reaches: the slowest
    if (calls_->purge() < 0) fail("empty its buffers");
    const auto bytes = static_cast<std::size_t>(path_->packet_data);
    std::vector<unsigned char> idle(bytes, pins_), echoes(bytes);
    auto shortest = std::chrono::nanoseconds::max();
    for (int tries = 0; tries < kCalibrationTries; ++tries) {
      const auto start = calls_->now();
      transfer(idle.data(), echoes.data(), idle.size());
      shortest = std::min(shortest, calls_->now() - start);
    }
    const double took_s = std::chrono::duration<double>(shortest).count();
    for (const double reading : path_->readings) {
      const double chip_s = static_cast<double>(bytes) / (rate * reading);
      if (took_s >= chip_s * kDivisorTolerance &&
          took_s <= chip_s / kDivisorTolerance + kUsbSlackS) {
        return reading;
      }
    }
    return std::nullopt;
  }

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
  const ClockPath* path_ = &kLowSpeedPath;
  unsigned char pins_ = 0xFF;      // the last byte written: SDA and SCL released
  std::size_t repeat_ = 1;         // times each line code goes out
  std::optional<double> reading_;  // bytes per period, where measured
  std::chrono::duration<double> byte_period_{};
  std::vector<unsigned char> bytes_, echoes_;
  std::vector<std::size_t> samples_;  // for each queued read, the byte whose echo answers it
};

// What a failed opening means, by ftdi_usb_open_dev's codes (libftdi's src/ftdi.c): -4 libusb
// could not open the node, -8 the kernel driver could not be detached for want of permission:
// both permissions. -3 the configuration could not be set, -5 the interface could not be
// claimed: a driver or another program holds it.
std::string open_failure(const std::string& serial, int code, const std::string& reason) {
  const std::string chip = "the FTDI chip " + serial;
  switch (code) {
    case -4:
    case -8:
      return "permission denied on " + chip + " (" + reason +
             "): install the udev rule for FTDI chips from the README, join group plugdev, then "
             "plug the chip in again";
    case -3:
    case -5:
      return chip + " is held by the ftdi_sio serial driver or another program (" + reason +
             "): close the program using its /dev/ttyUSB port, or unload the driver (sudo rmmod "
             "ftdi_sio)";
    case kChipGone:
      return chip + " went away between being found and being opened: plug it in again";
    default:
      return "cannot open " + chip + ": " + reason;
  }
}

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

int ftdi_interfaces(int product) {
  switch (product) {
    case 0x6010:  // FT2232C/D/H
      return 2;
    case 0x6011:  // FT4232H
      return 4;
    default:
      return 1;
  }
}

std::optional<FtdiChoice> parse_ftdi_choice(const std::string& choice) {
  FtdiChoice parsed;
  parsed.serial = choice;
  const std::size_t colon = choice.rfind(':');
  if (colon != std::string::npos) {
    const std::string letter = choice.substr(colon + 1);
    if (letter.size() != 1 || letter[0] < 'A' || letter[0] > 'D') return std::nullopt;
    parsed.interface = letter[0] - 'A';
    parsed.serial = choice.substr(0, colon);
    if (parsed.serial.find(':') != std::string::npos) return std::nullopt;
  }
  return parsed;
}

std::unique_ptr<port::Port> open_ftdi(const std::string& choice, std::chrono::microseconds phase,
                                      std::unique_ptr<FtdiCalls> calls) {
  const auto parsed = parse_ftdi_choice(choice);
  if (!parsed) {
    throw port::PortError("the FTDI port " + port::quoted(choice) +
                          " is not [SERIAL][:A|B|C|D], as in ftdi:FT6ZQ7TX or ftdi:FT6ZQ7TX:B");
  }
  const std::vector<FtdiChip> chips = list_ftdi_chips(*calls);
  if (chips.empty()) {
    throw port::PortError(
        "no FTDI chip found: is it plugged in? lsusb lists it as 0403:6001, 6010, "
        "6011, 6014 or 6015");
  }
  const FtdiChip* chosen = nullptr;
  if (parsed->serial.empty()) {
    if (chips.size() > 1) {
      throw port::PortError("several FTDI chips are plugged in (serials " + serials(chips) +
                            "): pick one with VX3071_PORT=ftdi:SERIAL");
    }
    chosen = &chips.front();
  } else {
    for (const auto& chip : chips) {
      if (chip.serial == parsed->serial) chosen = &chip;
    }
    if (!chosen) {
      throw port::PortError("no FTDI chip has the serial " + port::quoted(parsed->serial) +
                            ": the chips plugged in are " + serials(chips));
    }
  }
  const int interfaces = ftdi_interfaces(chosen->product);
  const auto letter = static_cast<char>('A' + parsed->interface);
  if (parsed->interface >= interfaces) {
    char product[8];
    std::snprintf(product, sizeof product, "%04x", chosen->product);
    throw port::PortError(
        "the FTDI chip " + chosen->serial + " (0403:" + product + ") has " +
        (interfaces == 1 ? std::string("one interface, A")
                         : "interfaces A to " + std::string(1, 'A' + interfaces - 1)) +
        ", not " + letter + ": use ftdi:" + chosen->serial + (interfaces == 1 ? "" : ":A"));
  }
  const std::string name =
      chosen->serial + (interfaces > 1 ? std::string(" interface ") + letter : "");

  const int opened = calls->open(chosen->serial, parsed->interface);
  if (opened < 0) throw port::PortError(open_failure(name, opened, calls->error_string()));
  // From here on the port closes the chip on every way out.
  auto port = std::make_unique<FtdiPort>(std::move(calls), name);
  port->configure(phase);
  return port;
}

}  // namespace vx::backends
