#include "sim/virtual_port.h"

#include "frame/line_protocol.h"

namespace vx::sim {

namespace {
constexpr const char* kName = "the simulated parallel port";
}  // namespace

void VirtualPort::write16(std::int16_t address, std::int16_t value) {
  if (address != frame::kDataRegister) port::no_such_register(kName, address);
  master_sda_ = frame::sda_drive_of(value);
  if (device_) device_->set_lines(frame::scl_of(value), master_sda_);
}

std::int32_t VirtualPort::read32(std::int16_t address) {
  if (address != frame::kStatusRegister) port::no_such_register(kName, address);
  return frame::status_for(*bus_sda());
}

}  // namespace vx::sim
