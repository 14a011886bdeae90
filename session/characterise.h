#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/linearity.h"
#include "meter/scpi.h"
#include "session/device.h"

namespace vx::session {

// What a characterisation will do, its arguments checked: the codes as a sweep takes them, the
// settle time after each write, the readings averaged at each code, and whether each write is
// read back.
struct CharacterisePlan {
  SweepPlan codes;  // its dwell is not used: settle_ms is
  long long settle_ms = 100;
  int average = 1;
  bool verify = false;
};
inline constexpr int kMaxAverage = 1000;
// UsageError for anything out of range, naming it as the command line does.
CharacterisePlan plan_characterise(long long from, long long to, long long step,
                                   long long settle_ms, long long average, bool verify = false);

// The analysis's options as the command line and Python give them: V_H and V_L together or not at
// all, each a finite number, their difference too; UsageError naming what is wrong by the names
// the caller gives them ("--vh", "v_high"). Gives the options.
analysis::Options checked_analysis(analysis::Options options, const std::string& high_name,
                                   const std::string& low_name);

// One code, measured whole.
struct CodeReading {
  int code = 0;
  int read_back = -1;  // with verify, the setting read back; else -1
  double mean = 0;
  double spread = 0;  // the readings' sample standard deviation; 0 for one reading
  std::vector<double> readings;
  double read_s = 0;  // seconds from the sweep's start to the last reading
};

// A sweep's readings and how it ended. `partial` when it ended early: `why` says so, and `error`
// is what ended it, for the caller to raise once the partial results are saved.
struct Characterisation {
  CharacterisePlan plan;
  std::vector<CodeReading> codes;  // in the order measured, each whole
  std::string unit;                // "Ohm" or "V"
  meter::Identity meter;
  meter::MeterOptions meter_options;
  std::string resource;  // as the caller named the meter
  // The setting found before the first write, put back at the end; -1 when it could not be read
  // (then nothing is put back).
  int setting_before = -1;
  bool restored = false;
  std::string restore_error;  // why the setting could not be put back, if it could not
  bool partial = false;
  std::string why;
  std::exception_ptr error;
  std::chrono::system_clock::time_point started;
};

// What a characterisation asks of the port: each call one frame or one wait, throwing when a stop
// was asked (Interrupted, Closed, or what the caller's own stop throws).
struct SweepPort {
  std::function<int()> read;              // the setting, read back
  std::function<void(int)> write;         // the slider's frame for a code
  std::function<void(int)> restore;       // the same, asked after a stop: it never stops
  std::function<void()> stop_point;       // before each meter exchange
  std::function<void(long long)> settle;  // waits so many milliseconds, stopping as above
};

// Told after each code, with what was measured so far.
using Progress = std::function<void(const Characterisation&)>;

// For each code of the plan: write it (and read it back with verify), wait the settle time, take
// `average` fresh readings. A reading that is overload or no number is taken once more, then the
// sweep ends there. Whatever ends it early (a stop, a meter or port failure, a mismatch) keeps the
// codes measured whole and drops the one in progress; in every case the setting found at the
// start is put back. Never throws what the sweep meets: it is in the result.
Characterisation characterise(const SweepPort& port, meter::Meter& meter,
                              const CharacterisePlan& plan, const Progress& progress = {});

// The codes measured whole, as the analysis takes them: each code with its mean.
std::vector<analysis::Point> points_of(const Characterisation& result);

// The readings as CSV (RFC 4180), a header row naming the columns, then a row a code in the
// order measured: code, written (the code sent), read_back (empty without verify), mean, unit,
// spread, readings (each of the K, ";" apart), time_s (seconds from the start to the last
// reading). A partial sweep's ends with one more line, "# partial: ..." (partial_note).
std::string csv_text(const Characterisation& result);

// The figures of the codes measured, or why there are none (fewer than two codes, a part that
// does not move).
struct Analysed {
  std::optional<analysis::Figures> figures;
  std::string why_none;
};
Analysed analyse(const Characterisation& result, const analysis::Options& options);

// The figures as a report lists them, or one row saying why there are none.
std::vector<std::pair<std::string, std::string>> figure_rows(const Analysed& analysed,
                                                             const std::string& unit);

// Seconds the codes still to come will take, at the pace of those measured so far.
double seconds_left(const Characterisation& so_far);

// Writes csv_text to `path`, whole or not at all (write_whole); std::runtime_error "cannot write
// PATH: why" when it cannot.
void write_csv(const std::string& path, const Characterisation& result);

// What a report lists under its settings, (name, value) a row: meter, function, range, codes,
// settle time, averaging, mode, verify, start time.
std::vector<std::pair<std::string, std::string>> settings_rows(const Characterisation& result,
                                                               const analysis::Options& options);

// Where the readings came from, for a picture passed on alone: "Meter: MAKER MODEL, serial S
// (RESOURCE); started 2026-12-11 13:05:02 UTC".
std::string provenance(const Characterisation& result);

// "partial: 100 of 256 codes measured; stopped between frames", or empty for a whole sweep.
std::string partial_note(const Characterisation& result);

}  // namespace vx::session
