#include "support/simulated_ftdi.h"

#include <ftdi.h>

#include <algorithm>

extern "C" int convert_baudrate_UT_export(int baudrate, struct ftdi_context* ftdi,
                                          unsigned short* value, unsigned short* index);

namespace vx::test {

namespace {
constexpr unsigned char kSyncBitbang = 0x04;
}  // namespace

void like_h_chip(FtdiChipModel& chip, int type, int product) {
  chip.type = type;
  chip.packet_data = 510;
  chip.buffer = 1024;
  const char* name = product == 0x6010   ? "Dual RS232-HS"
                     : product == 0x6011 ? "Quad RS232-HS"
                                         : "Single RS232-HS";
  chip.attached = {{"FT9H2K01", name, 1, 8, product}};
}

SimulatedFtdi::~SimulatedFtdi() {
  if (libftdi_) ftdi_free(libftdi_);
}

// libftdi's own ftdi_convert_baudrate, through the export its unit tests use, for a context of the
// chip's type: the rate reached, and in index bit 9 the 12 MHz path.
backends::FtdiClock SimulatedFtdi::clock_for(int baudrate) {
  if (!libftdi_) libftdi_ = ftdi_new();
  libftdi_->type = static_cast<ftdi_chip_type>(model_.type);
  unsigned short value = 0, index = 0;
  const int actual = convert_baudrate_UT_export(baudrate * 4, libftdi_, &value, &index);
  const bool h = model_.type == TYPE_2232H || model_.type == TYPE_4232H || model_.type == TYPE_232H;
  return {std::max(actual, 0), h && (index & 0x0200) != 0};
}

int SimulatedFtdi::find_all(std::vector<backends::FtdiChip>& chips) {
  chips = model_.attached;
  return static_cast<int>(chips.size());
}

// ftdi_usb_open_dev's failures and their texts, as libftdi's src/ftdi.c sets them.
int SimulatedFtdi::open(const std::string& serial, int interface) {
  switch (model_.open_result) {
    case 0:
      break;
    case -3:
      return fail(
          -3, "unable to set usb configuration. Make sure the default FTDI driver is not in use");
    case -4:
      return fail(-4, "libusb_open() failed");
    case -5:
      return fail(-5,
                  "unable to claim usb device. Make sure the default FTDI driver is not in use");
    case -6:
      return fail(-6, "ftdi_usb_reset failed");
    case -8:
      return fail(-8, "inappropriate permissions on device!");
    default:
      return fail(model_.open_result, "libusb_get_config_descriptor() failed");
  }
  const bool there = std::any_of(model_.attached.begin(), model_.attached.end(),
                                 [&](const backends::FtdiChip& c) { return c.serial == serial; });
  if (!there || model_.gone_before_open) return fail(backends::kChipGone, "");
  model_.interface = interface;
  open_ = true;
  return 0;
}

int SimulatedFtdi::set_bitmode(unsigned char outputs, unsigned char mode) {
  if (!open_) return fail(-2, "USB device unavailable");
  model_.outputs = outputs;
  model_.mode = mode;
  return 0;
}

int SimulatedFtdi::set_latency_timer(unsigned char milliseconds) {
  if (milliseconds < 1) return fail(-1, "latency out of range. Only valid for 1-255");
  model_.latency = milliseconds;
  return 0;
}

// libftdi's ftdi_set_baudrate: the rate times 4 in bit-bang mode, then the nearest the divisor
// reaches, by libftdi's own calculation, refused when more than about 5 % off.
int SimulatedFtdi::set_baudrate(int baudrate) {
  if (baudrate <= 0) return fail(-1, "Silly baudrate <= 0.");
  const long programmed = baudrate * 4L;
  const backends::FtdiClock clock = clock_for(baudrate);
  const long nearest = clock.actual;
  if (nearest <= 0 || nearest * 2 < programmed ||
      (nearest < programmed ? nearest * 21 < programmed * 20 : programmed * 21 < nearest * 20)) {
    return fail(-1,
                "Unsupported baudrate. Note: bitbang baudrates are automatically multiplied by 4");
  }
  model_.baudrate = baudrate;
  model_.actual = clock.actual;
  model_.high_speed_path = clock.high_speed_path;
  return 0;
}

int SimulatedFtdi::purge() {
  echoes_.clear();
  return 0;
}

// Each byte of an OUT is clocked once the bytes before it are, one period of the chip's byte clock
// each; the OUT reaches the chip a host turnaround after the last read ended.
int SimulatedFtdi::write(const unsigned char* data, int size) {
  if (model_.unplug_at_write > 0 && --model_.unplug_at_write == 0) model_.unplugged = true;
  if (model_.unplugged) return fail(-666, "USB device unavailable");
  if (model_.mode != kSyncBitbang) return fail(-1, "not in synchronous bit-bang mode");
  if (echoes_.size() + static_cast<std::size_t>(size) > model_.buffer) {
    return fail(-1, "the echoes would overrun the chip's buffer");
  }
  ++model_.writes;
  if (model_.timed) {
    jitter_ = jitter_ * 1103515245 + 12345;
    model_.clock_us +=
        model_.turnaround_us + (model_.jitter_us ? (jitter_ >> 16) % model_.jitter_us : 0);
    if (model_.writes == model_.stall_at_write) model_.clock_us += model_.stall_us;
  }
  const double per_period =
      model_.high_speed_path ? model_.high_speed_bytes_per_period : model_.bytes_per_period;
  const double byte_us = 1e6 / (per_period * model_.actual);
  double at = std::max(model_.clock_us, chip_free_us_);
  for (int i = 0; i < size; ++i) {
    // The pins just before the byte: outputs as latched, inputs pulled high, ADBUS3 the bus SDA.
    const unsigned char inputs = static_cast<unsigned char>(~model_.outputs & 0xF7);
    const auto echo = static_cast<unsigned char>((pins_ & model_.outputs) | inputs |
                                                 (model_.device->sda() ? 0x08 : 0));
    pins_ = data[i];
    if (model_.timed) at += byte_us;
    echoes_.push_back({at, echo});
    model_.clocked.emplace_back(at, pins_);
    model_.device->set_lines((pins_ & 0x02) != 0, (pins_ & 0x01) != 0);
  }
  chip_free_us_ = at;
  return size;
}

// FTDI's AN232B-04, "Data Throughput, Latency and Handshaking": the chip answers the host's
// request with a packet when a packet's data wait (62 bytes of a full-speed chip's 64 after the
// two modem-status bytes; 510 of an H chip's 512, its datasheet's USB packet size), or when its
// latency timer runs out, which "measures the time since data was last sent to the PC" and is
// reset "every time data is sent back to the PC"; then the packet holds what is there, perhaps
// only the status bytes, and libftdi's ftdi_read_data gives 0 bytes for it.
int SimulatedFtdi::read(unsigned char* data, int size) {
  if (model_.unplugged) return fail(-666, "USB device unavailable");
  ++model_.reads;
  const double latency_us =
      1000.0 * (model_.fixed_latency_ms ? model_.fixed_latency_ms : model_.latency);
  double sent = model_.clock_us;
  if (model_.timed) {
    const double timer_out = std::max(model_.clock_us, last_packet_us_ + latency_us);
    const auto packet = static_cast<std::size_t>(model_.packet_data);
    const double full = echoes_.size() >= packet
                            ? std::max(model_.clock_us, echoes_[packet - 1].ready_us)
                            : timer_out;
    sent = std::min(full, timer_out);
  }
  int n = 0;
  while (n < std::min(size, model_.packet_data) && !echoes_.empty() &&
         echoes_.front().ready_us <= sent) {
    data[n++] = echoes_.front().pins;
    echoes_.pop_front();
  }
  last_packet_us_ = sent;
  model_.clock_us = sent;
  return n;
}

}  // namespace vx::test
