#include "decode/decoder.h"

#include <cstdio>
#include <utility>

#include "frame/line_protocol.h"

namespace vx::decode {

Lines lines_after(const Lines& before, const Access& access) {
  Lines now = before;
  if (access.write) {
    now.scl = frame::scl_of(access.value);
    now.sda_out = frame::sda_drive_of(access.value);
    now.sda = access.bus_sda.value_or(now.sda_out);
  } else {
    now.sda = access.bus_sda.value_or(frame::sda_of_status(access.value));
  }
  return now;
}

std::vector<Lines> lines_of(std::span<const Access> accesses) {
  std::vector<Lines> lines;
  lines.reserve(accesses.size() + 1);
  lines.push_back(Lines{});
  for (const Access& access : accesses) lines.push_back(lines_after(lines.back(), access));
  return lines;
}

std::string hex_byte(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

// Unlike frame::LineFollower, which takes one write that moves both lines as the master's timing
// means it, this reads the lines as sigrok's I2C decoder reads samples: a rising clock is a bit
// even where SDA moves with it, and START or STOP count only where it looks for them.
void LiveDecoder::feed(std::size_t at, const Lines& now, std::vector<Annotation>& out) {
  const Lines previous = std::exchange(previous_, now);
  const bool rising = !previous.scl && now.scl;
  const bool start = now.scl && previous.sda && !now.sda;
  const bool stop = now.scl && !previous.sda && now.sda;
  switch (state_) {
    case State::find_start:
      if (start) on_start(at, out);
      break;
    case State::find_address:
      if (rising) on_bit(at, now.sda, out);
      break;
    case State::find_ack:
      if (rising) {
        out.push_back({now.sda ? Kind::nack : Kind::ack, at, at});
        state_ = State::find_data;
      }
      break;
    case State::find_data:
      // A rising clock is a bit even where SDA changes with it, as the decoder takes it.
      if (rising) {
        on_bit(at, now.sda, out);
      } else if (start) {
        drop_partial(at, out);
        on_start(at, out);
      } else if (stop) {
        drop_partial(at, out);
        out.push_back({Kind::stop, at, at});
        state_ = State::find_start;
        repeat_ = false;
      }
      break;
  }
}

void LiveDecoder::on_start(std::size_t at, std::vector<Annotation>& out) {
  out.push_back({repeat_ ? Kind::repeat_start : Kind::start, at, at});
  repeat_ = true;
  state_ = State::find_address;
  bits_ = 0;
  byte_ = 0;
  reading_ = false;
}

void LiveDecoder::on_bit(std::size_t at, bool one, std::vector<Annotation>& out) {
  if (bits_ == 0) first_ = at;
  byte_ = byte_ << 1 | (one ? 1 : 0);
  if (++bits_ < 8) return;
  if (state_ == State::find_address) {
    reading_ = (byte_ & 1) != 0;
    out.push_back({reading_ ? Kind::address_read : Kind::address_write, first_, at, byte_ >> 1});
  } else {
    out.push_back({reading_ ? Kind::data_read : Kind::data_write, first_, at, byte_});
  }
  bits_ = 0;
  byte_ = 0;
  state_ = State::find_ack;
}

// The decoder forgets bits a START or STOP cut short; the monitor marks them. A START or STOP
// comes with SCL high, so one rising clock leads into it, which is no bit at all.
void LiveDecoder::drop_partial(std::size_t at, std::vector<Annotation>& out) {
  if (bits_ > 1) out.push_back({Kind::broken, first_, at, bits_ - 1});
  bits_ = 0;
  byte_ = 0;
}

std::vector<Annotation> decode(std::span<const Lines> samples) {
  std::vector<Annotation> annotations;
  LiveDecoder decoder;
  if (!samples.empty()) decoder.feed(0, samples[0], annotations);
  for (std::size_t i = 1; i < samples.size(); ++i) decoder.feed(i, samples[i], annotations);
  return annotations;
}

std::string short_text(const Annotation& a) {
  switch (a.kind) {
    case Kind::start:
      return "S";
    case Kind::repeat_start:
      return "Sr";
    case Kind::stop:
      return "P";
    case Kind::address_read:
      return hex_byte(a.value) + " R";
    case Kind::address_write:
      return hex_byte(a.value) + " W";
    case Kind::data_read:
    case Kind::data_write:
      return hex_byte(a.value);
    case Kind::ack:
      return "A";
    case Kind::nack:
      return "N";
    case Kind::broken:
      return "?";
  }
  return "";
}

}  // namespace vx::decode
