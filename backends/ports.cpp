#include "backends/ports.h"

#include <unistd.h>

#include <cstdio>

#include "frame/line_protocol.h"

#include "backends/ftdi.h"
#include "backends/gpio.h"
#include "backends/i2c.h"
#include "backends/parport.h"

namespace vx::backends {

namespace {

bool may_open(const std::string& device) {
  return ::access(device.c_str(), R_OK | W_OK) == 0;
}

}  // namespace

std::vector<OfferedPort> offered_ports() {
  std::vector<OfferedPort> offered;
  for (const auto& parport : list_parports()) {
    OfferedPort p;
    p.choice = parport.base == frame::kDataRegister ? "parport" : "parport:" + parport.name;
    p.kind = "parport";
    p.what = "parallel port " + parport.name + " at 0x" +
             port::hex(static_cast<std::uint32_t>(parport.base));
    p.device = "/dev/" + parport.name;
    p.usable = may_open(p.device);
    if (!p.usable) {
      p.fix = "load ppdev (sudo modprobe ppdev) and join group lp (sudo usermod -aG lp $USER)";
    }
    offered.push_back(p);
  }
  for (const auto& adapter : list_i2c_adapters()) {
    OfferedPort p;
    p.choice = "i2c:" + std::to_string(adapter.number);
    p.kind = "i2c";
    p.what = "I2C adapter " + std::to_string(adapter.number) + " '" + adapter.name + "'";
    p.device = "/dev/i2c-" + std::to_string(adapter.number);
    p.usable = may_open(p.device);
    const auto offers = p.usable ? adapter_offers(adapter.number) : std::nullopt;
    if (offers) {
      p.plain_i2c = offers->plain_i2c;
      p.form = offers->form();
    }
    if (!p.usable) {
      p.fix = "join group i2c (sudo usermod -aG i2c $USER; Debian's i2c-tools makes the group)";
    } else if (offers && !offers->carries_frames()) {
      p.fix = "use an adapter that does plain I2C, or SMBus Write Byte Data and Receive Byte";
    }
    offered.push_back(p);
  }
  for (const auto& chip : list_gpio_chips()) {
    OfferedPort p;
    p.choice = "gpio:" + chip.name + ":SDA,SCL";
    p.kind = "gpio";
    p.what = "GPIO chip " + chip.name + " '" + chip.label + "', " + std::to_string(chip.lines) +
             " lines";
    p.device = "/dev/" + chip.name;
    p.lines = chip.lines;
    p.usable = may_open(p.device);
    if (!p.usable) p.fix = "install the README's udev rule and join group gpio";
    offered.push_back(p);
  }
  const auto calls = libftdi_calls();
  std::vector<FtdiChip> chips;
  if (calls->find_all(chips) > 0) {
    for (const auto& chip : chips) {
      OfferedPort p;
      p.choice = "ftdi:" + chip.serial;
      p.kind = "ftdi";
      p.what = "FTDI chip '" + chip.description + "', serial " + chip.serial;
      if (const int interfaces = ftdi_interfaces(chip.product); interfaces > 1) {
        p.what += ", interfaces A to " + std::string(1, static_cast<char>('A' + interfaces - 1)) +
                  " (ftdi:" + chip.serial + ":B picks B)";
      }
      if (chip.bus >= 0) {
        char node[32];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", chip.bus, chip.address);
        p.device = node;
      }
      p.usable = !p.device.empty() && may_open(p.device);
      if (!p.usable) p.fix = "install the README's udev rule for FTDI chips and join group plugdev";
      offered.push_back(p);
    }
  }
  return offered;
}

}  // namespace vx::backends
