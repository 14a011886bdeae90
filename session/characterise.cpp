#include "session/characterise.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>

#include "analysis/summary.h"
#include "session/arguments.h"
#include "session/output.h"

namespace vx::session {

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A fresh reading, taken once more when it was overload or no number: a meter may catch a
// transient, a second one in a row is the range's or the link's and ends the sweep.
double reading(meter::Meter& meter, const SweepPort& port) {
  for (int attempt = 0;; ++attempt) {
    port.stop_point();
    try {
      return meter.read().value;
    } catch (const meter::Overload&) {
      if (attempt > 0) throw;
    } catch (const meter::NotANumber&) {
      if (attempt > 0) throw;
    }
  }
}

std::string started_text(const Characterisation& result) {
  char started[40] = "";
  const std::time_t when = std::chrono::system_clock::to_time_t(result.started);
  std::tm local{};
  if (localtime_r(&when, &local))
    std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S %Z", &local);
  return started;
}

std::string meter_name(const meter::Identity& id) {
  return id.maker + " " + id.model + (id.serial.empty() ? "" : ", serial " + id.serial);
}

std::string what_of(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an unknown error";
  }
}

}  // namespace

CharacterisePlan plan_characterise(long long from, long long to, long long step,
                                   long long settle_ms, long long average, bool verify) {
  CharacterisePlan plan;
  plan.codes = plan_sweep(from, to, step, 0);
  plan.settle_ms = in_range(settle_ms, "MS", 0, kMaxDwellMs);
  plan.average = static_cast<int>(in_range(average, "K", 1, kMaxAverage));
  plan.verify = verify;
  return plan;
}

analysis::Options checked_analysis(analysis::Options options, const std::string& high_name,
                                   const std::string& low_name) {
  if (options.v_high.has_value() != options.v_low.has_value()) {
    throw UsageError(high_name + " and " + low_name +
                     " go together: the divider's two terminal voltages");
  }
  for (const auto& [name, value] :
       {std::pair{&high_name, options.v_high}, std::pair{&low_name, options.v_low}}) {
    if (value && !std::isfinite(*value)) {
      throw UsageError(*name + " is a finite number of volts, not " + std::to_string(*value));
    }
  }
  if (options.v_high && !std::isfinite(*options.v_high - *options.v_low)) {
    throw UsageError(high_name + " and " + low_name +
                     " are too far apart to be a divider's terminal voltages");
  }
  return options;
}

Characterisation characterise(const SweepPort& port, meter::Meter& meter,
                              const CharacterisePlan& plan, const Progress& progress) {
  Characterisation result;
  result.plan = plan;
  result.unit = meter.unit();
  result.meter = meter.identity();
  result.meter_options = meter.options();
  result.started = std::chrono::system_clock::now();
  const auto start = std::chrono::steady_clock::now();
  int at = -1;  // the code in progress
  try {
    result.setting_before = port.read();
    for (int n = 0; n < plan.codes.count; ++n) {
      CodeReading code;
      code.code = plan.codes.code(n);
      at = code.code;
      port.write(code.code);
      if (plan.verify) {
        code.read_back = port.read();
        if (code.read_back != code.code) {
          throw VerifyError("verify failed at code " + std::to_string(code.code) + ": read back " +
                                std::to_string(code.read_back),
                            code.code, code.read_back);
        }
      }
      port.settle(plan.settle_ms);
      double sum = 0;
      for (int k = 0; k < plan.average; ++k) {
        code.readings.push_back(reading(meter, port));
        sum += code.readings.back();
      }
      code.read_s = seconds_since(start);
      code.mean = sum / plan.average;
      if (plan.average > 1) {
        double squares = 0;
        for (const double r : code.readings) squares += (r - code.mean) * (r - code.mean);
        code.spread = std::sqrt(squares / (plan.average - 1));
      }
      result.codes.push_back(std::move(code));
      if (progress) progress(result);
    }
  } catch (...) {
    result.error = std::current_exception();
    result.partial = true;
    result.why = (at < 0 ? "" : "at code " + std::to_string(at) + ": ") + what_of(result.error);
  }
  if (result.setting_before >= 0) {
    try {
      port.restore(result.setting_before);
      result.restored = true;
    } catch (...) {
      result.restore_error = what_of(std::current_exception());
      if (!result.error) {
        result.error = std::current_exception();
        result.why = "the setting could not be put back: " + result.restore_error;
      }
    }
  }
  return result;
}

std::vector<analysis::Point> points_of(const Characterisation& result) {
  std::vector<analysis::Point> points;
  points.reserve(result.codes.size());
  for (const CodeReading& code : result.codes) points.push_back({code.code, code.mean});
  return points;
}

std::string csv_text(const Characterisation& result) {
  const auto number = [](double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", value);
    return std::string(text);
  };
  std::string csv = "code,written,read_back,mean,unit,spread,readings,time_s\r\n";
  for (const CodeReading& code : result.codes) {
    std::string readings;
    for (const double r : code.readings) readings += (readings.empty() ? "" : ";") + number(r);
    csv += std::to_string(code.code) + "," + std::to_string(code.code) + "," +
           (code.read_back < 0 ? "" : std::to_string(code.read_back)) + "," + number(code.mean) +
           "," + result.unit + "," + number(code.spread) + "," + readings + "," +
           number(code.read_s) + "\r\n";
  }
  // After the rows, so that a reader of rows alone still reads them; a partial file says so.
  if (result.partial) {
    std::string note = partial_note(result);
    for (char& c : note) c = (c == '\r' || c == '\n') ? ' ' : c;  // one line, whatever `why` holds
    csv += "# " + note + "\r\n";
  }
  return csv;
}

Analysed analyse(const Characterisation& result, const analysis::Options& options) {
  Analysed analysed;
  try {
    analysed.figures = analysis::analyse(points_of(result), options);
  } catch (const std::invalid_argument& error) {
    analysed.why_none = error.what();
  }
  return analysed;
}

std::vector<std::pair<std::string, std::string>> figure_rows(const Analysed& analysed,
                                                             const std::string& unit) {
  if (!analysed.figures) return {{"No figures", analysed.why_none}};
  return analysis::figure_rows(*analysed.figures, unit);
}

double seconds_left(const Characterisation& so_far) {
  if (so_far.codes.empty()) return 0;
  const auto done = static_cast<double>(so_far.codes.size());
  return so_far.codes.back().read_s / done * (so_far.plan.codes.count - done);
}

void write_csv(const std::string& path, const Characterisation& result) {
  const std::string text = csv_text(result);
  write_whole(path, [&](const std::string& to) {
    std::ofstream csv(to, std::ios::binary | std::ios::trunc);
    csv << text;
    csv.close();
    if (!csv) throw std::runtime_error("cannot write " + to + ": " + std::strerror(errno));
  });
}

std::vector<std::pair<std::string, std::string>> settings_rows(const Characterisation& result,
                                                               const analysis::Options& options) {
  const CharacterisePlan& plan = result.plan;
  const meter::Identity& id = result.meter;
  const bool volts = result.meter_options.function == meter::Function::voltage;
  std::string range = result.meter_options.range;
  if (range.empty()) range = volts ? "10" : "10000";
  if (range != "AUTO") range += volts ? " V" : " Ohm";
  const auto volts_text = [](std::optional<double> v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g V", v.value_or(0));
    return v ? std::string(text) : std::string("not given");
  };

  std::vector<std::pair<std::string, std::string>> rows = {
      {"Meter", meter_name(id)},
      {"Resource", result.resource},
      {"Function", volts ? "DC voltage" : "resistance"},
      {"Range", range},
      {"Codes", std::to_string(plan.codes.from) + " to " + std::to_string(plan.codes.to) +
                    ", step " + std::to_string(plan.codes.step) + " (" +
                    std::to_string(plan.codes.count) + " codes)"},
      {"Settle time", std::to_string(plan.settle_ms) + " ms"},
      {"Readings a code", std::to_string(plan.average) + (plan.average > 1 ? ", averaged" : "")},
      {"Mode", options.mode == analysis::Mode::rheostat ? "rheostat" : "divider"},
      {"Verify", plan.verify ? "each write read back" : "no"},
      {"Started", started_text(result)},
  };
  if (options.mode == analysis::Mode::divider) {
    rows.insert(rows.begin() + 8,
                {{"V_H", volts_text(options.v_high)}, {"V_L", volts_text(options.v_low)}});
  }
  return rows;
}

std::string provenance(const Characterisation& result) {
  return "Meter: " + meter_name(result.meter) +
         (result.resource.empty() ? "" : " (" + result.resource + ")") + "; started " +
         started_text(result);
}

std::string partial_note(const Characterisation& result) {
  if (!result.partial) return "";
  return "partial: " + std::to_string(result.codes.size()) + " of " +
         std::to_string(result.plan.codes.count) + " codes measured; " + result.why;
}

}  // namespace vx::session
