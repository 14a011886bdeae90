#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "frame/device_address.h"
#include "frame/line_protocol.h"

namespace vx::sim {

class SharedPart;

// A simulated VX3071 on the two-wire bus: it sees the master's SCL and SDA, drives SDA only low
// (open drain), and reacts as a real slave does: START and STOP while SCL is high, bits taken on
// the rising clock, its own drive changed only after a falling clock. A write frame is its address,
// a second byte, then the setting; a read gives the setting, one byte.
class Device {
 public:
  static constexpr std::uint8_t kPowerUpSetting = 0x80;

  // A device answering at 7-bit `address`: the VX3071's own, or another strapping.
  explicit Device(std::uint8_t address = frame::kDeviceAddress) : address_(address) {}

  // A faulty part: the setting bits in `mask` stay 0 whatever is written.
  void stick_low(std::uint8_t mask) { stuck_low_ = mask; }
  // One part for several processes (VX3071_SIM_STATE): each frame starts from the setting in the
  // file, and each write lands there.
  void share(std::shared_ptr<SharedPart> part) { shared_ = std::move(part); }
  // Holds the shared part for a sweep (SharedPart::hold); null for a part of this process alone.
  std::shared_ptr<void> hold_for_sweep();

  // Applies one write of the master's lines, as frame::LineFollower reads it.
  void set_lines(bool scl, bool sda) { lines_.set(scl, sda, *this, pulling_low_); }

  // The bus SDA: the wired AND of the master's and the device's drive.
  bool sda() const { return lines_.sda() && !pulling_low_; }
  bool scl() const { return lines_.scl(); }
  std::uint8_t setting() const { return setting_; }
  // The setting before the last write, and when that write landed (CLOCK_MONOTONIC ns; 0 never):
  // read from any thread, for the simulated meter.
  std::uint8_t before() const { return before_; }
  std::int64_t written_ns() const { return written_ns_; }

  // What the lines mean to the device, told by its LineFollower.
  void on_start();
  void on_stop();
  void on_rising();
  void on_falling();

 private:
  enum class Phase { idle, address, writing, reading, ignoring };

  std::uint8_t address_;
  std::uint8_t stuck_low_ = 0;
  frame::LineFollower lines_;
  bool pulling_low_ = false;

  Phase phase_ = Phase::idle;
  int clock_ = 0;           // rising edges in the current byte: 1..8 data, 9 acknowledge
  std::uint8_t shift_ = 0;  // bits received in the current byte
  int bytes_written_ = 0;   // bytes after the address in a write
  std::atomic<std::uint8_t> setting_{kPowerUpSetting};
  std::atomic<std::uint8_t> before_{kPowerUpSetting};
  std::atomic<std::int64_t> written_ns_{0};
  std::shared_ptr<SharedPart> shared_;
};

}  // namespace vx::sim
