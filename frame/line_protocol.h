#pragma once

#include <cstdint>

namespace vx::frame {

// How the two bus lines sit on the parallel port's registers, for every back end, real or
// simulated, and everything that reads their accesses back (trace, monitor).
inline constexpr std::int16_t kDataRegister = 0x378;    // written: the master's line code
inline constexpr std::int16_t kStatusRegister = 0x379;  // read: the bus SDA

// Line-code bits of a data-register write. SDA's bit drives an open-drain buffer: 1 releases
// the line, 0 pulls it low.
inline constexpr std::int16_t kSdaDriveBit = 0x01;
inline constexpr std::int16_t kSclBit = 0x02;

// The status bit that reads the bus SDA, not inverted.
inline constexpr std::int32_t kSdaStatusBit = 0x08;

// What a status read shows with SDA low on a port with nothing else attached: the unused inputs
// float high and Busy reads inverted. Back ends that have no real status register answer the
// same, with kSdaStatusBit set while SDA is high.
inline constexpr std::int32_t kIdleStatus = 0x77;

// Clocks of one byte on the bus: eight data bits, then the acknowledge slot.
inline constexpr int kClocksPerByte = 9;

constexpr bool scl_of(std::int32_t code) {
  return (code & kSclBit) != 0;
}
constexpr bool sda_drive_of(std::int32_t code) {
  return (code & kSdaDriveBit) != 0;
}
constexpr bool sda_of_status(std::int32_t status) {
  return (status & kSdaStatusBit) != 0;
}
constexpr std::int32_t status_for(bool sda) {
  return kIdleStatus | (sda ? kSdaStatusBit : 0);
}

// The master's two lines as a device on the bus follows them, one write at a time. A write that
// moves both lines is taken as the master's timing means it: a falling SCL before the data
// change, a rising SCL after it, so a bit never turns into a START or a STOP. A change of SDA
// while SCL stays high is a START (falling) or a STOP (rising), unless another drive holds SDA
// low throughout (the wired AND shows no change then).
//
// `Listener` has on_start(), on_stop(), on_rising() and on_falling(); on_falling runs before the
// new SDA level applies, on_rising after it.
class LineFollower {
 public:
  bool scl() const { return scl_; }
  bool sda() const { return sda_; }  // as the master drives it

  template <class Listener>
  void set(bool scl, bool sda, Listener& listener, bool held_low_elsewhere = false) {
    if (scl_ && !scl) {
      scl_ = false;
      listener.on_falling();
      sda_ = sda;
    } else if (!scl_ && scl) {
      sda_ = sda;
      scl_ = true;
      listener.on_rising();
    } else if (sda != sda_) {
      sda_ = sda;
      if (scl_ && !held_low_elsewhere) sda ? listener.on_stop() : listener.on_start();
    }
  }

 private:
  bool scl_ = true;
  bool sda_ = true;
};

}  // namespace vx::frame
