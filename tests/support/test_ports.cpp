#include "support/test_ports.h"

namespace vx::test {

std::string to_string(const Access& access) {
  const auto value = access.kind == 'W' ? static_cast<std::uint16_t>(access.value)
                                        : static_cast<std::uint32_t>(access.value);
  return std::string(1, access.kind) + " " + port::hex(static_cast<std::uint16_t>(access.address)) +
         " " + port::hex(value);
}

std::string to_string(const std::vector<Access>& accesses) {
  std::string text;
  for (const auto& access : accesses) text += to_string(access) + "\n";
  return text;
}

void RecordingPort::count_and_maybe_fail() {
  if (script_.fail_countdown > 0 && --script_.fail_countdown == 0) {
    if (script_.keeps_failing) script_.fail_countdown = 1;
    throw port::PortError(script_.fail_message);
  }
}

void RecordingPort::write16(std::int16_t address, std::int16_t value) {
  count_and_maybe_fail();
  inner_->write16(address, value);
  script_.accesses.push_back({'W', address, value});
}

std::int32_t RecordingPort::read32(std::int16_t address) {
  count_and_maybe_fail();
  std::int32_t value = inner_->read32(address);
  if (script_.read_filter) value = script_.read_filter(value);
  script_.accesses.push_back({'R', address, value});
  return value;
}

port::PortAccess::Opener borrow(port::Port& port) {
  return port::borrowed(port);
}

port::PortAccess::Opener recording(PortScript& script,
                                   std::function<std::unique_ptr<port::Port>()> make) {
  return [&script, make = std::move(make)]() -> std::unique_ptr<port::Port> {
    ++script.opens;
    return std::make_unique<RecordingPort>(make(), script);
  };
}

}  // namespace vx::test

// LeakSanitizer's own hook, read where the program is built with it: liblxi 1.18 allocates in the
// thread it starts for a connection and never frees it. Not our leak; every other one still fails.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:liblxi.so\n";
}
