// vx3071 from a script's point of view: what it sends, prints and exits with.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <span>
#include <sstream>
#include <thread>

#include "cli/cli.h"
#include "frame/device_address.h"
#include "frame/line_protocol.h"
#include "panel/panel_logic.h"
#include "sim/analog.h"
#include "sim/virtual_port.h"
#include "support/bus_checks.h"
#include "support/files.h"
#include "support/json_check.h"
#include "support/test_ports.h"

namespace vx::cli {
namespace {

namespace fs = std::filesystem;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace std::chrono_literals;

struct Result {
  int status;
  std::string out, err;
};

Result vx3071(const std::vector<std::string>& args, const std::string& input = "",
              const PortMaker& make_port = backends::make_port) {
  std::istringstream in(input);
  std::ostringstream out, err;
  const int status = run(args, {in, out, err, false}, {}, make_port);
  if (std::find(args.begin(), args.end(), "--json") != args.end())
    test::expect_json_lines(out.str());
  return {status, out.str(), err.str()};
}

// A port maker that records every access to the simulated device.
PortMaker recorded(test::PortScript& script) {
  return [&script](const backends::Settings& settings) {
    return std::make_unique<port::PortAccess>(
        test::recording(script, backends::opener_for(settings.port)), settings.trace);
  };
}

// Runs the built vx3071 through the shell; its exit status, or -1 when it did not exit.
int shell(const std::string& command) {
  const std::string script = "exec 2>/dev/null; " + command;
  const int status = std::system(("bash -c '" + script + "'").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Cli : public ::testing::Test {
 protected:
  fs::path file(const std::string& name) {
    dir_ = fs::temp_directory_path() / ("vx3071-cli-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    return dir_ / name;
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  // The accesses a text trace records, one per line ("W 378 F3", "R 379 7F").
  static std::vector<test::Access> accesses(const fs::path& trace) {
    std::vector<test::Access> all;
    for (const std::string& line : lines(trace)) {
      std::istringstream fields(line);
      char kind;
      std::string address, value;
      fields >> kind >> address >> value;
      all.push_back({kind, static_cast<std::int16_t>(std::stoi(address, nullptr, 16)),
                     static_cast<std::int32_t>(std::stol(value, nullptr, 16))});
    }
    return all;
  }
  static std::vector<std::string> lines(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);) all.push_back(line);
    return all;
  }

  fs::path dir_;
};

TEST_F(Cli, WriteSendsExactlyWhatThePanelsSliderSends) {
  for (int code : {0, 1, 77, 128, 200, 255}) {
    const fs::path cli_trace = file("cli.log"), panel_trace = file("panel.log");
    ASSERT_EQ(
        vx3071({"--port", "sim", "--trace", cli_trace.string(), "write", std::to_string(code)})
            .status,
        kOk);
    {
      port::PortAccess access([] { return std::make_unique<sim::VirtualPort>(); },
                              panel_trace.string());
      panel::PanelLogic logic(access);
      if (code == 0) logic.user_sets_slider(1);  // the slider starts at 0
      logic.user_sets_slider(code);
    }
    std::vector<std::string> panel = lines(panel_trace);
    ASSERT_GE(panel.size(), 59u);
    panel.erase(panel.begin(), panel.end() - 59);
    EXPECT_EQ(lines(cli_trace), panel) << "code " << code;
  }
}

TEST_F(Cli, WritesVerifiesAndReadsInOneRun) {
  const Result r = vx3071({"--port", "sim", "mid", "write", "77", "--verify", "read"});
  EXPECT_EQ(r.status, kOk) << r.err;
  EXPECT_EQ(r.out, "77\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(Cli, ReadIsTheReadTransactionAlone) {
  const fs::path trace = file("read.log");
  const Result r = vx3071({"--port=sim", "--trace=" + trace.string(), "read"});
  EXPECT_EQ(r.out, "128\n") << "the simulated device powers up at mid scale";
  EXPECT_EQ(test::check_read(accesses(trace)), "");
}

TEST_F(Cli, FrameSendsTheBitsWithAcknowledgeSlotsLow) {
  const fs::path trace = file("frame.log");
  // Address 0x58, A3 = 1, second byte 0, A2 = 0, data 0x33, A1 = 1.
  const std::string bits = "010110001000000000001100111";
  const Result r = vx3071({"--port", "sim", "--trace", trace.string(), "frame", bits, "read"});
  EXPECT_EQ(r.status, kOk);
  EXPECT_THAT(r.err, HasSubstr("18, 0"));
  EXPECT_EQ(r.out, "51\n");
  const std::vector<test::Access> sent = accesses(trace);
  ASSERT_EQ(sent.size(), 59u + 48u);
  const test::Decoded decoded = test::decode_write(std::span(sent).first(59));
  ASSERT_TRUE(decoded.word) << decoded.fault;
  EXPECT_EQ(*decoded.word, std::uint32_t{frame::kFixedAddressBits} + 2 * 51);
}

TEST_F(Cli, SweepsEitherWayAndDwells) {
  const fs::path trace = file("sweep.log");
  const auto start = std::chrono::steady_clock::now();
  const Result r = vx3071({"--port", "sim", "--trace", trace.string(), "--json", "sweep", "10", "0",
                           "5", "--dwell", "20"});
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
  EXPECT_EQ(r.out, "{\"command\":\"sweep\",\"from\":10,\"to\":0,\"step\":5,\"codes\":3}\n");
  const std::vector<test::Access> sent = accesses(trace);
  ASSERT_EQ(sent.size(), 3 * 59u);
  std::vector<std::uint32_t> codes;
  for (std::size_t at = 0; at < sent.size(); at += 59) {
    const test::Decoded decoded = test::decode_write(std::span(sent).subspan(at, 59));
    ASSERT_TRUE(decoded.word) << decoded.fault;
    codes.push_back(*decoded.word >> 1 & 0xFF);
  }
  EXPECT_EQ(codes, (std::vector<std::uint32_t>{10, 5, 0}));
}

TEST_F(Cli, TakesCommandsFromStandardInputOnOnePort) {
  const Result r = vx3071({"--port", "sim", "-", "read"},
                          "write 12\n# a comment\n\nread\nzero read\nwrite 200 --verify\n");
  EXPECT_EQ(r.status, kOk) << r.err;
  EXPECT_EQ(r.out, "12\n0\n200\n");

  const Result bad = vx3071({"--port", "sim", "-"}, "write 3\nread\nwrte 4\nread\n");
  EXPECT_EQ(bad.status, kUsage);
  EXPECT_EQ(bad.out, "3\n") << "the lines before the bad one ran";
  EXPECT_THAT(bad.err, HasSubstr("unknown command \"wrte\""));
}

TEST_F(Cli, PrintsOneJsonObjectPerCommand) {
  const Result r = vx3071({"--port", "sim", "--json", "full", "write", "9", "--verify", "read"});
  EXPECT_EQ(r.out,
            "{\"command\":\"full\",\"code\":255}\n"
            "{\"command\":\"write\",\"code\":9,\"verified\":true,\"read\":9}\n"
            "{\"command\":\"read\",\"value\":9}\n");
}

TEST_F(Cli, AVerifyMismatchNamesBothValues) {
  // A device that never answers: SDA stays high, so every read gives 255.
  class Silent final : public port::Port {
    void write16(std::int16_t, std::int16_t) override {}
    std::int32_t read32(std::int16_t) override { return 0x7F; }
  };
  const Result r = vx3071({"write", "77", "--verify", "read"}, "", [](const backends::Settings&) {
    return std::make_unique<port::PortAccess>([] { return std::make_unique<Silent>(); });
  });
  EXPECT_EQ(r.status, kVerifyMismatch);
  EXPECT_THAT(r.err, HasSubstr("wrote 77, read back 255"));
  EXPECT_EQ(r.out, "") << "nothing runs after the mismatch";
}

TEST_F(Cli, APortFailureStopsTheRunWithItsMessage) {
  test::PortScript script;
  script.fail_at(59 + 10, "the port went away");
  const Result r = vx3071({"zero", "write", "5", "read"}, "", [&](const backends::Settings&) {
    return std::make_unique<port::PortAccess>(
        test::recording(script, [] { return std::make_unique<sim::VirtualPort>(); }));
  });
  EXPECT_EQ(r.status, kPortError);
  EXPECT_EQ(r.err, "vx3071: the port went away\n");
  EXPECT_EQ(script.accesses.size(), 59u + 9u);
}

TEST_F(Cli, RefusesBadCommandLinesBeforeTouchingThePort) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const std::string bits27(27, '0');
  for (const auto& [args, status, message] : std::vector<Case>{
           {{}, kUsage, "no command given"},
           {{"bogus"}, kUsage, "unknown command \"bogus\""},
           {{"write"}, kUsage, "write needs a CODE"},
           {{"write", "256"}, kUsage, "CODE must be a whole number from 0 to 255, not \"256\""},
           {{"write", "-1"}, kUsage, "not \"-1\""},
           {{"write", "12abc"}, kUsage, "not \"12abc\""},
           // 077 is 63 to i2cset, 77 to a reader: neither is guessed.
           {{"write", "077"}, kUsage, "CODE \"077\": a leading zero is ambiguous"},
           {{"sweep", "0", "255", "016"}, kUsage, "STEP \"016\": a leading zero is ambiguous"},
           {{"--trace", std::string("a.csv\0.vcd", 10), "read"}, kUsage, "holds a NUL byte"},
           {{"write", "--verify"}, kUsage, "write needs a CODE"},
           {{"frame"}, kUsage, "frame needs 27 BITS"},
           {{"frame", "0101"}, kUsage, "27 characters of 0 and 1"},
           {{"frame", bits27 + "0"}, kUsage, "(28 characters)"},
           {{"frame", std::string(26, '0') + "2"}, kUsage, "27 characters of 0 and 1"},
           {{"sweep", "0"}, kUsage, "sweep needs FROM and TO"},
           {{"sweep", "0", "300"}, kUsage, "TO must be"},
           {{"sweep", "0", "9", "0"}, kUsage, "STEP must be"},
           {{"sweep", "0", "9", "--dwell"}, kUsage, "needs --dwell MS"},
           {{"--port"}, kUsage, "--port needs a value"},
           {{"--bogus", "read"}, kUsage, "unknown option \"--bogus\""},
           {{"read", "--json"}, kUsage, "option \"--json\" must come before the first command"},
           {{"read", "--port=sim"}, kUsage, "must come before the first command"},
           {{"sweep", "0", "255", "--dwell", "1", "--dwell", "2"},
            kUsage,
            "--dwell MS goes right after sweep FROM TO [STEP], once"},
           {{"read", "--verify"}, kUsage, "--verify goes right after write CODE"},
           {{"--verify", "write", "5"}, kUsage, "--verify belongs to its command"},
           {{"read", "--bogus"}, kUsage, "unknown option \"--bogus\""},
           {{std::string("wr\x01te\n") + std::string(100, 'x')},
            kUsage,
            "unknown command \"wr\\x01te\\x0Axxx"},
           {{"write", "5", "bogus"}, kUsage, "unknown command"},
           // The port and the phase are settings checked before any port work, as arguments are.
           {{"--port", "nonsense", "read"}, kUsage, "unknown port \"nonsense\""},
           {{"--port", "parport:", "read"}, kUsage, "unknown port"},
           {{"--port=", "read"}, kUsage, "the port is empty"},
           {{"--port", "", "read"}, kUsage, "the port is empty"},
           {{"--port", "gpio:gpiochip0:17", "read"}, kUsage, "is not CHIP:SDA,SCL[,SENSE]"},
           {{"--port", "i2c", "read"}, kUsage, "unknown port \"i2c\""},
       }) {
    test::PortScript script;
    const Result r = vx3071(args, "", [&](const backends::Settings& settings) {
      auto opener = backends::opener_for(settings.port);
      return std::make_unique<port::PortAccess>(test::recording(script, opener));
    });
    std::string line;
    for (const auto& a : args) line += a + " ";
    EXPECT_EQ(r.status, status) << line;
    EXPECT_THAT(r.err, HasSubstr(message)) << line;
    if (status == kUsage) {
      EXPECT_THAT(r.err, ::testing::EndsWith("\nvx3071 --help lists the commands\n")) << line;
      EXPECT_THAT(r.err, ::testing::Not(HasSubstr("usage: vx3071"))) << line << ": one line";
      EXPECT_EQ(script.opens, 0) << line << ": the port was opened";
    }
  }
}

TEST_F(Cli, TakesItsSettingsFromTheCallerNotFromTheEnvironment) {
  ::setenv("VX3071_PORT", "nonsense", 1);
  std::istringstream in;
  std::ostringstream out, err;
  EXPECT_EQ(run({"read"}, {in, out, err, false}, {"sim:absent", "", ""}), kVerifyMismatch)
      << err.str();
  EXPECT_THAT(err.str(), HasSubstr("read 255, but there is no acknowledge at 0x2C"))
      << "the caller's port, with no device on it";
  ::unsetenv("VX3071_PORT");
}

TEST_F(Cli, AnAbsentDeviceReadsAs255AndFailsAVerify) {
  const Result r = vx3071({"--port", "sim:absent", "write", "77", "--verify"});
  EXPECT_EQ(r.status, kVerifyMismatch);
  EXPECT_THAT(r.err, HasSubstr("wrote 77, read back 255"));
}

TEST_F(Cli, StandardInputIsBoundedAndItsErrorsNameTheLine) {
  struct Case {
    std::string input;
    const char* message;
    const char* out;
  };
  for (const auto& [input, message, out] : std::vector<Case>{
           {"read\n-\nread\n", "standard input line 2: \"-\" on standard input", "128\n"},
           {"read\n\nwrite 3 -\n", "standard input line 3: \"-\" on standard input", "128\n"},
           {"read\nread\n" + std::string(100'000, 'x'),
            "standard input line 3: longer than 4096 bytes", "128\n128\n"},
           {std::string(5000, '\0'), "standard input line 1: longer than 4096 bytes", ""},
           {"# a comment\nwrite 2\nfrob " + std::string(1000, 'y'),
            "standard input line 3: unknown command \"frob\"", ""},
           {"write 7\nwrite\t" + std::string(4000, '9') + "\n",
            "line 2: CODE must be a whole number from 0 to 255, not \"9999", ""},
       }) {
    const Result r = vx3071({"--port", "sim", "-"}, input);
    EXPECT_EQ(r.status, kUsage) << message;
    EXPECT_THAT(r.err, HasSubstr(message));
    EXPECT_LT(r.err.size(), 4000u) << "bad input is quoted short: " << message;
    EXPECT_EQ(r.err.find('\0'), std::string::npos) << message;
    EXPECT_EQ(r.out, out) << message;
  }
}

// A line of standard input is checked whole before any of it runs, as the command line is: a typo
// at its end sends nothing of it.
TEST_F(Cli, AStandardInputLineIsCheckedWholeBeforeAnyOfItRuns) {
  test::PortScript script;
  const Result r = vx3071({"-"}, "write 5\nwrite 9 --verfy\n", recorded(script));
  EXPECT_EQ(r.status, kUsage);
  EXPECT_THAT(r.err, HasSubstr("standard input line 2: unknown option \"--verfy\""));
  EXPECT_EQ(script.accesses.size(), test::kWriteAccesses) << "line 1 ran, line 2 did not";
}

TEST_F(Cli, StandardOutputThatCannotBeWrittenStopsTheRunAtOnce) {
  // A stream whose every write fails, as a pipe whose reader has gone.
  struct Closed final : std::streambuf {
    int overflow(int) override { return traits_type::eof(); }
    std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
  } closed;
  std::ostream out(&closed);
  std::string lines;
  for (int i = 0; i < 1000; ++i) lines += "read\n";
  std::istringstream in(lines);
  std::ostringstream err;
  test::PortScript script;
  EXPECT_EQ(run({"-"}, {in, out, err, false}, {}, recorded(script)), kWriteFailed);
  EXPECT_THAT(err.str(), HasSubstr("cannot write standard output"));
  EXPECT_EQ(script.accesses.size(), test::kReadAccesses) << "one read, then it stopped";
}

TEST_F(Cli, ATraceThatCannotBeWrittenIsToldOnceAndTheRunEndsWithStatus5) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "this system has no /dev/full";
  test::PortScript script;
  const Result r = vx3071({"--trace", "/dev/full", "write", "5", "read"}, "", recorded(script));
  EXPECT_EQ(r.status, kWriteFailed);
  EXPECT_EQ(r.out, "5\n") << "the port worked: every command ran";
  EXPECT_THAT(r.err, HasSubstr("/dev/full"));
  EXPECT_EQ(r.err.find("/dev/full"), r.err.rfind("/dev/full")) << "told once: " << r.err;
}

// A trace that cannot be started never stops the port work: every command runs, the failure is
// told once, and 5 ends the run unless the port or the device said worse.
TEST_F(Cli, ATraceThatCannotBeStartedStopsNoCommand) {
  const fs::path fifo = file("unread.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const fs::path& trace : {file("no-such-dir") / "t.vcd", file(""), fifo}) {
    SCOPED_TRACE(trace.string());
    const Result r = vx3071({"--trace", trace.string(), "write", "77", "--verify", "read"});
    EXPECT_EQ(r.status, kWriteFailed);
    EXPECT_EQ(r.out, "77\n") << "every command ran";
    EXPECT_EQ(r.err.find(trace.string()), r.err.rfind(trace.string())) << "told once: " << r.err;
    const Result absent = vx3071(
        {"--port", "sim:absent", "--trace", trace.string(), "write", "77", "--verify", "read"});
    EXPECT_EQ(absent.status, kVerifyMismatch) << "a bad board is told as a bad board";
  }
  EXPECT_EQ(vx3071({"--trace", "/dev/null", "write", "77"}).status, kOk);
}

// A script reading JSON sees why a command failed: one object with the error and the status.
TEST_F(Cli, WithJsonAFailedCommandPrintsAnObjectWithItsErrorAndStatus) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  for (const auto& [args, out] : std::vector<Case>{
           {{"--json", "--port", "sim:absent", "write", "5", "--verify"},
            "{\"command\":\"write\",\"error\":\"verify failed: wrote 5, read back 255\","
            "\"status\":4}\n"},
           {{"--json", "--port", "nonsense", "read"}, "{\"error\":\"unknown port \\\"nonsense\\\""},
           {{"--json", "bogus"}, "{\"error\":\"unknown command \\\"bogus\\\"\",\"status\":2}\n"},
       }) {
    const Result r = vx3071(args);
    EXPECT_THAT(r.out, ::testing::StartsWith(out)) << r.err;
    EXPECT_THAT(r.out, ::testing::EndsWith(",\"status\":" + std::to_string(r.status) + "}\n"));
  }
  const Result version = vx3071({"--version"});
  EXPECT_EQ(version.status, kOk);
  EXPECT_THAT(version.out, ::testing::MatchesRegex("vx3071 [0-9]+\\.[0-9]+\\.[0-9]+\n"));
}

// A port maker for the simulated bus with `device` on it (or nothing, for null).
PortMaker with_device(std::shared_ptr<sim::Device> device, sim::Wiring wiring = {}) {
  return [device, wiring](const backends::Settings& settings) {
    return std::make_unique<port::PortAccess>(
        [device, wiring] { return std::make_unique<sim::VirtualPort>(device, wiring); },
        settings.trace);
  };
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// A script reading JSON learns what Python raises: scan's addresses as numbers, a failing command
// from standard input by its own name and line, and a trace that cannot be written.
TEST_F(Cli, JsonSaysWhatPythonRaises) {
  EXPECT_EQ(vx3071({"--json", "scan"}).out, "{\"command\":\"scan\",\"addresses\":[44]}\n");
  const Result verify = vx3071({"--json", "--port", "sim:absent", "-"}, "zero\nwrite 5 --verify\n");
  EXPECT_EQ(verify.status, kVerifyMismatch);
  EXPECT_THAT(verify.out,
              ::testing::EndsWith("{\"command\":\"write\",\"line\":2,\"error\":\"verify "
                                  "failed: wrote 5, read back 255\",\"status\":4}\n"));
  const Result usage = vx3071({"--json", "-"}, "read\n\nwrite 300\n");
  EXPECT_EQ(usage.status, kUsage);
  EXPECT_THAT(usage.out,
              ::testing::EndsWith("{\"command\":\"write\",\"line\":3,\"error\":\"standard "
                                  "input line 3: CODE must be a whole number from 0 to "
                                  "255, not \\\"300\\\"\",\"status\":2}\n"));
  const Result trace = vx3071({"--json", "--trace", "/nonexistent/bus.log", "read"});
  EXPECT_EQ(trace.status, kWriteFailed);
  EXPECT_EQ(trace.out,
            "{\"command\":\"read\",\"value\":128,\"trace_error\":\"cannot write the trace file "
            "/nonexistent/bus.log: No such file or directory; the port goes on without a "
            "trace\",\"status\":5}\n")
      << "one object per command, the trace's error in it";
}

// Bring-up on the simulated bus: each step's result and text, and the run's status.
TEST_F(Cli, CheckAnswersTheBringUpQuestionsStepByStep) {
  auto elsewhere = std::make_shared<sim::Device>(0x2D);
  const std::string lines_ok =
      "lines     ok    SDA reads high with both lines released, low while pulled low, and high "
      "while SCL is pulled low";
  const std::string timing =
      "timing    ok    the port is not paced (VX3071_MIN_PHASE_US, or the back end's default)";
  const std::string skipped_lines = "presence  skip  the lines are not free";
  struct Case {
    const char* name;
    std::shared_ptr<sim::Device> device;
    sim::Wiring wiring;
    int status;
    std::vector<std::string> lines;
  };
  for (const auto& [name, device, wiring, status, lines] : std::vector<Case>{
           {"present",
            std::make_shared<sim::Device>(),
            {},
            kOk,
            {"port      ok    opened", lines_ok,
             "presence  ok    the VX3071 acknowledges its address 0x2C",
             "read-back ok    read 128 twice, wrote it back and read it again", timing}},
           {"absent",
            nullptr,
            {},
            kVerifyMismatch,
            {"port      ok    opened", lines_ok,
             "presence  FAIL  no acknowledge at 0x2C; nothing answers on this bus: check the "
             "power, the pull-ups and the wiring",
             "read-back skip  no device answered to be read", timing}},
           {"strapped to 0x2D",
            elsewhere,
            {},
            kVerifyMismatch,
            {"port      ok    opened", lines_ok,
             "presence  FAIL  no acknowledge at 0x2C; a device answers at 0x2D: is the board "
             "strapped to another address?",
             "read-back skip  no device answered to be read", timing}},
           {"SDA open",
            std::make_shared<sim::Device>(),
            {.sda_open = true},
            kPortError,
            {"port      ok    opened",
             "lines     FAIL  SDA reads high while pulled low: the drive does not reach the line "
             "that is read: an open SDA line, or the open-drain buffer missing, unpowered or "
             "inverting",
             skipped_lines, "read-back skip  the lines are not free", timing}},
           {"lines bridged",
            std::make_shared<sim::Device>(),
            {.bridged = true},
            kPortError,
            {"port      ok    opened",
             "lines     FAIL  SDA reads low while only SCL is pulled low: SDA and SCL are "
             "bridged: look for a short between the two lines",
             skipped_lines, "read-back skip  the lines are not free", timing}},
           // SCL cannot be read on a parallel port: an open SCL line shows as nobody answering.
           {"SCL open",
            std::make_shared<sim::Device>(),
            {.scl_open = true},
            kVerifyMismatch,
            {"port      ok    opened", lines_ok,
             "presence  FAIL  no acknowledge at 0x2C; nothing answers on this bus: check the "
             "power, the pull-ups and the wiring",
             "read-back skip  no device answered to be read", timing}},
       }) {
    SCOPED_TRACE(name);
    const Result r = vx3071({"check"}, "", with_device(device, wiring));
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(split_lines(r.out), lines);
  }
  // The same through the real choice of port, as a new user types it.
  EXPECT_EQ(vx3071({"--port", "sim:absent", "check"}).status, kVerifyMismatch);
  const Result json = vx3071({"--json", "check"});
  EXPECT_THAT(json.out, StartsWith("{\"command\":\"check\",\"steps\":[{\"step\":\"port\","));
  EXPECT_THAT(json.out, HasSubstr(",{\"step\":\"presence\",\"result\":\"ok\",\"text\":\"the VX3071 "
                                  "acknowledges its address 0x2C\",\"fix\":\"\"},"));
  EXPECT_EQ(split_lines(json.out).size(), 1u) << "one object for the command";
  const Result missing = vx3071({"--json", "--port", "sim:absent", "check"});
  EXPECT_THAT(missing.out, EndsWith("],"
                                    "\"error\":\"check: presence failed\",\"status\":4}\n"));
  EXPECT_EQ(split_lines(missing.out).size(), 1u) << "its failure in its one object";
}

// --thorough writes 0x55 and 0xAA, and restores the setting it found, also when a stuck data bit
// makes the device misread one of them.
TEST_F(Cli, ACheckThatWritesPatternsRestoresTheSettingItFound) {
  for (const bool stuck : {false, true}) {
    SCOPED_TRACE(stuck ? "bit 1 stuck low" : "a sound device");
    auto device = std::make_shared<sim::Device>();
    if (stuck) device->stick_low(0x02);
    ASSERT_EQ(vx3071({"write", "77"}, "", with_device(device)).status, kOk);
    const Result r = vx3071({"check", "--thorough"}, "", with_device(device));
    EXPECT_EQ(device->setting(), 77) << "what it held before";
    const std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    if (stuck) {
      EXPECT_EQ(r.status, kVerifyMismatch);
      EXPECT_EQ(lines[3],
                "read-back FAIL  wrote 0xAA, read back 0xA8; 77 restored: a data line stuck at "
                "one level: check SDA's buffer, the wiring and the pull-ups");
    } else {
      EXPECT_EQ(r.status, kOk);
      EXPECT_EQ(lines[3],
                "read-back ok    read 77 twice, wrote it back and read it again; 0x55 and 0xAA "
                "read back as written; 77 restored");
    }
  }
}

// Who answers, as i2cdetect lists it, the VX3071 marked.
// A setting is written back only when two reads agree: a misread written back would change the
// device. Here the second read's samples all come back low, as a phase too short for the wiring
// can make them.
TEST_F(Cli, ACheckWritesNothingBackWhenItsReadsDisagree) {
  test::PortScript script;
  int reads = 0;
  script.read_filter = [&reads](std::int32_t status) {
    ++reads;  // the line test's 4, presence's 1, then the first read's 8
    return reads >= 14 && reads <= 21 ? status & ~0x08 : status;
  };
  const auto device = std::make_shared<sim::Device>();
  const Result r = vx3071({"check"}, "", [&](const backends::Settings&) {
    return std::make_unique<port::PortAccess>(
        test::recording(script, [device] { return std::make_unique<sim::VirtualPort>(device); }));
  });
  EXPECT_EQ(r.status, kVerifyMismatch);
  EXPECT_THAT(r.out, HasSubstr("read-back FAIL  reads disagree: 128 then 0; nothing was written: "
                               "a phase too short for the wiring: set a longer one with "
                               "VX3071_MIN_PHASE_US\n"));
  // The line test, presence and the two reads: an undisturbed check makes these 130 accesses,
  // then the write frame back (59) and the third read (48).
  EXPECT_EQ(script.accesses.size(), 130u) << "no write frame after the reads";
  EXPECT_EQ(device->setting(), 128);
}

// A port that fails in the middle of --thorough's patterns: the setting found is put back where
// the port lets it, and where it does not, the report names what the device may hold.
TEST_F(Cli, AThoroughCheckThatFailsRestoresTheSettingOrSaysWhatTheDeviceHolds) {
  for (const bool keeps_failing : {false, true}) {
    SCOPED_TRACE(keeps_failing ? "the port stays down" : "the port comes back");
    const auto device = std::make_shared<sim::Device>();
    ASSERT_EQ(vx3071({"write", "77"}, "", with_device(device)).status, kOk);
    test::PortScript script;
    // The 0x55 write frame: after the line test (8), presence (30), the three reads (2 x 56 + 30
    // after the write back, 59 writes between): well inside it.
    script.fail_at(4 + 4 + 30 + 56 + 59 + 56 + 30, "the adapter went away");
    script.keeps_failing = keeps_failing;
    const Result r = vx3071({"check", "--thorough"}, "", [&](const backends::Settings&) {
      return std::make_unique<port::PortAccess>(
          test::recording(script, [device] { return std::make_unique<sim::VirtualPort>(device); }));
    });
    EXPECT_EQ(r.status, kPortError);
    if (keeps_failing) {
      EXPECT_THAT(r.out, HasSubstr("read-back FAIL  the adapter went away; the device may hold 85 "
                                   "rather than the 77 it held: write 77 back\n"));
    } else {
      EXPECT_THAT(r.out, HasSubstr("read-back FAIL  the adapter went away; 77 restored\n"));
      EXPECT_EQ(device->setting(), 77);
    }
  }
}

// Who answers, as i2cdetect lists it, the VX3071 marked; without it the run fails as check's
// presence does, after the list.
TEST_F(Cli, ScanListsWhoAnswers) {
  EXPECT_EQ(vx3071({"scan"}).out, "0x2c  VX3071\n");
  const Result elsewhere = vx3071({"scan"}, "", with_device(std::make_shared<sim::Device>(0x50)));
  EXPECT_EQ(elsewhere.out, "0x50\n");
  EXPECT_EQ(elsewhere.status, kVerifyMismatch);
  EXPECT_EQ(elsewhere.err, "vx3071: scan: no acknowledge at 0x2C; the addresses above answer\n");
  const Result none = vx3071({"--json", "scan"}, "", with_device(nullptr));
  EXPECT_EQ(none.out,
            "{\"command\":\"scan\",\"addresses\":[],\"error\":\"scan: no acknowledge at 0x2C; "
            "nothing answers on this bus\",\"status\":4}\n")
      << "one object for one command";
  EXPECT_EQ(none.status, kVerifyMismatch);
}

// Two devices on one bus: SDA is the wired AND of the master's drive and both devices'. Each
// device follows the master's lines (enough for a scan: a device drives SDA only in slots where
// SCL is high and SDA holds still).
class TwoDevicePort final : public port::Port {
 public:
  TwoDevicePort(int first, int second)
      : first_(static_cast<std::uint8_t>(first)), second_(static_cast<std::uint8_t>(second)) {}
  void write16(std::int16_t, std::int16_t value) override {
    for (sim::Device* device : {&first_, &second_}) {
      device->set_lines(frame::scl_of(value), frame::sda_drive_of(value));
    }
    sda_ = first_.sda() && second_.sda();
  }
  std::int32_t read32(std::int16_t) override { return frame::status_for(sda_); }
  std::optional<bool> bus_sda() const override { return sda_; }

 private:
  sim::Device first_, second_;
  bool sda_ = true;
};

// The VX3071 is found wherever it comes in the list, not only last.
TEST_F(Cli, ScanFindsTheVx3071AmongOtherDevices) {
  for (const int other : {0x50, 0x10}) {
    const Result r = vx3071({"scan"}, "", [other](const backends::Settings&) {
      return std::make_unique<port::PortAccess>(
          [other] { return std::make_unique<TwoDevicePort>(frame::kDeviceAddress, other); });
    });
    EXPECT_EQ(r.status, kOk) << r.err;
    const std::string vx = "0x2c  VX3071\n", theirs = other == 0x50 ? "0x50\n" : "0x10\n";
    EXPECT_EQ(r.out, other == 0x50 ? vx + theirs : theirs + vx);
  }
}

// JSON is UTF-8: a message's characters go out as they are, a byte of another encoding as
// U+FFFD, control characters escaped.
TEST_F(Cli, JsonTextIsUtf8WithItsEscapes) {
  const std::string trace =
      "/nonexistent/\xC3\xA9"
      "crire\t\xE9.log";
  const Result r = vx3071({"--json", "--trace", trace, "zero"});
  EXPECT_THAT(r.out, HasSubstr("/nonexistent/\xC3\xA9"
                               "crire\\u0009\\ufffd.log: No such file"));
}

TEST_F(Cli, TheTraceOfAFailedRunIsCompleteUpToTheFailure) {
  const fs::path trace = file("failed.vcd");
  test::PortScript script;
  script.fail_at(59 + 10, "the port went away");
  const Result r = vx3071({"--trace", trace.string(), "zero", "read"}, "", recorded(script));
  EXPECT_EQ(r.status, kPortError);
  const std::vector<std::string> vcd = lines(trace);
  ASSERT_FALSE(vcd.empty());
  EXPECT_EQ(vcd.back(), "#" + std::to_string(59 + 9 + 1))
      << "ends with the timestamp after its last access";
}

TEST_F(Cli, ARunRefusedBeforeThePortLeavesAnOldTraceAsItWas) {
  const fs::path trace = file("old.log");
  { std::ofstream(trace) << "yesterday\n"; }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--trace", trace.string(), "write", "300"},
        std::vector<std::string>{"--trace", trace.string(), "--port", "nonsense", "read"}}) {
    EXPECT_NE(vx3071(args).status, kOk);
    EXPECT_EQ(lines(trace), std::vector<std::string>{"yesterday"});
  }
}

TEST_F(Cli, TheSweepsProgressLineBlanksWhatItOverwrites) {
  std::istringstream in;
  std::ostringstream out, err;
  ASSERT_EQ(run({"--port", "sim", "sweep", "10", "9"}, {in, out, err, true}), kOk);
  EXPECT_EQ(err.str(), "\rsweep: code 10 (1 of 2)\rsweep: code 9 (2 of 2) \n");
}

// A characterisation's progress: on a terminal a bar and the words, each line over the last; a
// line a code anywhere else, a log.
TEST_F(Cli, TheCharacterisationsProgressIsABarOnATerminalAndALogElsewhere) {
  for (const bool terminal : {true, false}) {
    std::istringstream in;
    std::ostringstream out, err;
    ASSERT_EQ(run({"--port", "sim", "characterise", "--meter", "sim", "--settle", "0", "0", "9"},
                  {in, out, err, terminal}),
              kOk);
    const std::string told = err.str();
    if (terminal) {
      EXPECT_THAT(told, ::testing::StartsWith("\r[##..................] code 0 (1 of 10), "));
      EXPECT_THAT(told, HasSubstr("\r[##########..........] code 4 (5 of 10), "));
      EXPECT_THAT(told, HasSubstr("\r[####################] code 9 (10 of 10), 0 s left, "));
      EXPECT_EQ(told.back(), '\n');
      EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1);
    } else {
      EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 10);
      EXPECT_THAT(told, HasSubstr("characterise: code 9 (10 of 10), 0 s left, "));
      EXPECT_EQ(told.find('\r'), std::string::npos);
    }
  }
}

TEST_F(Cli, AsAProgramEndsOnAClosedPipeAndOnUnreadableInput) {
  const std::string cli = VX3071_CLI;
  struct Case {
    std::string command;
    int status;
  };
  for (const auto& [command, status] : std::vector<Case>{
           // SIGPIPE ignored, as under many supervisors: the write error alone must stop it.
           {"trap \"\" PIPE; yes read | timeout 20 " + cli +
                " --port sim - | head -n 1 >/dev/null; exit ${PIPESTATUS[1]}",
            kWriteFailed},
           {cli + " --port sim read >/dev/full", kWriteFailed},
           {cli + " --port sim - </", kUsage},
           {"timeout 20 " + cli + " --port sim - </dev/zero", kUsage},
           {"yes - | head -n 100000 | timeout 20 " + cli + " --port sim -", kUsage},
       }) {
    EXPECT_EQ(shell(command), status) << command;
  }
}

// How a child ended: its exit status, or the signal that killed it.
struct Ended {
  int status = -1;
  int signal = 0;
};

// The built vx3071, started with `args` in a process group of its own, as a shell starts a job.
struct Child {
  std::vector<std::string> args;
  std::string min_phase_us;
  std::vector<int> closed;         // descriptors closed before it starts
  std::vector<int> ignored;        // signals ignored before it starts, as for a background job
  int input = -1;                  // its standard input, if not /dev/null
  std::vector<std::string> shell;  // a shell command line run instead (bash -c), vx3071 in $CLI
  std::string err;                 // a file for its standard error, if not /dev/null
};

Child cli(std::vector<std::string> args, std::string min_phase_us = "") {
  Child how;
  how.args = std::move(args);
  how.min_phase_us = std::move(min_phase_us);
  return how;
}

pid_t start(const Child& how) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  ::setpgid(0, 0);
  if (!how.min_phase_us.empty()) ::setenv("VX3071_MIN_PHASE_US", how.min_phase_us.c_str(), 1);
  ::setenv("CLI", VX3071_CLI, 1);
  const int null = ::open("/dev/null", O_RDWR);
  ::dup2(how.input >= 0 ? how.input : null, STDIN_FILENO);
  ::dup2(null, STDOUT_FILENO);
  ::dup2(how.err.empty() ? null : ::open(how.err.c_str(), O_WRONLY | O_CREAT, 0600), STDERR_FILENO);
  for (const int fd : how.closed) ::close(fd);
  for (const int number : how.ignored) std::signal(number, SIG_IGN);
  std::vector<char*> argv;
  const std::vector<std::string>& words = how.shell.empty() ? how.args : how.shell;
  if (how.shell.empty()) argv.push_back(const_cast<char*>(VX3071_CLI));
  for (const auto& a : words) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

// Waits for `child` at most `limit`; past it the child is killed and the test fails.
Ended wait_for(pid_t child, std::chrono::seconds limit = 30s) {
  const auto due = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > due) {
      ::kill(-child, SIGKILL);
      ::waitpid(child, &status, 0);
      ADD_FAILURE() << "the program did not end within " << limit.count() << " s";
      return {};
    }
    std::this_thread::sleep_for(2ms);
  }
  if (WIFSIGNALED(status)) return {-1, WTERMSIG(status)};
  return {WEXITSTATUS(status), 0};
}

// Waits until `ready` holds; false when it never did within the limit.
bool eventually(const std::function<bool()>& ready, std::chrono::seconds limit = 20s) {
  const auto due = std::chrono::steady_clock::now() + limit;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > due) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::size_t line_count(const fs::path& path) {
  std::ifstream in(path);
  return static_cast<std::size_t>(
      std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

// INT, TERM and HUP end the run between two frames: the device is not left holding SDA, the trace
// holds whole frames, and then the program dies of the same signal, so that whoever started it
// (a shell loop, make) sees the signal and stops too.
TEST_F(Cli, AStopSignalEndsTheRunBetweenFramesAndThenKillsItWithTheSameSignal) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sigabbrev_np(signal));
    const fs::path trace = file(std::string(sigabbrev_np(signal)) + ".log");
    // 59 accesses a code at 1 ms each: 256 codes would take 15 s.
    const pid_t child =
        start(cli({"--port", "sim", "--trace", trace.string(), "sweep", "0", "255"}, "1000"));
    ASSERT_TRUE(eventually([&] { return line_count(trace) >= 2 * 59; }));
    ::kill(child, signal);
    const Ended ended = wait_for(child);
    EXPECT_EQ(ended.signal, signal) << "exited with " << ended.status;
    const std::vector<std::string> all = lines(trace);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.size() % 59, 0u) << "whole frames only: " << all.size() << " lines";
    EXPECT_EQ(all.back(), "W 378 F3") << "the last frame ends released";
    EXPECT_LT(all.size(), 59u * 256) << "it stopped";
  }
}

// A signal that comes while the last frame goes out: the frame is finished, and the program
// still dies of it, not exit 0.
TEST_F(Cli, ASignalDuringTheLastFrameStillEndsTheProgramByIt) {
  const fs::path trace = file("last.log");
  // 20 ms a phase: the one frame takes 1.2 s.
  const pid_t child = start(cli({"--trace", trace.string(), "write", "5"}, "20000"));
  ASSERT_TRUE(eventually([&] { return fs::exists(trace); })) << "the port was opened";
  ::kill(child, SIGTERM);
  EXPECT_EQ(wait_for(child).signal, SIGTERM);
  EXPECT_EQ(line_count(trace), 59u) << "the frame whole";
}

// Every command stops within a frame or so of a signal, not at its end: arguments that write,
// scan's probes, check's steps (its thorough read-back puts the setting back first), each stopped
// during its first frames.
TEST_F(Cli, EveryCommandStopsWithinAFrameOfASignal) {
  struct Case {
    std::vector<std::string> args;
    std::size_t whole_run;  // the accesses of the run unstopped
  };
  std::vector<std::string> writes;
  for (int code = 1; code <= 12; ++code) {
    writes.push_back("write");
    writes.push_back(std::to_string(code));
  }
  for (const auto& [args, whole_run] : std::vector<Case>{
           {writes, 12 * 59},
           {{"scan"}, 112 * 20},
           {{"check", "--thorough"}, 12 * 48},
       }) {
    SCOPED_TRACE(args.front());
    const fs::path trace = file(args.front() + ".log");
    std::vector<std::string> with_trace{"--trace", trace.string()};
    with_trace.insert(with_trace.end(), args.begin(), args.end());
    // 2 ms a phase: a frame takes about 0.12 s.
    const pid_t child = start(cli(with_trace, "2000"));
    ASSERT_TRUE(eventually([&] { return fs::exists(trace); })) << "the port was opened";
    ::kill(child, SIGINT);
    EXPECT_EQ(wait_for(child).signal, SIGINT);
    // Empty when the signal came before the first frame: the port opens before the command.
    const std::vector<std::string> all = lines(trace);
    EXPECT_LT(all.size(), whole_run / 3) << "it stopped early";
    if (!all.empty()) {
      EXPECT_EQ(all.back(), "W 378 F3") << "the bus released: a frame ended";
    }
  }
}

// bash runs on after a program that exits 130, as it would after one that handled Ctrl-C itself;
// it stops when the program dies of SIGINT. Ctrl-C reaches the whole job, as a terminal sends it.
TEST_F(Cli, OneCtrlCStopsAShellLoopAroundASweep) {
  const fs::path dir = file("loop");
  fs::create_directories(dir);
  const std::string loop = "for i in 1 2 3; do \"$CLI\" --trace " + dir.string() +
                           "/$i.log sweep 0 255 --dwell 20; done";
  Child shell;
  shell.shell = {"/bin/bash", "-c", loop};
  const pid_t child = start(shell);
  ASSERT_TRUE(eventually([&] { return line_count(dir / "1.log") >= 59; }));
  ::kill(-child, SIGINT);
  EXPECT_EQ(wait_for(child).signal, SIGINT) << "bash saw its job die of SIGINT and stopped";
  EXPECT_FALSE(fs::exists(dir / "2.log")) << "the loop did not go on";
}

// Waiting for a line of standard input, nothing is half done: a signal ends the program at once.
TEST_F(Cli, ASignalAtAnIdlePromptEndsTheProgramAtOnce) {
  const fs::path trace = file("prompt.log");
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  Child prompt = cli({"--trace", trace.string(), "-"});
  prompt.input = pipe_fds[0];
  const pid_t child = start(prompt);
  ::close(pipe_fds[0]);
  ASSERT_EQ(::write(pipe_fds[1], "write 5\n", 8), 8);
  ASSERT_TRUE(eventually([&] { return line_count(trace) == 59; })) << "the first line ran";
  ::kill(child, SIGINT);
  EXPECT_EQ(wait_for(child, 10s).signal, SIGINT) << "it did not wait for another line";
  ::close(pipe_fds[1]);
}

// A job started in the background has SIGINT ignored; Ctrl-C in its terminal must not stop it.
TEST_F(Cli, ASignalIgnoredAtStartStaysIgnored) {
  const fs::path trace = file("background.log");
  Child background = cli({"--trace", trace.string(), "sweep", "0", "10", "--dwell", "40"});
  background.ignored = {SIGINT};
  const pid_t child = start(background);
  ASSERT_TRUE(eventually([&] { return line_count(trace) >= 59; }));
  ::kill(child, SIGINT);
  EXPECT_EQ(wait_for(child).status, kOk);
  EXPECT_EQ(line_count(trace), 11u * 59) << "every code was written";
}

// A trace into a FIFO whose reader has stopped reading: a signal that comes while the write waits
// interrupts nothing. The run stops between frames, the reader gets whole frames once it reads
// on, and no "Interrupted system call" is told.
TEST_F(Cli, ASignalWhileTheTraceWaitsForItsFifoInterruptsNothing) {
  const fs::path fifo = file("bus.fifo"), err = file("err.txt");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  // 256 frames of some 600 bytes: more than a pipe holds.
  Child how = cli({"--trace", fifo.string(), "sweep", "0", "255"});
  how.err = err.string();
  const pid_t child = start(how);
  const fs::path wchan = "/proc/" + std::to_string(child) + "/wchan";
  ASSERT_TRUE(eventually([&] {
    return test::slurp(wchan).find("pipe_write") != std::string::npos;
  })) << "the trace's write waits for the reader";
  ::kill(child, SIGINT);
  ::fcntl(reader, F_SETFL, 0);
  std::string got;
  char buffer[4096];
  for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) got.append(buffer, n);
  ::close(reader);
  EXPECT_EQ(wait_for(child).signal, SIGINT);
  const auto records = std::count(got.begin(), got.end(), '\n');
  EXPECT_GT(records, 0);
  EXPECT_EQ(records % 59, 0) << "whole frames";
  EXPECT_LT(records, 256 * 59) << "it stopped";
  EXPECT_EQ(test::slurp(err), "") << "nothing to tell";
}

// Standard output, error or input closed at start: the trace never takes their place, and what
// cannot be written or read fails as it would on the closed descriptor.
TEST_F(Cli, ClosedStandardDescriptorsNeverBecomeTheTrace) {
  struct Case {
    std::vector<std::string> args;
    int closed;
    int status;
  };
  for (const auto& [args, closed, status] : std::vector<Case>{
           {{"read", "read"}, STDOUT_FILENO, kWriteFailed},
           {{"--port", "sim:absent", "write", "5", "--verify"}, STDERR_FILENO, kVerifyMismatch},
           {{"write", "5", "-"}, STDIN_FILENO, kUsage},
       }) {
    SCOPED_TRACE(closed);
    const fs::path trace = file("closed" + std::to_string(closed) + ".log");
    std::vector<std::string> with_trace{"--trace", trace.string()};
    with_trace.insert(with_trace.end(), args.begin(), args.end());
    Child how = cli(with_trace);
    how.closed = {closed};
    EXPECT_EQ(wait_for(start(how)).status, status);
    for (const std::string& line : lines(trace)) {
      ASSERT_THAT(line, ::testing::MatchesRegex("[WR] 37[89] [0-9A-F]+")) << "only accesses";
    }
  }
}

// A closed standard output: the frame finished, the trace complete, status 5, not SIGPIPE.
TEST_F(Cli, AReaderThatLeavesEndsTheRunWithStatus5AndTheTraceWhole) {
  const fs::path trace = file("piped.log");
  const std::string cli = VX3071_CLI;
  // 2 ms a phase: the reader has gone before the second read's line is printed.
  EXPECT_EQ(shell("VX3071_MIN_PHASE_US=2000 " + cli + " --port sim --trace " + trace.string() +
                  " read read read read | head -c1 >/dev/null; exit ${PIPESTATUS[0]}"),
            kWriteFailed);
  std::ifstream in(trace);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_GE(lines.size(), 48u) << "at least the first read, whole";
  EXPECT_EQ(lines.size() % 48, 0u) << "whole reads only";
}

// The manual page and --help must say the same: every command and option of the one is in the
// other, and so is every exit status.
TEST_F(Cli, TheManualPageAndHelpNameTheSameCommandsOptionsAndStatuses) {
  std::ifstream in(VX3071_MAN_PAGE);
  ASSERT_TRUE(in) << "no manual page at " << VX3071_MAN_PAGE;
  std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // As a reader sees it: roff's escaped hyphens and font changes gone.
  for (const char* roff : {"\\f(CW", "\\fB", "\\fR", "\\fI", "\\fP"}) {
    for (std::size_t at; (at = page.find(roff)) != std::string::npos;) page.erase(at, 3);
  }
  for (std::size_t at; (at = page.find("\\-")) != std::string::npos;) page.erase(at, 1);

  const std::string help = vx3071({"--help"}).out;
  std::istringstream lines(help);
  std::vector<std::string> names;  // the commands, then every --option
  bool commands = false;
  for (std::string line; std::getline(lines, line);) {
    if (line == "commands:") commands = true;
    if (line == "options:") commands = false;
    if (commands && line.rfind("  ", 0) == 0 && line[2] != ' ') {
      std::istringstream words(line);
      for (std::string word; words >> word && word != "|" && word.find_first_of("[A-Z") != 0;) {
        names.push_back(word);
        if (!(words >> word) || word != "|") break;
      }
    }
    for (std::size_t at = line.find("--"); at != std::string::npos; at = line.find("--", at + 2)) {
      const std::size_t end = line.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", at);
      names.push_back(line.substr(at, end - at));
    }
  }
  ASSERT_GT(names.size(), 12u);
  for (const std::string& name : names) {
    EXPECT_NE(page.find(name), std::string::npos) << name << " is in --help, not in the page";
  }
  for (const char* status : {".B 0\n", ".B 2\n", ".B 3\n", ".B 4\n", ".B 5\n"}) {
    EXPECT_NE(page.find(status), std::string::npos) << "exit status " << status;
  }
  for (const char* name : {"--port", "--trace", "--json", "--help", "--verify", "--dwell", "ports",
                           "sim:absent", "VX3071_MIN_PHASE_US", "ftdi"}) {
    EXPECT_NE(page.find(name), std::string::npos) << name;
    EXPECT_NE(help.find(name), std::string::npos) << name << " is in the page, not in --help";
  }
}

TEST_F(Cli, HelpListsEverything) {
  const Result r = vx3071({"--help"});
  EXPECT_EQ(r.status, kOk);
  EXPECT_EQ(vx3071({"-h"}).out, r.out) << "-h as --help";
  for (const char* word : {"write CODE", "--verify", "zero", "mid", "full", "frame BITS", "read",
                           "sweep FROM TO [STEP] [--dwell MS]", "--port", "--trace", "--json",
                           "0 success, 2 usage error", "3 port error", "4 verify mismatch",
                           "5 the trace file or standard output could not be written",
                           "SIGINT, SIGTERM and SIGHUP stop the run"}) {
    EXPECT_THAT(r.out, HasSubstr(word));
  }
}

// A bench meter by its VISA address, in the same run as the writes it measures: each reading
// fresh, with its unit; a meter that cannot be asked is a port failure (3), one that names nothing
// a usage error (2).
TEST(Meter, ReadingsFollowTheRunsWritesWithTheirUnits) {
  const sim::Potentiometer part{sim::AnalogOptions{}};
  const auto ohms = [&](int code) {
    char text[40];
    std::snprintf(text, sizeof text, "%.9g Ohm\n", part.resistance(code));
    return std::string(text);
  };
  const Result r =
      vx3071({"write", "77", "meter", "sim", "--count", "2", "write", "200", "meter", "sim"});
  EXPECT_EQ(r.status, kOk) << r.err;
  EXPECT_EQ(r.out, ohms(77) + ohms(77) + ohms(200));

  const Result json =
      vx3071({"--json", "meter", "sim", "--function", "voltage", "--range", "AUTO"});
  EXPECT_EQ(json.status, kOk) << json.err;
  EXPECT_THAT(json.out,
              StartsWith("{\"command\":\"meter\",\"resource\":\"sim\",\"identity\":"
                         "\"VX3071 bench,simulated meter,0,1.0\",\"readings\":[{\"value\":"));
  EXPECT_THAT(json.out, EndsWith(",\"unit\":\"V\"}]}\n"));

  struct Case {
    std::vector<std::string> args;
    int status;
    const char* error;
  };
  for (const auto& [args, status, error] : std::vector<Case>{
           {{"meter"}, kUsage, "meter needs a RESOURCE"},
           {{"meter", "GPIB0::22::INSTR"}, kUsage, "has no interface type this tool knows"},
           {{"meter", "sim", "--function", "current"},
            kUsage,
            "the function is resistance or voltage, not \"current\""},
           {{"meter", "sim", "--range", "-1"},
            kUsage,
            "the range is a finite number above 0, or AUTO, not \"-1\""},
           {{"meter", "sim", "--count", "0"}, kUsage, "N must be a whole number from 1"},
           {{"meter", "sim", "--range", "1000"}, kPortError, "read overload (9.9E37)"},
           {{"meter", "TCPIP::127.0.0.1::1::SOCKET"}, kPortError, "Connection refused"},
           // VXI-11 through liblxi, to a machine with no VXI-11 server: its real path, refused.
           {{"meter", "TCPIP::127.0.0.1::INSTR"},
            kPortError,
            "cannot reach the meter at "
            "TCPIP::127.0.0.1::INSTR by VXI-11"},
       }) {
    const Result failed = vx3071(args);
    EXPECT_EQ(failed.status, status) << args.back();
    EXPECT_THAT(failed.err, HasSubstr(error));
    EXPECT_EQ(failed.out, "") << "no reading the meter did not give";
  }
}

}  // namespace
}  // namespace vx::cli
