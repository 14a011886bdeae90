#include "meter/simulated.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <random>
#include <stdexcept>

#include "sim/analog.h"
#include "sim/device.h"
#include "sim/shared_part.h"

namespace vx::meter {

namespace {

constexpr double kDividerVolts = 5.0;
constexpr double kOverrange = 1.2;

class Simulated final : public Transport {
 public:
  Simulated() try
      : part_(sim::analog_from_environment()), shared_(sim::shared_part_from_environment()) {
  } catch (const std::invalid_argument& error) {
    throw MeterError(error.what());
  }

  void send(const std::string& line, Clock::time_point) override {
    if (line == "*IDN?") {
      answers_.push_back("VX3071 bench,simulated meter,0,1.0");
    } else if (line == "*CLS") {
      errors_.clear();
    } else if (line.rfind("CONF:RES", 0) == 0 || line.rfind("CONF:VOLT:DC", 0) == 0) {
      volts_ = line.rfind("CONF:VOLT", 0) == 0;
      const std::size_t space = line.find(' ');
      const std::string range = space == std::string::npos ? "" : line.substr(space + 1);
      range_ = range.empty() || range == "AUTO" ? 0 : std::strtod(range.c_str(), nullptr);
      if (range_ < 0) errors_.push_back("-222,\"Data out of range\"");
    } else if (line == "SYST:ERR?") {
      answers_.push_back(errors_.empty() ? "+0,\"No error\"" : errors_.front());
      if (!errors_.empty()) errors_.pop_front();
    } else if (line == "READ?") {
      answers_.push_back(reading());
    } else if (line != "SYST:REM") {
      errors_.push_back("-113,\"Undefined header\"");
    }
  }

  std::string receive(Clock::time_point) override {
    if (answers_.empty()) throw MeterTimeout(where() + " did not answer in time");
    std::string answer = answers_.front();
    answers_.pop_front();
    return answer;
  }

  void clear() override { answers_.clear(); }
  std::string where() const override { return "the simulated meter"; }

 private:
  std::string reading() {
    int code = sim::Device::kPowerUpSetting, before = code;
    std::int64_t written = 0;
    if (shared_) {
      const sim::PartState state = shared_->load();
      code = state.setting;
      before = state.before;
      written = state.written_ns;
    } else if (const auto device = sim::published()) {
      code = device->setting();
      before = device->before();
      written = device->written_ns();
    }
    const std::chrono::nanoseconds since(written == 0 ? INT64_MAX : sim::monotonic_ns() - written);
    double value = part_.reading(code, before, since, random_);
    if (volts_) value = kDividerVolts * (value - part_.options().rw) / part_.options().rab;
    if (range_ > 0 && value > range_ * kOverrange) value = 9.9e37;
    char text[64];
    std::snprintf(text, sizeof text, "%+.8E", value);
    return text;
  }

  sim::Potentiometer part_;
  std::shared_ptr<sim::SharedPart> shared_;
  std::mt19937 random_{12345};
  std::deque<std::string> answers_, errors_;
  bool volts_ = false;
  double range_ = 0;
};

}  // namespace

std::unique_ptr<Transport> open_simulated() {
  return std::make_unique<Simulated>();
}

}  // namespace vx::meter
