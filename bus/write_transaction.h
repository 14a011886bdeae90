#pragma once

#include "bus/line_driver.h"

namespace vx::bus {

inline constexpr int kFrameBits = 27;

// Sends bits 26..0 of `frame_word`, most significant first, between a START and a STOP: 59 line
// codes, nothing read. Bits above 26 are never sent. Throws std::invalid_argument, before any
// port access, for a word that is negative, not whole, or 2^31 and above.
void Read_Write_Bits_to_Parallel_Port(LineDriver& driver, double frame_word);

}  // namespace vx::bus
