#pragma once

#include <cstdint>

namespace vx::frame {

// The VX3071's 7-bit bus address and the address bytes that carry it.
inline constexpr std::uint8_t kDeviceAddress = 0x2C;
inline constexpr std::uint8_t kWriteAddressByte = kDeviceAddress << 1;     // 0x58
inline constexpr std::uint8_t kReadAddressByte = kDeviceAddress << 1 | 1;  // 0x59

// The write address byte in bits 26..19 of a frame word, second byte and acknowledge slots 0.
inline constexpr std::int32_t kFixedAddressBits = std::int32_t{kWriteAddressByte} << 19;

}  // namespace vx::frame
