#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vx::port {

// A port access that could not be made. The message says what a person can do about it.
class PortError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// No device acknowledged an address: the port works, the device is missing or elsewhere.
class NoAnswer : public PortError {
 public:
  using PortError::PortError;
};

// The trace file could not be written; the port itself worked.
class TraceError : public PortError {
 public:
  using PortError::PortError;
};

// One back end of the port layer: the two accesses the line driver needs, with addresses and
// values as the signed 16-bit integers it passes. Implementations throw PortError.
class Port {
 public:
  virtual ~Port() = default;

  // A 16-bit write of `value` to I/O address `address`.
  virtual void write16(std::int16_t address, std::int16_t value) = 0;
  // A read of I/O address `address`.
  virtual std::int32_t read32(std::int16_t address) = 0;

  // The level on the bus's SDA line after the last access, where the back end can know it (a
  // simulation can; real hardware only shows it through a status read). Used by the trace.
  virtual std::optional<bool> bus_sda() const { return std::nullopt; }

  // A back end that batches (a USB adapter, where each round trip costs a millisecond) queues
  // the accesses of a transaction and carries them out together at `flush`, which gives the
  // values of the reads queued since the last flush, in order. The others answer each access at
  // once and are never asked to queue a read.
  virtual bool batches() const { return false; }
  virtual void queue_read32(std::int16_t address);
  virtual std::vector<std::int32_t> flush() { return {}; }

  // What a bring-up check may ask. Whether status reads show the bus SDA itself (an I2C adapter
  // keeps its own bus and shows only what a device answered).
  virtual bool sees_lines() const { return true; }
  // The SCL line's level, where the back end can read it.
  virtual std::optional<bool> read_scl() { return std::nullopt; }
  // Why no address can be asked who is there (an adapter that can neither write without data nor
  // read a byte), or empty.
  virtual std::string cannot_probe() const { return {}; }
  // How the back end keeps time, where it knows more than the pacing: a sentence, or empty.
  virtual std::string timing() const { return {}; }

  // Holds the part for a sweep, while the result lives: another process's write is refused
  // meanwhile (PortError naming this process), reading stays allowed. A hardware port is held by
  // its opening already (claimed exclusively), so only a part that processes share needs this;
  // null where there is nothing more to hold.
  virtual std::shared_ptr<void> hold_for_sweep() { return nullptr; }
};

// Thrown by a back end for an access to any register but the two the bus lives on. `back_end`
// names it for a person: "the I2C back end".
[[noreturn]] void no_such_register(const std::string& back_end, std::int16_t address);

// Formats an access address or value the way traces and messages show it: upper-case hex, no
// prefix, no leading zeros.
std::string hex(std::uint32_t value);

// `text` in double quotes, fit to be shown whatever it holds: control and non-ASCII bytes escaped
// as \xNN, and cut to its first `limit` bytes, with "..." after, when longer.
std::string quoted(std::string_view text, std::size_t limit = 40);

}  // namespace vx::port
