#pragma once

#include <string>
#include <utility>
#include <vector>

#include "analysis/linearity.h"

namespace vx::analysis {

// The figures as a person reads them, one (name, value) row each, in the order a report lists
// them: "INL (end-point)", "+0.312 LSB at code 77 / -0.298 LSB at code 140", ... `unit` is the
// readings' ("Ohm" or "V").
std::vector<std::pair<std::string, std::string>> figure_rows(const Figures& figures,
                                                             const std::string& unit);

// "not monotonic at code 128 (DNL -1.94)" or "monotonic".
std::string monotonicity(const Figures& figures);

}  // namespace vx::analysis
