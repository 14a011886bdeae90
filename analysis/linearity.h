#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vx::analysis {

// One measured code: the code D and the reading R(D) (ohms, or volts in divider mode).
struct Point {
  int code = 0;
  double value = 0;
};

enum class Mode { rheostat, divider };

struct Options {
  Mode mode = Mode::rheostat;
  // Divider mode: the voltages at terminals A (high) and B (low), where they were given; without
  // them there is no zero- or full-scale error.
  std::optional<double> v_high, v_low;
  // The part's steps: 256 for an 8-bit part, whose ideal LSB is R_AB/256 (or (V_H - V_L)/256).
  int steps = 256;
};

// A figure's worst value and the code it is at.
struct Extreme {
  double value = 0;
  int code = 0;
};

// The figures of a sweep, as digital-potentiometer datasheets define them. Codes are taken in
// ascending order whatever the sweep's direction; a stepped or partial sweep is judged over its
// first and last measured codes, its DNL per step: (R(D) - R(D-s)) / (s * LSB) - 1.
struct Figures {
  std::vector<Point> points;  // ascending by code, one per code (a repeated code: its last)
  // End-point: LSB = (R(last) - R(first)) / (last - first); INL(D) = (R(D) - R(first)) / LSB -
  // (D - first).
  double lsb = 0;
  std::vector<double> inl;               // per point, end-point
  std::vector<double> inl_best;          // per point, from the least-squares line R = a + b*D
  double fit_offset = 0, fit_slope = 0;  // a and b
  std::vector<double> dnl;               // per point; the first point has none and holds 0
  Extreme inl_max, inl_min, inl_best_max, inl_best_min, dnl_max, dnl_min;
  // Every step where the reading does not move in the LSB's direction (DNL <= -1), by its upper
  // code.
  std::vector<int> not_monotonic;
  bool monotonic() const { return not_monotonic.empty(); }

  // Rheostat: R_W = R(first) - first * LSB (R(0) when code 0 was measured); R_AB = steps * LSB.
  std::optional<double> wiper_resistance, r_ab;
  // Divider, with V_H and V_L: ideal LSB = (V_H - V_L) / steps; zero-scale error =
  // (V(0) - V_L) / ideal LSB; full-scale error = (V(255) - V_H) / ideal LSB + 1 (each where that
  // code was measured).
  std::optional<double> ideal_lsb, zero_scale_error, full_scale_error;
};

// Throws std::invalid_argument, saying why, when there are fewer than two codes, a value is not
// finite, the first and last codes read the same (no LSB), or the fit's slope is 0.
Figures analyse(std::vector<Point> points, const Options& options = {});

}  // namespace vx::analysis
