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

// Checks, before the sweep, that each file asked for can be written, so that an afternoon's
// readings are not lost to a folder mistyped; makes and truncates nothing. Gives the first that
// cannot be, as "cannot write F: why", or empty.
std::string check_outputs(const CharacteriseOrder& order);

// Writes the CSV, the plot and the report asked for, each whole or not at all
// (session::write_whole); tries each, and gives the first failure, or empty.
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
