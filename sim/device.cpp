#include "sim/device.h"

#include "sim/shared_part.h"

namespace vx::sim {

namespace {
// The write frame: address, second (instruction) byte, then the setting.
constexpr int kSettingByte = 2;
}  // namespace

std::shared_ptr<void> Device::hold_for_sweep() {
  return shared_ ? shared_->hold() : nullptr;
}

void Device::on_start() {
  if (shared_) setting_ = static_cast<std::uint8_t>(shared_->load().setting);
  phase_ = Phase::address;
  clock_ = 0;
  shift_ = 0;
  pulling_low_ = false;
}

void Device::on_stop() {
  phase_ = Phase::idle;
  pulling_low_ = false;
}

void Device::on_rising() {
  if (phase_ == Phase::idle || phase_ == Phase::ignoring) return;
  ++clock_;
  if (clock_ <= 8) shift_ = static_cast<std::uint8_t>(shift_ << 1 | (sda() ? 1 : 0));
}

void Device::on_falling() {
  if (phase_ == Phase::idle || phase_ == Phase::ignoring) return;
  if (clock_ == 8) {
    // A byte is complete: acknowledge what is ours, or let go of SDA for the master's answer.
    switch (phase_) {
      case Phase::address:
        if ((shift_ >> 1) != address_) {
          phase_ = Phase::ignoring;
          return;
        }
        pulling_low_ = true;
        break;
      case Phase::writing:
        if (++bytes_written_ == kSettingByte) {
          const auto setting = static_cast<std::uint8_t>(shift_ & ~stuck_low_);
          // First, as it may be refused (another process's sweep holds the part).
          if (shared_) shared_->store(setting);
          before_ = setting_.load();
          setting_ = setting;
          written_ns_ = monotonic_ns();
        }
        pulling_low_ = true;
        break;
      default:
        pulling_low_ = false;
        break;
    }
  } else if (clock_ == frame::kClocksPerByte) {
    // The acknowledge clock is over: start the next byte.
    pulling_low_ = false;
    clock_ = 0;
    if (phase_ == Phase::address) {
      const bool read = (shift_ & 1) != 0;
      phase_ = read ? Phase::reading : Phase::writing;
      bytes_written_ = 0;
    } else if (phase_ == Phase::reading) {
      // One readable byte: then SDA is left to the master, acknowledged or not, so that a frame
      // that ends without a not-acknowledge still ends with a STOP the device can see.
      phase_ = Phase::ignoring;
      return;
    }
    shift_ = 0;
    if (phase_ == Phase::reading) pulling_low_ = (setting_ & 0x80) == 0;
  } else if (phase_ == Phase::reading && clock_ >= 1) {
    pulling_low_ = ((setting_ >> (7 - clock_)) & 1) == 0;
  }
}

}  // namespace vx::sim
