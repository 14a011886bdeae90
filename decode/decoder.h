#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vx::decode {

// One port access as the monitor keeps it: a write of a line code, or a read of the status.
struct Access {
  bool write = true;
  std::uint32_t value = 0;      // the code written, or the status read
  std::optional<bool> bus_sda;  // the bus's SDA after the access, where the back end knows it
};

// The lines after an access, as a logic analyser samples them once an access: SCL, the bus's
// SDA (where the back end cannot know it, the panel's drive, updated by each status read), and the
// panel's own drive.
struct Lines {
  bool scl = true;
  bool sda = true;
  bool sda_out = true;
  bool operator==(const Lines&) const = default;
};

// The lines after `access`, from the lines before it.
Lines lines_after(const Lines& before, const Access& access);

// The lines after each access, starting from the idle bus; the same levels a VCD trace records.
std::vector<Lines> lines_of(std::span<const Access> accesses);

// What a stretch of samples means on an I2C bus.
enum class Kind {
  start,
  repeat_start,
  stop,
  address_read,
  address_write,
  data_read,
  data_write,
  ack,
  nack,
  broken,  // bits that made no byte: a START or STOP came inside it
};

struct Annotation {
  Kind kind;
  std::size_t first, last;  // sample indexes: sample 0 is the idle bus, sample i follows access i
  int value = 0;            // the 7-bit address or the data byte
  bool operator==(const Annotation&) const = default;
};

// Decodes samples as they come, each numbered by the caller, as `decode` does.
class LiveDecoder {
 public:
  void feed(std::size_t at, const Lines& now, std::vector<Annotation>& out);

 private:
  void on_start(std::size_t at, std::vector<Annotation>& out);
  void on_bit(std::size_t at, bool one, std::vector<Annotation>& out);
  void drop_partial(std::size_t at, std::vector<Annotation>& out);

  enum class State { find_start, find_address, find_data, find_ack };
  Lines previous_;
  State state_ = State::find_start;
  bool repeat_ = false;
  bool reading_ = false;
  int bits_ = 0;
  int byte_ = 0;
  std::size_t first_ = 0;
};

// Decodes the samples as a logic analyser's I2C decoder does: START and STOP where SDA changes
// while SCL is high, bits taken on the rising clock, eight to a byte and the ninth its
// acknowledge; an address byte's last bit says whether the bytes that follow are read or written.
// Like that decoder, it does not look for START or STOP inside an address byte or an acknowledge.
std::vector<Annotation> decode(std::span<const Lines> samples);

// The annotation as a person reads it: "S", "2C W", "A5", "A", "N", "P".
std::string short_text(const Annotation& annotation);
// A byte in two upper-case hex digits.
std::string hex_byte(int value);

}  // namespace vx::decode
