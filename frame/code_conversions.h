#pragma once

#include "frame/cell_register.h"
#include "frame/device_address.h"

namespace vx::frame {

// Writes the low eight bits of `value` over cells lowest..lowest+7, least significant bit in the
// lowest cell: first all eight fall to 0 from the lowest up, then the 1 bits rise from the lowest
// up, each change firing its event. Throws std::out_of_range for a negative value or a target
// range outside the register, before touching any cell.
void spread_byte(CellRegister& cells, int value, int lowest);

// Spreads the shared data code over the data cells 1..8 (cell 1 = D0).
void Code_to_Data_Bits(CellRegister& cells, const double& shared_data_code);

// The frame word of a complete standard write frame carrying `data_code`, formed without reading
// any cell. Throws std::out_of_range unless the code is a whole number 0..255.
double fixed_address_frame_word(double data_code);

}  // namespace vx::frame
