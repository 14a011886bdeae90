// A characterisation of the part through the device, against the simulated meter and against the
// meter emulator on TCP and a pseudo-terminal: the readings, the stops, the failures, and the
// setting put back in every case.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <numeric>
#include <string>
#include <thread>

#include "meter/resource.h"
#include "meter/scpi.h"
#include "port/port.h"
#include "session/characterise.h"
#include "session/device.h"
#include "sim/analog.h"
#include "sim/shared_part.h"
#include "support/files.h"
#include "support/json_check.h"
#include "support/meter_emulation.h"

namespace vx::session {
namespace {

using test::Emulator;
using test::Environment;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using namespace std::chrono_literals;

backends::Settings simulated() {
  return {"sim", "", ""};
}

meter::MeterOptions quick() {
  meter::MeterOptions options;
  options.timeout = 400ms;
  return options;
}

// What ended a sweep, as its type.
template <class Error>
bool ended_by(const Characterisation& result) {
  try {
    if (result.error) std::rethrow_exception(result.error);
  } catch (const Error&) {
    return true;
  } catch (...) {
  }
  return false;
}

// A file for the part that several processes share (the emulator measures it), gone afterwards.
struct SharedPartFile {
  SharedPartFile()
      : path(::testing::TempDir() + "vx3071-characterise-" + std::to_string(::getpid())),
        state("VX3071_SIM_STATE", path) {
    std::remove(path.c_str());
  }
  ~SharedPartFile() { std::remove(path.c_str()); }
  int setting() const { return sim::SharedPart(path).load().setting; }
  std::string path;
  Environment state;
};

constexpr const char* kSteppedPart = "step=128:-60,mismatch=0.3,seed=3";

// The simulated part with a step that goes backwards at 128: every code reads what the model
// holds, the step is found where it was put, the figures are those of the model's own table, and
// the setting found is put back.
TEST(Characterise, TheSimulatedPartReadsAsItsModelAndItsStepIsFound) {
  const Environment analog("VX3071_SIM_ANALOG", kSteppedPart);
  const sim::Potentiometer part(sim::parse_analog(kSteppedPart));
  Device device(simulated(), true);
  device.write(77, false);
  meter::Meter meter(meter::parse_resource("sim"), {});
  const Characterisation result = device.characterise(plan_characterise(0, 255, 1, 0, 2), meter);
  ASSERT_FALSE(result.partial) << result.why;
  ASSERT_EQ(result.codes.size(), 256u);
  for (int code = 0; code < 256; ++code) {
    const CodeReading& r = result.codes[static_cast<std::size_t>(code)];
    EXPECT_EQ(r.code, code);
    ASSERT_EQ(r.readings.size(), 2u);
    EXPECT_NEAR(r.mean, part.resistance(code), part.resistance(code) * 1e-8) << code;
    EXPECT_EQ(r.spread, 0);  // no noise
  }

  const Analysed analysed = analyse(result, {});
  ASSERT_TRUE(analysed.figures) << analysed.why_none;
  const analysis::Figures& f = *analysed.figures;
  EXPECT_THAT(f.not_monotonic, ElementsAre(128));
  EXPECT_EQ(f.dnl_min.code, 128);
  EXPECT_LT(f.dnl_min.value, -1);
  // End-point INL from the model's table, worked here: readings carry nine digits, 1e-6 LSB.
  const double lsb = (part.resistance(255) - part.resistance(0)) / 255;
  for (int code = 0; code < 256; ++code) {
    const double inl = (part.resistance(code) - part.resistance(0)) / lsb - code;
    EXPECT_NEAR(f.inl[static_cast<std::size_t>(code)], inl, 1e-6) << code;
  }

  EXPECT_EQ(result.setting_before, 77);
  EXPECT_TRUE(result.restored);
  EXPECT_EQ(device.read(), 77);

  const std::string csv = csv_text(result);
  EXPECT_THAT(csv, StartsWith("code,written,read_back,mean,unit,spread,readings,time_s\r\n"));
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 257);
  EXPECT_THAT(csv, HasSubstr("\r\n128,128,,"));
}

// A meter whose READ? answers are given in advance (then "+1.0E+00" for each after), for the
// sweep's own rules; it counts the READ? it was asked.
class ScriptedMeter final : public meter::Transport {
 public:
  explicit ScriptedMeter(std::deque<std::string> reads, int* asked)
      : reads_(std::move(reads)), asked_(asked) {}
  void send(const std::string& line, meter::Clock::time_point) override {
    if (line == "*IDN?") answers_.push_back("Test,Scripted,1,1");
    if (line == "SYST:ERR?") answers_.push_back("+0,\"No error\"");
    if (line == "READ?") {
      ++*asked_;
      answers_.push_back(reads_.empty() ? "+1.0E+00" : reads_.front());
      if (!reads_.empty()) reads_.pop_front();
    }
  }
  std::string receive(meter::Clock::time_point) override {
    if (answers_.empty()) throw meter::MeterTimeout("the scripted meter did not answer in time");
    std::string answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  void clear() override { answers_.clear(); }
  std::string where() const override { return "the scripted meter"; }

 private:
  std::deque<std::string> reads_, answers_;
  int* asked_;
};

// A part behind a SweepPort: the setting it holds, a code whose write does not take, a restore
// that fails, and a stop at the n-th stop point.
struct FakePart {
  int setting = 0;
  int deaf_code = -1;
  bool restore_fails = false;
  int stop_at = -1;
  int stop_points = 0;
  SweepPort port() {
    SweepPort p;
    p.read = [this] { return setting; };
    p.write = [this](int code) { setting = code == deaf_code ? setting : code; };
    p.restore = [this](int code) {
      if (restore_fails) throw port::PortError("the port went away");
      setting = code;
    };
    p.stop_point = [this] {
      if (++stop_points == stop_at) throw Interrupted("stopped between frames");
    };
    p.settle = [](long long) {};
    return p;
  }
};

// The sweep's rules, each where a fault would hide: a verify that catches a write that did not
// take, a part found at 0 put back at 0, a meter's failure kept as the cause when the restore
// fails too, one answer that is no number read again, a stop that does not wait for the rest of
// a code's readings, and the spread of K readings.
TEST(Characterise, TheSweepsRulesHoldWhereAFaultWouldHide) {
  struct Case {
    const char* name;
    FakePart part;
    std::deque<std::string> reads;
    CharacterisePlan plan;
    std::function<void(const Characterisation&, const FakePart&, int asked)> check;
  };
  const Case cases[] = {
      {"verify",
       FakePart{9, 5},
       {},
       plan_characterise(0, 10, 1, 0, 1, true),
       [](const Characterisation& r, const FakePart& part, int) {
         EXPECT_TRUE(ended_by<VerifyError>(r));
         EXPECT_EQ(r.codes.size(), 5u);
         EXPECT_THAT(r.why, HasSubstr("at code 5"));
         EXPECT_EQ(part.setting, 9);
       }},
      {"found at 0",
       FakePart{0},
       {},
       plan_characterise(0, 10, 1, 0, 1),
       [](const Characterisation& r, const FakePart& part, int) {
         EXPECT_FALSE(r.partial);
         EXPECT_TRUE(r.restored);
         EXPECT_EQ(part.setting, 0) << "left at the last code";
       }},
      {"meter then restore fail",
       FakePart{7, -1, true},
       {"+1", "+2", "+3", "x", "y"},
       plan_characterise(0, 10, 1, 0, 1),
       [](const Characterisation& r, const FakePart&, int) {
         EXPECT_TRUE(ended_by<meter::NotANumber>(r)) << r.why;
         EXPECT_THAT(r.why, HasSubstr("at code 3"));
         EXPECT_THAT(r.restore_error, HasSubstr("the port went away"));
         EXPECT_FALSE(r.restored);
       }},
      {"one answer no number",
       FakePart{7},
       {"+1", "nonsense", "+2"},
       plan_characterise(0, 1, 1, 0, 1),
       [](const Characterisation& r, const FakePart&, int) {
         EXPECT_FALSE(r.partial) << r.why;
         ASSERT_EQ(r.codes.size(), 2u);
         EXPECT_EQ(r.codes[1].mean, 2);
       }},
      {"stop within a code's readings",
       FakePart{7, -1, false, 3},
       {},
       plan_characterise(0, 10, 1, 0, 5),
       [](const Characterisation& r, const FakePart& part, int asked) {
         EXPECT_TRUE(ended_by<Interrupted>(r));
         EXPECT_TRUE(r.codes.empty()) << "the code in progress is dropped";
         EXPECT_EQ(asked, 2) << "the stop waited for the code's other readings";
         EXPECT_EQ(part.setting, 7);
       }},
      {"spread",
       FakePart{7},
       {"+1", "+2", "+3", "+4"},
       plan_characterise(0, 0, 1, 0, 4),
       [](const Characterisation& r, const FakePart&, int) {
         ASSERT_EQ(r.codes.size(), 1u);
         EXPECT_DOUBLE_EQ(r.codes[0].mean, 2.5);
         EXPECT_NEAR(r.codes[0].spread, std::sqrt(5.0 / 3), 1e-12);  // sample, not population
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePart part = c.part;
    int asked = 0;
    meter::Meter meter(std::make_unique<ScriptedMeter>(c.reads, &asked), quick());
    const Characterisation result = characterise(part.port(), meter, c.plan);
    c.check(result, part, asked);
  }
}

// The time left is the pace so far times the codes to come: 4 codes in 2 s, 6 to come, 3 s.
TEST(Characterise, TheTimeLeftIsThePaceSoFarTimesTheCodesToCome) {
  Characterisation so_far;
  so_far.plan = plan_characterise(0, 9, 1, 0, 1);
  EXPECT_EQ(seconds_left(so_far), 0);
  so_far.codes.resize(4);
  so_far.codes.back().read_s = 2.0;
  EXPECT_DOUBLE_EQ(seconds_left(so_far), 3.0);
}

// A stop asked for after code 99 (a signal, in the programs) ends the sweep at the next frame:
// codes 0-99 are kept, code 100 is not, and the part is left at the setting it held before.
TEST(Characterise, AStopAfterCode99KeepsCodes0To99AndPutsTheSettingBack) {
  const SharedPartFile part_file;
  const sim::Potentiometer part{sim::AnalogOptions{}};
  for (const char* link : {"tcp", "pty"}) {
    SCOPED_TRACE(link);
    Emulator emulator(link, "34465A", "");
    Device device(simulated(), true);
    device.write(77, false);
    bool stop = false;
    device.set_stop_check([&] { return stop; });
    meter::Meter meter(meter::parse_resource(emulator.resource()), quick());
    const Characterisation result = device.characterise(plan_characterise(0, 255, 1, 0, 1), meter,
                                                        [&](const Characterisation& so_far) {
                                                          if (so_far.codes.back().code == 99)
                                                            stop = true;
                                                        });
    ASSERT_EQ(result.codes.size(), 100u);
    EXPECT_EQ(result.codes.back().code, 99);
    EXPECT_NEAR(result.codes[42].mean, part.resistance(42), 1e-4);
    EXPECT_TRUE(result.partial);
    EXPECT_TRUE(ended_by<Interrupted>(result));
    EXPECT_THAT(result.why, HasSubstr("at code 100"));
    EXPECT_TRUE(result.restored);
    EXPECT_EQ(part_file.setting(), 77);
    EXPECT_THAT(partial_note(result), StartsWith("partial: 100 of 256 codes measured"));
  }
}

// A meter that stops answering at code 50 ends the sweep there, the message naming the meter and
// what it was asked; the codes before are kept and the setting is put back.
TEST(Characterise, AMeterThatFallsSilentAtCode50EndsItNamingTheMeterAndTheQuestion) {
  const SharedPartFile part_file;
  Emulator emulator("tcp", "34465A", "silent-after-50");
  Device device(simulated(), true);
  device.write(77, false);
  meter::Meter meter(meter::parse_resource(emulator.resource()), quick());
  const Characterisation result = device.characterise(plan_characterise(0, 255, 1, 0, 1), meter);
  EXPECT_EQ(result.codes.size(), 50u);
  EXPECT_TRUE(result.partial);
  EXPECT_TRUE(ended_by<meter::MeterTimeout>(result));
  EXPECT_THAT(result.why, HasSubstr("at code 50"));
  EXPECT_THAT(result.why, HasSubstr(emulator.resource()));
  EXPECT_THAT(result.why, HasSubstr("READ?"));
  EXPECT_TRUE(result.restored);
  EXPECT_EQ(part_file.setting(), 77);
}

// Overload once is a transient, taken again; twice running ends the sweep with what it has.
TEST(Characterise, AnOverloadIsTakenOnceMoreAndASecondEndsTheSweep) {
  const SharedPartFile part_file;
  const struct {
    const char* fault;
    std::size_t codes;
    bool partial;
  } cases[] = {{"overload-at-10", 21, false}, {"overload-from-10", 10, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    Emulator emulator("tcp", "34465A", c.fault);
    Device device(simulated(), true);
    meter::Meter meter(meter::parse_resource(emulator.resource()), quick());
    const Characterisation result = device.characterise(plan_characterise(0, 20, 1, 0, 1), meter);
    EXPECT_EQ(result.codes.size(), c.codes);
    EXPECT_EQ(result.partial, c.partial);
    EXPECT_EQ(ended_by<meter::Overload>(result), c.partial);
    if (c.partial) {
      EXPECT_THAT(result.why, HasSubstr("at code 10: "));
    }
  }
}

// Progress is told with the device's lock let go: another thread's call runs meanwhile (a Python
// callback takes the GIL there), and a close from another thread ends the sweep at the next frame
// with the setting put back before the device closes.
TEST(Characterise, ProgressIsToldWithTheDeviceFreeAndACloseEndsTheSweep) {
  const SharedPartFile part_file;
  Device device(simulated(), true);
  device.write(77, false);
  meter::Meter meter(meter::parse_resource("sim"), {});
  std::thread closer;
  // Out here, so that a read kept waiting by a lock held ends with the call, not in a deadlock.
  std::future<int> other;
  std::future_status other_read = std::future_status::deferred;
  const Characterisation result = device.characterise(
      plan_characterise(0, 255, 1, 0, 1), meter, [&](const Characterisation& so_far) {
        const int code = so_far.codes.back().code;
        if (code == 5) {
          other = std::async(std::launch::async, [&] { return device.read(); });
          other_read = other.wait_for(2s);
        }
        if (code == 20) {
          closer = std::thread([&] { device.close(); });
          std::this_thread::sleep_for(100ms);  // the close waits for this call
        }
      });
  closer.join();
  ASSERT_EQ(other_read, std::future_status::ready) << "the lock was held";
  EXPECT_EQ(other.get(), 5);
  EXPECT_EQ(result.codes.size(), 21u);
  EXPECT_TRUE(ended_by<Closed>(result));
  EXPECT_TRUE(result.restored);
  EXPECT_TRUE(device.closed());
  EXPECT_EQ(part_file.setting(), 77);
}

}  // namespace
}  // namespace vx::session

namespace vx::session {
namespace {

// The vx3071 program, run with `args`; standard error read line by line as it comes, and
// `on_line` may signal the program.
struct ProgramRun {
  int status = 0;
  std::string out;
  std::vector<std::string> err;
};

ProgramRun run_cli(const std::vector<std::string>& args,
                   const std::function<void(pid_t, const std::string&)>& on_line = {},
                   const std::function<void(pid_t)>& on_start = {}) {
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (const int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
    std::vector<char*> argv{const_cast<char*>("vx3071")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(VX3071_CLI, argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (on_start) on_start(pid);
  ProgramRun run;
  std::thread reader([&] {
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) run.out.append(buffer, n);
  });
  FILE* lines = ::fdopen(err[0], "r");
  char line[1024];
  while (std::fgets(line, sizeof line, lines)) {
    run.err.emplace_back(line);
    if (on_line) on_line(pid, run.err.back());
  }
  std::fclose(lines);
  reader.join();
  ::close(out[0]);
  ::waitpid(pid, &run.status, 0);
  if (std::find(args.begin(), args.end(), "--json") != args.end()) test::expect_json_lines(run.out);
  return run;
}

// The codes in a CSV the program wrote, in order.
std::vector<int> csv_codes(const std::string& path) {
  std::ifstream csv(path);
  std::vector<int> codes;
  std::string line;
  std::getline(csv, line);  // the header
  while (std::getline(csv, line)) {
    if (line.rfind('#', 0) != 0) codes.push_back(std::stoi(line));  // not the partial note
  }
  return codes;
}

// The last code the program's progress log told, or -1.
int last_logged(const ProgramRun& run) {
  int code = -1;
  for (const std::string& line : run.err) std::sscanf(line.c_str(), "characterise: code %d", &code);
  return code;
}

std::string file_in_temp(const char* name) {
  return ::testing::TempDir() + "vx3071-" + std::to_string(::getpid()) + name;
}

// Ctrl-C in the middle: the codes measured whole are in the CSV, the one in progress is not, the
// summary says partial, the part is back at its setting, and the program dies of the signal.
TEST(CharacteriseProgram, ASignalWritesThePartialResultsThenEndsTheProgram) {
  const SharedPartFile part_file;
  const std::string csv = file_in_temp(".csv");
  const std::string report = file_in_temp(".pdf");
  Emulator emulator("tcp", "34465A", "");
  ASSERT_EQ(run_cli({"write", "77"}).status, 0);
  bool sent = false;
  const ProgramRun run = run_cli({"--json", "characterise", "--meter", emulator.resource(),
                                  "--settle", "15", "--csv", csv, "--report", report},
                                 [&](pid_t pid, const std::string& line) {
                                   if (!sent && line.find("code 99 ") != std::string::npos) {
                                     ::kill(pid, SIGINT);
                                     sent = true;
                                   }
                                 });
  ASSERT_TRUE(WIFSIGNALED(run.status)) << run.status;
  EXPECT_EQ(WTERMSIG(run.status), SIGINT);
  const int last = last_logged(run);
  ASSERT_GE(last, 99);
  ASSERT_LT(last, 255);
  std::vector<int> expected(static_cast<std::size_t>(last + 1));
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(csv_codes(csv), expected);
  EXPECT_THAT(run.out, HasSubstr("\"partial\":true"));
  EXPECT_THAT(run.out, HasSubstr("\"restored\":true"));
  EXPECT_THAT(run.out, HasSubstr("stopped by SIGINT"));
  EXPECT_EQ(part_file.setting(), 77);
  std::ifstream pdf(report);
  std::string start(5, '\0');
  pdf.read(start.data(), 5);
  EXPECT_EQ(start, "%PDF-");
  // The report says partial and why, as the JSON does.
  FILE* text = ::popen(("pdftotext -layout " + report + " -").c_str(), "r");
  std::string words;
  char buffer[4096];
  for (std::size_t n; text && (n = std::fread(buffer, 1, sizeof buffer, text)) > 0;) {
    words.append(buffer, n);
  }
  if (text) ::pclose(text);
  EXPECT_THAT(words, HasSubstr("codes measured; at code"));
  EXPECT_THAT(words, HasSubstr("stopped"));
  std::remove(csv.c_str());
  std::remove(report.c_str());
}

// A meter that falls silent at code 50: status 3 after the partial results are written, the
// message naming the meter and what it was asked; a line of progress a code, off a terminal.
TEST(CharacteriseProgram, AMeterFailingMidSweepIsStatus3AfterThePartialResults) {
  const SharedPartFile part_file;
  const std::string csv = file_in_temp("-silent.csv");
  Emulator emulator("tcp", "34465A", "silent-after-50");
  ASSERT_EQ(run_cli({"write", "77"}).status, 0);
  const ProgramRun run =
      run_cli({"characterise", "--meter", emulator.resource(), "--settle", "0", "--csv", csv});
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 3);
  EXPECT_EQ(csv_codes(csv).size(), 50u);
  std::ifstream written(csv);
  std::string line, last;
  while (std::getline(written, line)) last = line;
  EXPECT_THAT(last, StartsWith("# partial: 50 of 256 codes measured; at code 50: "))
      << "the CSV says partial";
  EXPECT_EQ(last_logged(run), 49);
  EXPECT_THAT(run.out, HasSubstr("partial: 50 of 256 codes measured; at code 50: "));
  ASSERT_FALSE(run.err.empty());
  EXPECT_THAT(run.err.back(), HasSubstr(emulator.resource()));
  EXPECT_THAT(run.err.back(), HasSubstr("READ?"));
  EXPECT_EQ(part_file.setting(), 77);
  std::remove(csv.c_str());
}

TEST(CharacteriseProgram, ArgumentsThatNameNothingAreRefusedBeforeAnyWork) {
  const SharedPartFile part_file;
  const struct {
    std::vector<std::string> args;
    int status;
    const char* words;
  } cases[] = {
      {{"characterise"}, 2, "needs --meter RESOURCE"},
      {{"characterise", "--meter", "bogus"}, 2, "bogus"},
      {{"characterise", "--meter", "sim", "10"}, 2, "FROM and TO together"},
      {{"characterise", "--meter", "sim", "0", "256"}, 2, "TO"},
      {{"characterise", "--meter", "sim", "--average", "0"}, 2, "K"},
      {{"characterise", "--meter", "sim", "--mode", "ladder"}, 2, "rheostat or divider"},
      {{"characterise", "--meter", "sim", "--vh", "5"}, 2, "--vh and --vl go together"},
      {{"characterise", "--meter", "sim", "--plot", "a.jpg"}, 2, "F.png or F.svg"},
      {{"characterise", "--meter", "sim", "--function", "current"}, 2, "resistance or voltage"},
      {{"characterise", "--meter", "sim", "--csv", "/nonexistent/a.csv"},
       5,
       "cannot write /nonexistent/a.csv"},
      {{"characterise", "--meter", "sim", "-1", "255"}, 2, "FROM must be a whole number"},
      {{"characterise", "--meter", "sim", "--csv", ""}, 2, "--csv needs a file name"},
      {{"characterise", "--meter", "sim", "--report", file_in_temp("-r.txt")}, 2, "PDF"},
      {{"characterise", "--meter", "sim", "--csv", file_in_temp("-one.png"), "--plot",
        file_in_temp("-one.png")},
       2,
       "--csv and --plot name one file"},
      {{"characterise", "--meter", "sim", "--csv", file_in_temp("-one.pdf"), "--report",
        file_in_temp("-one.pdf")},
       2,
       "--csv and --report name one file"},
      {{"--trace", file_in_temp("-one.log"), "characterise", "--meter", "sim", "--csv",
        file_in_temp("-one.log")},
       2,
       "--csv and the trace name one file"},
      {{"characterise", "--meter", "sim", "--vh", "1e999", "--vl", "0"}, 2, "--vh is a voltage"},
      {{"characterise", "--meter", "sim", "--vh", "1e308", "--vl", "-1e308"}, 2, "too far apart"},
      {{"characterise", "--meter", "sim", "--range", "1e400"}, 2, "finite number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const ProgramRun run = run_cli(c.args);
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), c.status);
    ASSERT_FALSE(run.err.empty());
    EXPECT_THAT(run.err.front(), HasSubstr(c.words));
    EXPECT_EQ(part_file.setting(), 0x80) << "the part was touched";
  }
  for (const char* made : {"-one.png", "-one.pdf", "-one.log", "-r.txt"}) {
    EXPECT_FALSE(std::filesystem::exists(file_in_temp(made))) << made << " was made";
  }
}

// What a run cannot finish costs no file: a meter that is not there (3) and a plot that cannot be
// written (5) leave three old files byte for byte, their mode too, and no temporary file beside
// them; a run that ends early replaces them whole, the partial CSV saying so, in the old mode.
TEST(CharacteriseProgram, OldFilesSurviveAFailedAndARefusedRunByteForByte) {
  const SharedPartFile part_file;
  const std::filesystem::path folder = file_in_temp("-outputs");
  std::filesystem::create_directories(folder);
  const std::string csv = folder / "precious.csv", png = folder / "precious.png",
                    pdf = folder / "precious.pdf";
  const auto contents = [](const std::string& path) { return test::slurp(path); };
  for (const std::string& path : {csv, png, pdf}) {
    std::ofstream(path, std::ios::binary) << "an afternoon's readings in " << path << '\n';
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write |
                                           std::filesystem::perms::group_read);
  }
  const std::string before_csv = contents(csv), before_png = contents(png),
                    before_pdf = contents(pdf);
  const auto untouched = [&] {
    EXPECT_EQ(contents(csv), before_csv);
    EXPECT_EQ(contents(png), before_png);
    EXPECT_EQ(contents(pdf), before_pdf);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              3)
        << "a temporary file was left";
  };
  // Nothing listens on port 1 of the loopback address.
  ProgramRun run = run_cli({"characterise", "--meter", "TCPIP::127.0.0.1::1::SOCKET", "--csv", csv,
                            "--plot", png, "--report", pdf});
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 3);
  untouched();
  run = run_cli(
      {"characterise", "--meter", "sim", "--csv", csv, "--plot", "/nonexistent/vx3071/a.png"});
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 5);
  untouched();

  Emulator emulator("tcp", "34465A", "silent-after-20");
  run = run_cli({"characterise", "--meter", emulator.resource(), "--settle", "0", "--csv", csv,
                 "--plot", png, "--report", pdf});
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 3);
  EXPECT_EQ(csv_codes(csv).size(), 20u);
  EXPECT_THAT(contents(csv), HasSubstr("\r\n# partial: 20 of 256 codes measured"));
  EXPECT_EQ(contents(png).substr(1, 3), "PNG");
  EXPECT_EQ(contents(pdf).substr(0, 5), "%PDF-");
  for (const std::string& path : {csv, png, pdf}) {
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read)
        << path;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                          std::filesystem::directory_iterator()),
            3);
  std::filesystem::remove_all(folder);
}

// What is not a regular file is written as it is, after the sweep: a symbolic link's target (the
// link stays a link) and a FIFO a reader waits on.
TEST(CharacteriseProgram, ALinkOrAFifoIsWrittenThroughNotReplaced) {
  const SharedPartFile part_file;
  const std::filesystem::path folder = file_in_temp("-through");
  std::filesystem::create_directories(folder);
  const std::filesystem::path target = folder / "target.csv", link = folder / "link.csv",
                              fifo = folder / "fifo.csv";
  std::ofstream(target) << "old\n";
  std::filesystem::create_symlink(target, link);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Held open for writing here too, so that neither end's opening waits, and the reader sees the
  // end only once this is let go: a FIFO replaced by a file cannot hang the test.
  const int held = ::open(fifo.c_str(), O_RDWR);
  const int read_end = ::open(fifo.c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_GE(read_end, 0);
  std::string piped;
  std::thread reader([&] {
    char buffer[4096];
    for (ssize_t n; (n = ::read(read_end, buffer, sizeof buffer)) > 0;) piped.append(buffer, n);
    ::close(read_end);
  });
  ProgramRun run = run_cli(
      {"characterise", "--meter", "sim", "0", "9", "--settle", "0", "--csv", link.string()});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(link)) << "the link was replaced by a file";
  EXPECT_EQ(csv_codes(target).size(), 10u);
  run = run_cli(
      {"characterise", "--meter", "sim", "0", "9", "--settle", "0", "--csv", fifo.string()});
  ::close(held);
  reader.join();
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(piped, StartsWith("code,written,"));
  EXPECT_EQ(std::count(piped.begin(), piped.end(), '\n'), 11);
  std::filesystem::remove_all(folder);
}

// While one process sweeps the shared simulated part, another's sweep and write are refused
// naming the holder, and a read is allowed; once it has ended, writing works again.
TEST(CharacteriseProgram, ASecondSweepOnOneSharedPartIsRefusedNamingTheHolder) {
  const SharedPartFile part_file;
  ASSERT_EQ(run_cli({"write", "50"}).status, 0);
  std::promise<pid_t> started;
  std::thread first([&] {
    bool told = false;
    run_cli({"characterise", "--meter", "sim", "--settle", "30"},
            [&](pid_t pid, const std::string& line) {
              if (!told && line.find("code 3 ") != std::string::npos) {
                started.set_value(pid);
                told = true;
              }
            });
    if (!told) started.set_value(-1);
  });
  const pid_t holder = started.get_future().get();
  ASSERT_GT(holder, 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"characterise", "--meter", "sim"}, {"write", "9"}}) {
    SCOPED_TRACE(args.front());
    const ProgramRun refused = run_cli(args);  // no ASSERT here: the first run must be joined
    EXPECT_TRUE(WIFEXITED(refused.status) && WEXITSTATUS(refused.status) == 3) << refused.status;
    EXPECT_THAT(refused.err.empty() ? "" : refused.err.back(),
                HasSubstr("held by process " + std::to_string(holder)));
  }
  EXPECT_EQ(run_cli({"read"}).status, 0) << "reading is allowed";
  ::kill(holder, SIGINT);
  first.join();
  EXPECT_EQ(part_file.setting(), 50) << "the sweep put its setting back";
  EXPECT_EQ(run_cli({"write", "9"}).status, 0);
  EXPECT_EQ(part_file.setting(), 9);
}

// Readings every 100 ms, a million asked for: SIGINT ends the run at the next reading and the
// program dies of it; a READ? that is never answered is cut short by SIGTERM, and the run says it
// was stopped, not that the meter failed.
TEST(MeterProgram, AStopSignalEndsTheReadingsAtOnce) {
  struct Case {
    const char* fault;
    std::vector<std::string> extra;
    int signal;
  };
  for (const Case& c : {Case{"", {"--count", "1000000", "--settle", "100"}, SIGINT},
                        Case{"no-answer", {}, SIGTERM}}) {
    SCOPED_TRACE(c.fault);
    Emulator emulator("tcp", "34465A", c.fault);
    std::vector<std::string> args = {"--json", "meter", emulator.resource()};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    std::atomic<pid_t> running{0};
    std::thread stopper([&] {
      while (running == 0) std::this_thread::sleep_for(5ms);
      std::this_thread::sleep_for(600ms);
      ::kill(running, c.signal);
    });
    const auto start = std::chrono::steady_clock::now();
    const ProgramRun run = run_cli(args, {}, [&](pid_t pid) { running = pid; });
    const auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    ASSERT_TRUE(WIFSIGNALED(run.status)) << run.status << run.out;
    EXPECT_EQ(WTERMSIG(run.status), c.signal);
    // The meter's time limit is 3 s; the readings asked for would take a day.
    EXPECT_LT(took, 2000ms) << "the stop waited";
    EXPECT_THAT(run.out, HasSubstr("stopped by SIG"));
    EXPECT_THAT(run.out, Not(HasSubstr("did not answer")));
  }
}

// A meter answering a number beyond a double's range is refused, not taken as infinity.
TEST(MeterProgram, ANumberBeyondADoublesRangeIsRefused) {
  Emulator emulator("tcp", "34465A", "infinite");
  const ProgramRun run = run_cli({"--json", "meter", emulator.resource()});
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 3);
  EXPECT_THAT(run.out, HasSubstr("no finite number"));
  EXPECT_THAT(run.out, Not(HasSubstr("inf")));
}

}  // namespace
}  // namespace vx::session
