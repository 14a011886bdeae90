#include "sim/virtual_port.h"

#include "frame/line_protocol.h"

namespace vx::sim {

namespace {
constexpr const char* kName = "the simulated parallel port";
}  // namespace

std::shared_ptr<void> VirtualPort::hold_for_sweep() {
  return device_ ? device_->hold_for_sweep() : nullptr;
}

void VirtualPort::write16(std::int16_t address, std::int16_t value) {
  if (address != frame::kDataRegister) port::no_such_register(kName, address);
  bool scl = frame::scl_of(value) || wiring_.scl_open;
  bool sda = frame::sda_drive_of(value) || wiring_.sda_open;
  if (wiring_.bridged) scl = sda = scl && sda;
  if (device_) device_->set_lines(scl, sda);
  bus_sda_ = device_ ? device_->sda() : sda;
}

std::int32_t VirtualPort::read32(std::int16_t address) {
  if (address != frame::kStatusRegister) port::no_such_register(kName, address);
  return frame::status_for(bus_sda_);
}

}  // namespace vx::sim
