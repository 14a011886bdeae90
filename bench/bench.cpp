// The program's own time per transaction and per user action, with a port that does nothing, and
// its resident memory over many actions; each figure printed beside its target.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <QAbstractButton>
#include <QApplication>
#include <QScrollBar>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bus/read_back.h"
#include "bus/write_transaction.h"
#include "frame/code_conversions.h"
#include "null_port.h"
#include "window/main_window.h"
#include "window/widgets.h"

namespace {

using namespace vx;

// A port that does nothing, so only the program's own work is measured.
port::PortAccess::Opener null_opener() {
  return [] { return bench::make_null_port(); };
}

// --- The bus --------------------------------------------------------------------------------

void write_transaction(benchmark::State& state) {
  port::PortAccess access(null_opener());
  bus::LineDriver driver(access);
  const double word = frame::fixed_address_frame_word(0xA5);
  for (auto _ : state) bus::Read_Write_Bits_to_Parallel_Port(driver, word);
}

void read_back_bus_work(benchmark::State& state) {
  port::PortAccess access(null_opener());
  bus::LineDriver driver(access);
  const frame::CellRegister cells = bus::standard_read_frame();
  const double word = frame::fixed_address_frame_word(0xA5);
  for (auto _ : state) {
    bus::Read_Write_Bits_to_Parallel_Port(driver, word);
    benchmark::DoNotOptimize(bus::read_transaction(driver, cells));
  }
}

// The same number of calls straight into the back end: what the driver adds is the difference.
void bare_calls(benchmark::State& state) {
  const std::unique_ptr<port::Port> owned = bench::make_null_port();
  port::Port* port = owned.get();
  const auto writes = state.range(0), reads = state.range(1);
  for (auto _ : state) {
    for (auto i = 0; i < writes; ++i) port->write16(0x378, 0xF3);
    for (auto i = 0; i < reads; ++i) benchmark::DoNotOptimize(port->read32(0x379));
  }
}

// --- User actions through the window ------------------------------------------------------------

struct Panel {
  port::PortAccess access{null_opener()};
  panel::PanelLogic logic{access};
  panel::Form1 form{logic};

  QScrollBar* bar(const QString& name) { return form.findChild<QScrollBar*>(name); }
  QScrollBar* cell(int i) { return bar(QString("vsbBit(%1)").arg(i)); }
  QScrollBar* slider() { return bar("vsbInputCode1"); }
  void press(const char* name) { form.findChild<QAbstractButton*>(name)->click(); }
  // A click on a scroll bar's arrow, as the window receives it (no painting happens here).
  static void arrow(QScrollBar* bar, bool down) {
    bar->triggerAction(down ? QAbstractSlider::SliderSingleStepAdd
                            : QAbstractSlider::SliderSingleStepSub);
  }
};

void cell_click(benchmark::State& state) {
  Panel p;
  p.press("cmdMS");
  QScrollBar* bar = p.cell(static_cast<int>(state.range(0)));
  bool down = true;
  for (auto _ : state) {
    Panel::arrow(bar, down);
    down = !down;
  }
}

void ack_cell_click(benchmark::State& state) {
  Panel p;
  p.press("cmdMS");
  QScrollBar* bar = p.cell(9);
  for (auto _ : state) Panel::arrow(bar, true);  // it falls back to 0 every time
}

void slider_step(benchmark::State& state) {
  Panel p;
  p.press("cmdMS");
  bool down = true;
  for (auto _ : state) {
    Panel::arrow(p.slider(), down);
    down = !down;
  }
}

void slider_jump(benchmark::State& state) {
  Panel p;
  for (auto _ : state) {
    p.slider()->setValue(255);
    state.PauseTiming();
    p.slider()->setValue(0);
    state.ResumeTiming();
  }
}

void button(benchmark::State& state, const char* name, const char* before) {
  Panel p;
  p.press("cmdMS");
  for (auto _ : state) {
    if (before) {
      state.PauseTiming();
      p.press(before);
      state.ResumeTiming();
    }
    p.press(name);
  }
}

// --- Memory -------------------------------------------------------------------------------------

double resident_mib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

void random_actions(Panel& p, std::mt19937& random, long count) {
  std::uniform_int_distribution<int> kind(0, 7), cell(0, 44), code(0, 255), coin(0, 1);
  static const char* const buttons[] = {"cmdZS", "cmdMS", "cmdFS", "cmdRun", "cmdRead"};
  for (long i = 0; i < count; ++i) {
    const int k = kind(random);
    if (k == 0) {
      Panel::arrow(p.cell(cell(random)), coin(random));
    } else if (k == 1) {
      Panel::arrow(p.slider(), coin(random));
    } else if (k == 2) {
      p.slider()->setValue(code(random));
    } else {
      p.press(buttons[k - 3]);
    }
  }
}

void memory(benchmark::State& state) {
  for (auto _ : state) {
    Panel p;
    std::mt19937 random(20261210);
    random_actions(p, random, 1'000);
    const double after_1k = resident_mib();
    random_actions(p, random, 99'000);
    const double after_100k = resident_mib();
    state.counters["rss_1k_MiB"] = after_1k;
    state.counters["rss_100k_MiB"] = after_100k;
    state.counters["growth_MiB"] = after_100k - after_1k;
  }
}

// --- The table ----------------------------------------------------------------------------------

struct Target {
  double limit;  // microseconds, or MiB for memory; 0: for comparison only
  const char* unit;
};

const std::map<std::string, Target>& targets() {
  static const std::map<std::string, Target> table = {
      {"bus: write transaction", {3, "us"}},
      {"bus: read-back bus work (write + read)", {5, "us"}},
      {"bus: 59 bare back-end calls", {0, "us"}},
      {"bus: 107 bare back-end calls", {0, "us"}},
      {"action: write cell click", {1000, "us"}},
      {"action: acknowledge cell click", {1000, "us"}},
      {"action: read cell click", {1000, "us"}},
      {"action: slider step", {250, "us"}},
      {"action: slider jump 0 to 255", {1000, "us"}},
      {"action: Zero Scale", {1000, "us"}},
      {"action: Mid Scale", {1000, "us"}},
      {"action: Full Scale", {1000, "us"}},
      {"action: Mid Scale after Full Scale", {1000, "us"}},
      {"action: Run", {1000, "us"}},
      {"action: Read", {1000, "us"}},
      {"memory: growth from 1,000 to 100,000 actions", {1, "MiB"}},
  };
  return table;
}

// Prints what the console reporter prints, and keeps each benchmark's median (or its only run).
class TableReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const std::string name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      if (name.rfind("memory", 0) == 0) {
        const auto growth = run.counters.find("growth_MiB");
        if (growth != run.counters.end()) {
          figures_["memory: growth from 1,000 to 100,000 actions"] = growth->second.value;
          rss_1k_ = run.counters.at("rss_1k_MiB").value;
          rss_100k_ = run.counters.at("rss_100k_MiB").value;
        }
        continue;
      }
      // Real time per iteration, in microseconds.
      figures_[name] =
          run.GetAdjustedRealTime() * 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
  }

  int print_table() const {
    int misses = 0;
    std::printf("\n| measurement | median | target | |\n|---|---:|---:|---|\n");
    for (const auto& [name, figure] : figures_) {
      const auto target = targets().find(name);
      if (target == targets().end()) continue;
      const auto [limit, unit] = target->second;
      if (limit == 0) {
        std::printf("| %s | %.3f %s | (for comparison) | |\n", name.c_str(), figure, unit);
        continue;
      }
      const bool ok = figure <= limit;
      misses += !ok;
      std::printf("| %s | %.3f %s | <= %g %s | %s |\n", name.c_str(), figure, unit, limit, unit,
                  ok ? "ok" : "MISS");
    }
    if (rss_100k_ > 0) {
      std::printf("\nresident size: %.1f MiB after 1,000 actions, %.1f MiB after 100,000\n",
                  rss_1k_, rss_100k_);
    }
    return misses;
  }

 private:
  std::map<std::string, double> figures_;
  double rss_1k_ = 0, rss_100k_ = 0;
};

void register_all() {
  using benchmark::RegisterBenchmark;
  RegisterBenchmark("bus: write transaction", write_transaction);
  RegisterBenchmark("bus: read-back bus work (write + read)", read_back_bus_work);
  RegisterBenchmark("bus: 59 bare back-end calls", bare_calls)->Args({59, 0});
  RegisterBenchmark("bus: 107 bare back-end calls", bare_calls)->Args({99, 8});
  RegisterBenchmark("action: write cell click", cell_click)->Arg(5);
  RegisterBenchmark("action: acknowledge cell click", ack_cell_click);
  RegisterBenchmark("action: read cell click", cell_click)->Arg(30);
  RegisterBenchmark("action: slider step", slider_step);
  RegisterBenchmark("action: slider jump 0 to 255", slider_jump);
  RegisterBenchmark("action: Zero Scale", button, "cmdZS", nullptr);
  RegisterBenchmark("action: Mid Scale", button, "cmdMS", nullptr);
  RegisterBenchmark("action: Full Scale", button, "cmdFS", nullptr);
  RegisterBenchmark("action: Mid Scale after Full Scale", button, "cmdMS", "cmdFS");
  RegisterBenchmark("action: Run", button, "cmdRun", nullptr);
  RegisterBenchmark("action: Read", button, "cmdRead", nullptr);
  RegisterBenchmark("memory: 1,000 then 100,000 random actions", memory)
      ->Iterations(1)
      ->Repetitions(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setStyle(new vx::panel::PanelStyle);

  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return reporter.print_table() == 0 ? 0 : 1;
}
