#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frame/line_protocol.h"
#include "port/port.h"

namespace vx::backends {

// One message of a combined I2C transfer, as i2c-dev's I2C_RDWR carries it.
struct I2cMessage {
  std::uint16_t address;  // 7-bit
  bool read;
  std::uint8_t* data;
  std::uint16_t length;
};

// The adapter took no message without data: i2c-core refuses it with EOPNOTSUPP for an adapter
// with the I2C_AQ_NO_ZERO_LEN quirk (i2c_check_for_quirks), and some drivers with EINVAL of their
// own (hid-ft260's ft260_i2c_write: "if (len < 1) return -EINVAL").
class ZeroLengthRefused : public port::PortError {
 public:
  using port::PortError::PortError;
};

// What an adapter offers, from its I2C_FUNCS: plain I2C messages, and the SMBus commands that
// ask who is there (as i2cdetect asks) or carry a frame where plain I2C is not offered.
struct I2cOffers {
  bool plain_i2c = true;        // I2C_FUNC_I2C
  bool quick_write = true;      // I2C_FUNC_SMBUS_QUICK: the address alone
  bool receive_byte = true;     // I2C_FUNC_SMBUS_READ_BYTE: a read of one byte
  bool send_byte = true;        // I2C_FUNC_SMBUS_WRITE_BYTE: a write of one byte
  bool write_byte_data = true;  // I2C_FUNC_SMBUS_WRITE_BYTE_DATA: a write of two
  bool write_word_data = true;  // I2C_FUNC_SMBUS_WRITE_WORD_DATA: a write of three

  static I2cOffers from_functions(unsigned long functions);
  // An adapter without plain I2C can still carry the VX3071's write frame and Read.
  bool carries_frames() const { return plain_i2c || (write_byte_data && receive_byte); }
  // How frames go out on it, for a person.
  std::string form() const;
};

// The two SMBus commands i2cdetect asks with.
enum class I2cProbe { quick_write, receive_byte };

// Carries out one frame's message as one transfer. Throws port::PortError: port::NoAnswer for a
// missing acknowledge, ZeroLengthRefused where the adapter refuses a message without data.
class I2cTransport {
 public:
  virtual ~I2cTransport() = default;
  virtual void transfer(I2cMessage& message) = 0;
  // Asks `address` by an SMBus command; throws as `transfer` does. By default as i2c-core carries
  // a command for an adapter without SMBus of its own (i2c_smbus_xfer_emulated): a write of no
  // data, or a read of one byte.
  virtual void probe(std::uint16_t address, I2cProbe how);
  virtual I2cOffers offers() const { return {}; }
};

// A port back end on an I2C adapter: it follows SCL and SDA as a device on the bus would (START,
// bits on the rising clock, acknowledge slots, STOP) and carries each frame out as one transfer.
// A write frame is one write message to its address with the bytes that follow it, sent at its
// STOP. A frame to a read address whose SDA is sampled after the address's acknowledge slot is
// one read message of one byte, made at the first sample, whose bits answer the samples in turn;
// one that is never sampled is a read of as many bytes as it clocks, made at its STOP. A write
// address whose acknowledge slot is sampled, as a bring-up probe does, is asked as i2cdetect asks,
// by an SMBus command (Receive Byte at 0x30-0x37 and 0x50-0x5F; elsewhere Quick where the adapter
// offers it, else Receive Byte, which an adapter that refused Quick gets from then on), and the
// sample shows the answer. Clocks and STOPs outside a frame are ignored: the adapter
// keeps its own bus in order.
class I2cPort final : public port::Port {
 public:
  static constexpr std::size_t kMaxFrameBytes = 64;

  explicit I2cPort(std::unique_ptr<I2cTransport> transport);

  void write16(std::int16_t address, std::int16_t value) override;
  std::int32_t read32(std::int16_t address) override;
  bool sees_lines() const override { return false; }
  std::string cannot_probe() const override;

  // What the lines mean to the frame, told by the LineFollower.
  void on_start();
  void on_stop();
  void on_rising();
  void on_falling() {}

 private:
  bool reading() const {
    return count_ > 0 && (bytes_[0] & 1) != 0 && bits_ >= frame::kClocksPerByte;
  }
  [[noreturn]] void unfit(const std::string& what) const;
  bool probe(std::uint16_t address);

  std::unique_ptr<I2cTransport> transport_;
  frame::LineFollower lines_;  // as driven; only the adapter sees the bus itself
  bool in_frame_ = false;
  int bits_ = 0;  // clocks since the START, acknowledge slots included
  std::uint8_t shift_ = 0;
  std::array<std::uint8_t, kMaxFrameBytes> bytes_{};  // the address byte, then the rest
  std::size_t count_ = 0;
  bool byte_read_ = false;  // the read message of a sampled read frame is done
  bool probed_ = false;     // the address of this frame was asked at its acknowledge slot
  bool answered_ = false;   // and something answered
  std::uint8_t read_byte_ = 0;
  bool zero_length_refused_ = false;  // the adapter refused a write of no data once
};

// An I2C adapter the kernel offers through i2c-dev.
struct I2cAdapter {
  int number;        // /dev/i2c-N
  std::string name;  // as the kernel names it (i2cdetect -l)
};
std::vector<I2cAdapter> list_i2c_adapters();

// What adapter `number` offers; empty when it cannot be asked (no node, no permission).
std::optional<I2cOffers> adapter_offers(int number);

// The adapter `choice` names: its bus number, its name exactly, or the start of the name of
// exactly one adapter (bridges name theirs after a node that changes on re-plugging: "CP2112 SMBus
// Bridge on hidraw0"). Throws port::PortError listing the adapters there are when none match, and
// those that match when several do.
I2cAdapter find_i2c_adapter(const std::string& choice);

// Opens the adapter `choice` names through /dev/i2c-N, checking that it can carry the frames: as
// plain I2C messages (I2C_RDWR) where it offers them, else as SMBus commands (I2C_SMBUS): a write
// of two bytes as Write Byte Data, of one as Send Byte, of three as Write Word Data, of none as
// Quick, a read of one byte as Receive Byte.
std::unique_ptr<port::Port> open_i2c(const std::string& choice);

}  // namespace vx::backends
