#include "support/bus_checks.h"

#include "frame/device_address.h"

namespace vx::test {

namespace {

bool is_write(const Access& a, int code) {
  return a.kind == 'W' && a.address == 0x378 && a.value == code;
}

std::string at(std::size_t index, const std::string& what) {
  return "access " + std::to_string(index + 1) + ": " + what;
}

// Reads one bit period (two writes) starting at `index`: 1, 0, or -1 when malformed.
int bit_period(std::span<const Access> a, std::size_t index) {
  if (is_write(a[index], 0xF1) && is_write(a[index + 1], 0xF3)) return 1;
  if (is_write(a[index], 0xF0) && is_write(a[index + 1], 0xF2)) return 0;
  return -1;
}

}  // namespace

std::vector<Access> frame_writes(const std::string& bits) {
  std::vector<Access> writes = {write_of(0xF3), write_of(0xF2)};
  for (char bit : bits) {
    writes.push_back(write_of(bit == '1' ? 0xF1 : 0xF0));
    writes.push_back(write_of(bit == '1' ? 0xF3 : 0xF2));
  }
  for (int code : {0xF0, 0xF2, 0xF3}) writes.push_back(write_of(code));
  return writes;
}

Decoded decode_write(std::span<const Access> a) {
  if (a.size() != kWriteAccesses)
    return {std::nullopt, "has " + std::to_string(a.size()) + " accesses"};
  if (!is_write(a[0], 0xF3) || !is_write(a[1], 0xF2)) return {std::nullopt, "no START"};
  std::uint32_t word = 0;
  for (std::size_t bit = 0; bit < 27; ++bit) {
    const int value = bit_period(a, 2 + 2 * bit);
    if (value < 0) return {std::nullopt, at(2 + 2 * bit, "not a bit period")};
    word = word << 1 | static_cast<std::uint32_t>(value);
  }
  if (!is_write(a[56], 0xF0) || !is_write(a[57], 0xF2) || !is_write(a[58], 0xF3)) {
    return {std::nullopt, "no STOP"};
  }
  if (std::string lines = check_lines(a); !lines.empty()) return {std::nullopt, lines};
  return {word, ""};
}

std::string check_read(std::span<const Access> a) {
  if (a.size() != kReadAccesses) return "has " + std::to_string(a.size()) + " accesses";
  if (!is_write(a[0], 0xF3) || !is_write(a[1], 0xF2)) return "no START";
  int address = 0;
  for (std::size_t bit = 0; bit < 9; ++bit) {
    const int value = bit_period(a, 2 + 2 * bit);
    if (value < 0) return at(2 + 2 * bit, "not a bit period");
    address = address << 1 | value;
  }
  if (address != frame::kReadAddressByte << 1)
    return "addressed " + std::to_string(address >> 1) + ", slot " + std::to_string(address & 1);
  for (std::size_t pass = 0; pass < 8; ++pass) {
    const std::size_t i = 20 + 3 * pass;
    if (!is_write(a[i], 0xF1) || a[i + 1].kind != 'R' || a[i + 1].address != 0x379 ||
        !is_write(a[i + 2], 0xF3)) {
      return at(i, "not a sampling pass");
    }
  }
  if (!is_write(a[44], 0xF3) || !is_write(a[45], 0xF0) || !is_write(a[46], 0xF2) ||
      !is_write(a[47], 0xF3)) {
    return "no acknowledge clock and STOP";
  }
  return check_lines(a);
}

std::string check_lines(std::span<const Access> transaction) {
  int scl = 1, sda = 1;  // the idle bus
  std::size_t last_write = 0;
  for (std::size_t i = 0; i < transaction.size(); ++i) {
    if (transaction[i].kind == 'W') last_write = i;
  }
  for (std::size_t i = 0; i < transaction.size(); ++i) {
    const Access& a = transaction[i];
    if (a.kind != 'W') continue;
    const int new_scl = (a.value >> 1) & 1, new_sda = a.value & 1;
    if (scl == 1 && new_scl == 1 && new_sda != sda) {
      const bool start = i == 1 && new_sda == 0;
      const bool stop = i == last_write && new_sda == 1;
      if (!start && !stop) return at(i, "SDA changes while SCL is high");
    }
    scl = new_scl;
    sda = new_sda;
  }
  return "";
}

std::optional<std::size_t> bus_clear_length(std::span<const Access> a) {
  auto write_at = [&](std::size_t i, int code) { return i < a.size() && is_write(a[i], code); };
  if (!write_at(0, 0xF3)) return std::nullopt;
  std::size_t i = 1;
  for (int clocks = 0;; ++clocks) {
    if (i >= a.size() || a[i].kind != 'R' || a[i].address != 0x379) return std::nullopt;
    if (a[i++].value & 0x08) break;
    if (clocks == 9) return std::nullopt;  // still low after nine clocks: no clear
    if (!write_at(i, 0xF1) || !write_at(i + 1, 0xF3)) return std::nullopt;
    i += 2;
  }
  if (!write_at(i, 0xF2) || !write_at(i + 1, 0xF3)) return std::nullopt;
  return i + 2;
}

}  // namespace vx::test
