#include "sim/analog.h"

#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace vx::sim {

namespace {

[[noreturn]] void wrong(const std::string& text, const std::string& why) {
  throw std::invalid_argument("VX3071_SIM_ANALOG is \"" + text + "\": " + why +
                              "; it is name=value, comma apart, from rab, rw, seed, mismatch, "
                              "step=CODE:OHMS, noise, settle_ms and resolution");
}

double number(const std::string& text, const std::string& whole, const std::string& name) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value)) {
    wrong(whole, name + " is not a number");
  }
  return value;
}

}  // namespace

AnalogOptions parse_analog(const std::string& text) {
  AnalogOptions o;
  if (text.empty()) return o;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, end - start);
    start = end + 1;
    const std::size_t equals = item.find('=');
    if (equals == std::string::npos) wrong(text, "\"" + item + "\" has no value");
    const std::string name = item.substr(0, equals), value = item.substr(equals + 1);
    if (name == "rab") {
      o.rab = number(value, text, name);
      if (o.rab <= 0) wrong(text, "rab must be above 0");
    } else if (name == "rw") {
      o.rw = number(value, text, name);
      if (o.rw < 0) wrong(text, "rw must not be negative");
    } else if (name == "seed") {
      o.seed = static_cast<unsigned>(number(value, text, name));
    } else if (name == "mismatch") {
      o.mismatch = number(value, text, name);
      if (o.mismatch < 0 || o.mismatch > 10) wrong(text, "mismatch must lie from 0 to 10 LSB");
    } else if (name == "step") {
      const std::size_t colon = value.find(':');
      if (colon == std::string::npos) wrong(text, "a step is CODE:OHMS");
      const double code = number(value.substr(0, colon), text, "a step's code");
      if (code < 1 || code > 255 || code != std::floor(code)) {
        wrong(text, "a step's code is a whole number from 1 to 255");
      }
      o.steps.emplace_back(static_cast<int>(code), number(value.substr(colon + 1), text, name));
    } else if (name == "noise") {
      o.noise = number(value, text, name);
      if (o.noise < 0) wrong(text, "noise must not be negative");
    } else if (name == "settle_ms") {
      const double ms = number(value, text, name);
      if (ms < 0 || ms > 60'000) wrong(text, "settle_ms must lie from 0 to 60000");
      o.settle_ms = static_cast<long>(ms);
    } else if (name == "resolution") {
      o.resolution = number(value, text, name);
      if (o.resolution < 0) wrong(text, "resolution must not be negative");
    } else {
      wrong(text, "\"" + name + "\" is no option");
    }
  }
  return o;
}

AnalogOptions analog_from_environment() {
  const char* text = std::getenv("VX3071_SIM_ANALOG");
  return parse_analog(text ? text : "");
}

Potentiometer::Potentiometer(const AnalogOptions& options) : options_(options), table_(256) {
  const double lsb = options.rab / 256;
  std::mt19937 random(options.seed);
  std::uniform_real_distribution<double> spread(-1.0, 1.0);
  for (int code = 0; code < 256; ++code) {
    const double error = (code == 0 || code == 255) ? 0 : options.mismatch * lsb * spread(random);
    double value = code * lsb + options.rw + error;
    for (const auto& [from, ohms] : options.steps) value += code >= from ? ohms : 0;
    table_[static_cast<std::size_t>(code)] = value;
  }
}

double Potentiometer::reading(int code, int before, std::chrono::nanoseconds since,
                              std::mt19937& random) const {
  const bool settled = since >= std::chrono::milliseconds(options_.settle_ms);
  double value = resistance(settled ? code : before);
  if (options_.noise > 0) value += std::normal_distribution<double>(0, options_.noise)(random);
  if (options_.resolution > 0)
    value = std::round(value / options_.resolution) * options_.resolution;
  return value;
}

}  // namespace vx::sim
