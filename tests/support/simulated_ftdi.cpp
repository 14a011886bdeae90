#include "support/simulated_ftdi.h"

#include <algorithm>

namespace vx::test {

namespace {
constexpr unsigned char kSyncBitbang = 0x04;
constexpr int kPacket = 62;  // data bytes in one 64-byte USB packet after the modem status
}  // namespace

int SimulatedFtdi::find_all(std::vector<backends::FtdiChip>& chips) {
  chips = model_.attached;
  return static_cast<int>(chips.size());
}

int SimulatedFtdi::open(const std::string& serial) {
  if (model_.open_result < 0) {
    return fail(model_.open_result, model_.open_result == -4
                                        ? "usb_open() failed: LIBUSB_ERROR_ACCESS"
                                        : "unable to claim usb device. Make "
                                          "sure the default FTDI driver is "
                                          "not in use");
  }
  const bool there = std::any_of(model_.attached.begin(), model_.attached.end(),
                                 [&](const backends::FtdiChip& c) { return c.serial == serial; });
  if (!there) return fail(-3, "device not found");
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

int SimulatedFtdi::set_baudrate(int baudrate) {
  if (baudrate < 184) return fail(-1, "Silly baudrate <= 0.");
  model_.baudrate = baudrate;
  return 0;
}

int SimulatedFtdi::purge() {
  echoes_.clear();
  return 0;
}

int SimulatedFtdi::write(const unsigned char* data, int size) {
  if (model_.unplug_at_write > 0 && --model_.unplug_at_write == 0) model_.unplugged = true;
  if (model_.unplugged) return fail(-666, "USB device unavailable");
  if (model_.mode != kSyncBitbang) return fail(-1, "not in synchronous bit-bang mode");
  if (echoes_.size() + static_cast<std::size_t>(size) > model_.buffer) {
    return fail(-1, "the echoes would overrun the chip's buffer");
  }
  ++model_.writes;
  for (int i = 0; i < size; ++i) {
    // The pins just before the byte: outputs as latched, inputs pulled high, ADBUS3 the bus SDA.
    const unsigned char inputs = static_cast<unsigned char>(~model_.outputs & 0xF7);
    echoes_.push_back(static_cast<unsigned char>((pins_ & model_.outputs) | inputs |
                                                 (model_.device->sda() ? 0x08 : 0)));
    pins_ = data[i];
    model_.device->set_lines((pins_ & 0x02) != 0, (pins_ & 0x01) != 0);
  }
  return size;
}

int SimulatedFtdi::read(unsigned char* data, int size) {
  if (model_.unplugged) return fail(-666, "USB device unavailable");
  ++model_.reads;
  model_.latency_ms += model_.latency;
  const int n = std::min({size, static_cast<int>(echoes_.size()), kPacket});
  for (int i = 0; i < n; ++i) {
    data[i] = echoes_.front();
    echoes_.pop_front();
  }
  return n;
}

}  // namespace vx::test
