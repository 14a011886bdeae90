#include "analysis/linearity.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace vx::analysis {

namespace {

// The extremes of `values` (one per point), each with its point's code; the first point skipped
// where it has no value of its own (DNL).
void extremes(const std::vector<Point>& points, const std::vector<double>& values, std::size_t from,
              Extreme& high, Extreme& low) {
  high = {values[from], points[from].code};
  low = high;
  for (std::size_t i = from + 1; i < values.size(); ++i) {
    if (values[i] > high.value) high = {values[i], points[i].code};
    if (values[i] < low.value) low = {values[i], points[i].code};
  }
}

const Point* at_code(const std::vector<Point>& points, int code) {
  for (const Point& point : points) {
    if (point.code == code) return &point;
  }
  return nullptr;
}

}  // namespace

Figures analyse(std::vector<Point> points, const Options& options) {
  // Ascending by code; of a code measured twice, the last reading stands.
  std::stable_sort(points.begin(), points.end(),
                   [](const Point& a, const Point& b) { return a.code < b.code; });
  std::vector<Point> unique;
  for (const Point& point : points) {
    if (!std::isfinite(point.value)) {
      throw std::invalid_argument("the reading at code " + std::to_string(point.code) +
                                  " is not a number");
    }
    if (!unique.empty() && unique.back().code == point.code) {
      unique.back() = point;
    } else {
      unique.push_back(point);
    }
  }
  if (unique.size() < 2) {
    throw std::invalid_argument("INL and DNL need readings at two codes at least");
  }

  Figures f;
  f.points = std::move(unique);
  const std::vector<Point>& p = f.points;
  const std::size_t n = p.size();
  const Point& first = p.front();
  const Point& last = p.back();
  f.lsb = (last.value - first.value) / (last.code - first.code);
  if (f.lsb == 0) {
    throw std::invalid_argument("codes " + std::to_string(first.code) + " and " +
                                std::to_string(last.code) +
                                " read the same: the part does not move, so there is no LSB");
  }

  f.inl.resize(n);
  f.dnl.assign(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    f.inl[i] = (p[i].value - first.value) / f.lsb - (p[i].code - first.code);
    if (i == 0) continue;
    const int step = p[i].code - p[i - 1].code;
    f.dnl[i] = (p[i].value - p[i - 1].value) / (step * f.lsb) - 1;
    if (f.dnl[i] <= -1) f.not_monotonic.push_back(p[i].code);
  }

  // Least squares about the mean code, which keeps the sums small and exact for integer codes.
  double mean_code = 0, mean_value = 0;
  for (const Point& point : p) {
    mean_code += point.code;
    mean_value += point.value;
  }
  mean_code /= static_cast<double>(n);
  mean_value /= static_cast<double>(n);
  double sxx = 0, sxy = 0;
  for (const Point& point : p) {
    const double dx = point.code - mean_code;
    sxx += dx * dx;
    sxy += dx * (point.value - mean_value);
  }
  f.fit_slope = sxy / sxx;
  f.fit_offset = mean_value - f.fit_slope * mean_code;
  if (f.fit_slope == 0) throw std::invalid_argument("the best-fit line is flat: no LSB");
  f.inl_best.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    f.inl_best[i] = (p[i].value - (f.fit_offset + f.fit_slope * p[i].code)) / f.fit_slope;
  }

  extremes(p, f.inl, 0, f.inl_max, f.inl_min);
  extremes(p, f.inl_best, 0, f.inl_best_max, f.inl_best_min);
  extremes(p, f.dnl, 1, f.dnl_max, f.dnl_min);

  if (options.mode == Mode::rheostat) {
    f.wiper_resistance = first.value - first.code * f.lsb;
    f.r_ab = options.steps * f.lsb;
  } else if (options.v_high && options.v_low) {
    f.ideal_lsb = (*options.v_high - *options.v_low) / options.steps;
    if (*f.ideal_lsb == 0) throw std::invalid_argument("V_H and V_L are the same voltage");
    if (const Point* zero = at_code(p, 0)) {
      f.zero_scale_error = (zero->value - *options.v_low) / *f.ideal_lsb;
    }
    if (const Point* full = at_code(p, options.steps - 1)) {
      f.full_scale_error = (full->value - *options.v_high) / *f.ideal_lsb + 1;
    }
  }
  return f;
}

}  // namespace vx::analysis
