#include "sim/virtual_port.h"

namespace vx::sim {

namespace {

[[noreturn]] void no_such_access(const char* what, std::int16_t address) {
  throw port::PortError(std::string("the simulated parallel port has no ") + what + " at 0x" +
                        port::hex(static_cast<std::uint16_t>(address)) +
                        ": it writes 0x378 and reads 0x379");
}

}  // namespace

void VirtualPort::write16(std::int16_t address, std::int16_t value) {
  if (address != port::kDataRegister) no_such_access("writable register", address);
  master_sda_ = (value & 0x01) != 0;
  if (device_) device_->set_lines((value & 0x02) != 0, master_sda_);
}

std::int32_t VirtualPort::read32(std::int16_t address) {
  if (address != port::kStatusRegister) no_such_access("readable register", address);
  return kIdleStatus | (*bus_sda() ? kSdaStatusBit : 0);
}

}  // namespace vx::sim
