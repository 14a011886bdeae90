#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "port/port_access.h"

namespace vx::test {

// One port access as the back end saw it.
struct Access {
  char kind;  // 'W' or 'R'
  std::int16_t address;
  std::int32_t value;  // written value, or the value read
  bool operator==(const Access&) const = default;
};

std::string to_string(const Access& access);  // "W 378 F3", as the text trace writes it
std::string to_string(const std::vector<Access>& accesses);

inline Access write_of(int code) {
  return {'W', 0x378, code};
}

// What a test's port does and saw, kept across the back end's reopenings.
struct PortScript {
  std::vector<Access> accesses;  // every access that succeeded
  long fail_countdown = 0;       // the access numbered this from now (1-based) fails, once
  bool keeps_failing = false;    // and so does every access after it (an adapter unplugged)
  std::string fail_message = "injected port failure";
  std::function<std::int32_t(std::int32_t)> read_filter;  // changes every value read
  int opens = 0;

  void fail_at(long access_number, std::string message) {
    fail_countdown = access_number;
    fail_message = std::move(message);
  }
};

// Passes accesses on to a back end and follows the script.
class RecordingPort final : public port::Port {
 public:
  RecordingPort(std::unique_ptr<port::Port> inner, PortScript& script)
      : inner_(std::move(inner)), script_(script) {}

  void write16(std::int16_t address, std::int16_t value) override;
  std::int32_t read32(std::int16_t address) override;
  std::optional<bool> bus_sda() const override { return inner_->bus_sda(); }

 private:
  void count_and_maybe_fail();

  std::unique_ptr<port::Port> inner_;
  PortScript& script_;
};

// An opener that hands out `port` without giving up ownership.
port::PortAccess::Opener borrow(port::Port& port);

// An opener for a fresh back end made by `make`, recorded and scripted by `script`.
port::PortAccess::Opener recording(PortScript& script,
                                   std::function<std::unique_ptr<port::Port>()> make);

}  // namespace vx::test
