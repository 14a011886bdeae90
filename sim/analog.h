#pragma once

#include <chrono>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace vx::sim {

// The simulated part's analog side, a 256-step potentiometer as digital-potentiometer datasheets
// describe one: between the wiper and terminal B, R_WB(D) = D/256 * R_AB + R_W, plus each code's
// own mismatch. Its options, in VX3071_SIM_ANALOG's words:
//   rab=10000      end-to-end resistance R_AB, in ohms
//   rw=75          wiper resistance R_W, in ohms
//   seed=1         the seed the mismatch is drawn from
//   mismatch=0.3   each code's error, drawn evenly from -mismatch to +mismatch LSB (1 LSB =
//                  R_AB/256), none at codes 0 and 255; so end-point INL stays within it, DNL within
//                  twice it
//   step=128:-60   ohms added from a code on (a step that goes backwards: not monotonic there);
//                  more than one step may be given
//   noise=0.5      each reading's noise, Gaussian, its standard deviation in ohms
//   settle_ms=2    after a write, the old value is read this long
//   resolution=100 the meter's resolution: each reading rounded to a multiple of it (a coarse
//                  meter, whose readings stand still over several codes); 0, none
struct AnalogOptions {
  double rab = 10000;
  double rw = 75;
  unsigned seed = 1;
  double mismatch = 0.3;
  std::vector<std::pair<int, double>> steps;
  double noise = 0;
  long settle_ms = 0;
  double resolution = 0;
};

// Throws std::invalid_argument naming VX3071_SIM_ANALOG and what is wrong.
AnalogOptions parse_analog(const std::string& text);
// VX3071_SIM_ANALOG's options, or the defaults when it is unset.
AnalogOptions analog_from_environment();

class Potentiometer {
 public:
  explicit Potentiometer(const AnalogOptions& options);

  // R_WB at `code`, without noise: what the tests know exactly.
  double resistance(int code) const { return table_.at(static_cast<std::size_t>(code)); }
  // A reading of the part now: `code` written `since` ago, `before` the setting it left; noise
  // drawn from `random`.
  double reading(int code, int before, std::chrono::nanoseconds since, std::mt19937& random) const;
  const AnalogOptions& options() const { return options_; }

 private:
  AnalogOptions options_;
  std::vector<double> table_;
};

}  // namespace vx::sim
