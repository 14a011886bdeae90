#include "null_port.h"

namespace vx::bench {

namespace {

class NullPort final : public port::Port {
 public:
  void write16(std::int16_t, std::int16_t) override {}
  std::int32_t read32(std::int16_t) override { return 0x7F; }
};

}  // namespace

std::unique_ptr<port::Port> make_null_port() {
  return std::make_unique<NullPort>();
}

}  // namespace vx::bench
