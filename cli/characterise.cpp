#include "cli/characterise.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "analysis/summary.h"
#include "cli/json.h"
#include "plot/plot.h"
#include "session/output.h"

namespace vx::cli {

namespace {

std::string extreme(const analysis::Extreme& e) {
  return "{\"value\":" + json_number(e.value) + ",\"code\":" + std::to_string(e.code) + "}";
}

std::string optional_number(const std::optional<double>& value) {
  return value ? json_number(*value) : "null";
}

plot::PlotData plot_data(const session::Characterisation& result,
                         const session::Analysed& analysed) {
  plot::PlotData data;
  data.points = session::points_of(result);
  data.figures = analysed.figures;
  data.unit = result.unit;
  data.first_code = result.plan.codes.from;
  data.last_code = result.plan.codes.to;
  data.note = session::partial_note(result);
  data.provenance = session::provenance(result);
  return data;
}

}  // namespace

std::string check_outputs(const CharacteriseOrder& order) {
  for (const std::string* path : {&order.csv, &order.plot, &order.report}) {
    if (path->empty()) continue;
    if (std::string error = session::cannot_write(*path); !error.empty()) return error;
  }
  return "";
}

std::string write_outputs(const CharacteriseOrder& order, const session::Characterisation& result,
                          const session::Analysed& analysed) {
  std::string first;
  const auto attempt = [&](auto&& write) {
    try {
      write();
    } catch (const std::exception& error) {
      if (first.empty()) first = error.what();
    }
  };
  if (!order.csv.empty()) {
    attempt([&] { session::write_csv(order.csv, result); });
  }
  if (order.plot.empty() && order.report.empty()) return first;
  const plot::Application application;
  const plot::PlotData data = plot_data(result, analysed);
  if (!order.plot.empty()) {
    attempt([&] {
      session::write_whole(order.plot,
                           [&](const std::string& to) { plot::save_picture(to, data); });
    });
  }
  if (!order.report.empty()) {
    attempt([&] {
      session::write_whole(order.report, [&](const std::string& to) {
        plot::save_report(to, data, session::settings_rows(result, order.analysis),
                          session::figure_rows(analysed, result.unit));
      });
    });
  }
  return first;
}

std::string summary_fields(const CharacteriseOrder& order, const session::Characterisation& result,
                           const session::Analysed& analysed) {
  const session::CharacterisePlan& plan = result.plan;
  const meter::Identity& id = result.meter;
  const bool rheostat = order.analysis.mode == analysis::Mode::rheostat;
  std::string json = ",\"method\":\"end-point and best-fit (least squares)\"";
  json += ",\"mode\":" + json_string(rheostat ? "rheostat" : "divider");
  json += ",\"unit\":" + json_string(result.unit);
  json += ",\"codes\":" + std::to_string(result.codes.size());
  json += ",\"partial\":" + std::string(result.partial ? "true" : "false");
  if (result.partial) json += ",\"why\":" + json_string(result.why);
  json += ",\"setting_before\":" + std::to_string(result.setting_before);
  json += ",\"restored\":" + std::string(result.restored ? "true" : "false");
  if (const analysis::Figures* f = analysed.figures ? &*analysed.figures : nullptr) {
    json += ",\"lsb\":" + json_number(f->lsb);
    json += ",\"inl\":{\"max\":" + extreme(f->inl_max) + ",\"min\":" + extreme(f->inl_min) + "}";
    json += ",\"inl_best_fit\":{\"max\":" + extreme(f->inl_best_max) +
            ",\"min\":" + extreme(f->inl_best_min) + ",\"offset\":" + json_number(f->fit_offset) +
            ",\"slope\":" + json_number(f->fit_slope) + "}";
    json += ",\"dnl\":{\"max\":" + extreme(f->dnl_max) + ",\"min\":" + extreme(f->dnl_min) + "}";
    json += ",\"monotonic\":" + std::string(f->monotonic() ? "true" : "false");
    std::string codes;
    for (const int code : f->not_monotonic)
      codes += (codes.empty() ? "" : ",") + std::to_string(code);
    json += ",\"not_monotonic\":[" + codes + "]";
    if (rheostat) {
      json += ",\"wiper_resistance\":" + optional_number(f->wiper_resistance) +
              ",\"r_ab\":" + optional_number(f->r_ab);
    } else {
      json += ",\"ideal_lsb\":" + optional_number(f->ideal_lsb) +
              ",\"zero_scale_error\":" + optional_number(f->zero_scale_error) +
              ",\"full_scale_error\":" + optional_number(f->full_scale_error);
    }
  } else {
    json += ",\"figures\":null,\"no_figures\":" + json_string(analysed.why_none);
  }
  json += ",\"meter\":{\"resource\":" + json_string(order.resource) +
          ",\"identity\":" + json_string(id.text) + "}";
  json += ",\"settings\":{\"from\":" + std::to_string(plan.codes.from) +
          ",\"to\":" + std::to_string(plan.codes.to) +
          ",\"step\":" + std::to_string(plan.codes.step) +
          ",\"settle_ms\":" + std::to_string(plan.settle_ms) +
          ",\"average\":" + std::to_string(plan.average) +
          ",\"function\":" + json_string(result.unit == "V" ? "voltage" : "resistance") +
          ",\"range\":" + json_string(order.meter.range.empty() ? "default" : order.meter.range) +
          ",\"verify\":" + (plan.verify ? "true" : "false");
  if (!rheostat) {
    json += ",\"v_high\":" + optional_number(order.analysis.v_high) +
            ",\"v_low\":" + optional_number(order.analysis.v_low);
  }
  json += "}";
  return json;
}

std::string summary_text(const session::Characterisation& result,
                         const session::Analysed& analysed) {
  std::string text;
  if (result.partial) text += session::partial_note(result) + "\n";
  if (!analysed.figures) return text + "no figures: " + analysed.why_none + "\n";
  for (const auto& [name, value] : analysis::figure_rows(*analysed.figures, result.unit)) {
    std::string line = name;
    line.append(line.size() < 20 ? 20 - line.size() : 1, ' ');
    text += line + value + "\n";
  }
  return text;
}

}  // namespace vx::cli
