#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/test_ports.h"

namespace vx::test {

inline constexpr std::size_t kWriteAccesses = 59;
inline constexpr std::size_t kReadAccesses = 48;  // 40 writes and 8 reads

// The accesses of a write transaction of `bits` ('0' and '1', bit 26 first), as the bus must see
// them: START, two writes per bit, STOP.
std::vector<Access> frame_writes(const std::string& bits);

// The frame word a write transaction carries, or why it is not a well-formed one: START, 27 bit
// periods, STOP, all written to the data register.
struct Decoded {
  std::optional<std::uint32_t> word;
  std::string fault;
};
Decoded decode_write(std::span<const Access> accesses);

// Whether `accesses` are a well-formed read transaction addressed to 0x59 with its acknowledge
// slot low; empty when they are, else what is wrong.
std::string check_read(std::span<const Access> accesses);

// Whether SDA changes while SCL is high anywhere but at the START (the second write) and the STOP
// (the last write) of a transaction; empty when it never does, else where it does.
std::string check_lines(std::span<const Access> transaction);

// The length of the bus clear that `accesses` begin with: SDA released (a write of F3), then a
// sample and, while it reads low, a clock (F1 F3) and another sample, at most nine clocks, then a
// START and a STOP (F2 F3). Empty when they do not begin with one.
std::optional<std::size_t> bus_clear_length(std::span<const Access> accesses);

}  // namespace vx::test
