#pragma once

#include <cstdint>

#include "bus/line_driver.h"

namespace vx::bus {

// Asks whether a device answers to `address_byte` (its 7-bit address and the R/W bit), as
// i2cdetect's quick write does: START, the byte, its acknowledge slot with SDA released and
// sampled while SCL is high, then STOP; no data. True when something held SDA low in the slot.
bool address_acknowledged(LineDriver& driver, std::uint8_t address_byte);

}  // namespace vx::bus
