#pragma once

#include <memory>

#include "port/port.h"
#include "sim/device.h"

namespace vx::sim {

// A parallel port with the simulated device on its lines, wired as frame/line_protocol.h says.
// Only the two registers the panel uses exist; any other access is a PortError, so a wrong
// address shows up at once.
// Wiring faults a bench meets, for tests of what finds them: SDA's drive (D0 through its buffer)
// not reaching the bus, which status bit 3 still reads; SCL not reaching the device; the two bus
// lines shorted together, each low when either is pulled low.
struct Wiring {
  bool sda_open = false;
  bool scl_open = false;
  bool bridged = false;
};

class VirtualPort final : public port::Port {
 public:
  // The device outlives the port, as hardware outlives a closed port: openers that reopen hand
  // the same one to each port. A null device is a bus with nothing on it, where SDA follows the
  // master's drive alone.
  explicit VirtualPort(std::shared_ptr<Device> device = std::make_shared<Device>(),
                       Wiring wiring = {})
      : device_(std::move(device)), wiring_(wiring) {}

  void write16(std::int16_t address, std::int16_t value) override;
  std::int32_t read32(std::int16_t address) override;
  std::optional<bool> bus_sda() const override { return bus_sda_; }
  std::shared_ptr<void> hold_for_sweep() override;

  // The device on the bus; only for a port that has one.
  const Device& device() const { return *device_; }

 private:
  std::shared_ptr<Device> device_;
  Wiring wiring_;
  bool bus_sda_ = true;
};

}  // namespace vx::sim
