#pragma once

#include "bus/line_driver.h"
#include "frame/cell_register.h"
#include "frame/line_protocol.h"

namespace vx::bus {

inline constexpr int kReadAddressTop = 44;  // cells 44..36: read address and its acknowledge
inline constexpr int kReadAddressBits = frame::kClocksPerByte;

// The read half of a read-back: START, the nine address-phase bits from cells 44..36 (a cell at
// 1 sends a 1), eight sampling passes, each sample taken while SCL is low, then an acknowledge
// clock with SDA low and a STOP. Returns the byte read, first sample most significant.
int read_transaction(LineDriver& driver, const frame::CellRegister& cells);

// Cells holding the read address byte 0x59 (cells 44..37) and a low acknowledge slot (cell 36),
// as a read-back loads them, for a read transaction sent on its own.
frame::CellRegister standard_read_frame();

}  // namespace vx::bus
