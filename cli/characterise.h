#pragma once

#include <string>

#include "analysis/linearity.h"
#include "meter/scpi.h"
#include "session/characterise.h"

namespace vx::cli {

// `characterise` as the command line gave it.
struct CharacteriseOrder {
  std::string resource;
  meter::MeterOptions meter;
  session::CharacterisePlan plan;
  analysis::Options analysis;
  std::string csv, plot, report;  // files asked for, or empty
};

// Makes each file asked for, empty, before the sweep: an afternoon's readings are not to be lost to
// a folder mistyped. Gives the first that cannot be made, as "cannot write F: why", or empty.
std::string make_outputs(const CharacteriseOrder& order);

// Writes the CSV, the plot and the report asked for; tries each, and gives the first failure, or
// empty.
std::string write_outputs(const CharacteriseOrder& order, const session::Characterisation& result,
                          const session::Analysed& analysed);

// The summary's JSON fields, for the command's object: method, unit, LSB, the INL and DNL
// extremes with their codes, monotonic, the mode's figures, the meter, the settings, partial.
std::string summary_fields(const CharacteriseOrder& order, const session::Characterisation& result,
                           const session::Analysed& analysed);

// The summary for a person, a line a figure.
std::string summary_text(const session::Characterisation& result,
                         const session::Analysed& analysed);

}  // namespace vx::cli
