#include "analysis/summary.h"

#include <cstdio>

namespace vx::analysis {

namespace {

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

std::string at(const Extreme& extreme) {
  return format("%+.3f LSB", extreme.value) + " at code " + std::to_string(extreme.code);
}

std::string dnl_at(const Figures& figures, int code) {
  for (std::size_t i = 0; i < figures.points.size(); ++i) {
    if (figures.points[i].code == code) return format("%+.2f", figures.dnl[i]);
  }
  return "";
}

}  // namespace

std::string monotonicity(const Figures& figures) {
  if (figures.monotonic()) return "monotonic";
  std::string text = "not monotonic at code";
  if (figures.not_monotonic.size() > 1) text += "s";
  for (std::size_t i = 0; i < figures.not_monotonic.size(); ++i) {
    if (i == 8) {
      text += " and " + std::to_string(figures.not_monotonic.size() - i) + " more";
      break;
    }
    const int code = figures.not_monotonic[i];
    text += (i == 0 ? " " : ", ") + std::to_string(code) + " (DNL " + dnl_at(figures, code) + ")";
  }
  return text;
}

std::vector<std::pair<std::string, std::string>> figure_rows(const Figures& f,
                                                             const std::string& unit) {
  std::vector<std::pair<std::string, std::string>> rows;
  rows.emplace_back("LSB (end-point)", format("%.6g ", f.lsb) + unit);
  rows.emplace_back("INL (end-point)", at(f.inl_max) + " / " + at(f.inl_min));
  rows.emplace_back("INL (best fit)", at(f.inl_best_max) + " / " + at(f.inl_best_min));
  rows.emplace_back("DNL", at(f.dnl_max) + " / " + at(f.dnl_min));
  rows.emplace_back("Monotonic", monotonicity(f));
  if (f.wiper_resistance)
    rows.emplace_back("Wiper resistance", format("%.4g ", *f.wiper_resistance) + unit);
  if (f.r_ab) rows.emplace_back("R_AB", format("%.6g ", *f.r_ab) + unit);
  if (f.ideal_lsb) rows.emplace_back("Ideal LSB", format("%.6g ", *f.ideal_lsb) + unit);
  if (f.zero_scale_error)
    rows.emplace_back("Zero-scale error", format("%+.3f LSB", *f.zero_scale_error));
  if (f.full_scale_error)
    rows.emplace_back("Full-scale error", format("%+.3f LSB", *f.full_scale_error));
  return rows;
}

}  // namespace vx::analysis
