// The trace file: what it records, when it is written, and that logic-analyser tools read it.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "panel/panel_logic.h"
#include "sim/virtual_port.h"
#include "support/files.h"
#include "support/test_ports.h"

namespace vx::port {
namespace {

namespace fs = std::filesystem;

using test::slurp;

class Trace : public ::testing::Test {
 protected:
  fs::path file(const std::string& name) {
    dir_ = fs::temp_directory_path() / ("vx3071-trace-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    return dir_ / name;
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  fs::path dir_;
};

struct TracedPanel {
  explicit TracedPanel(const fs::path& trace)
      : access(test::recording(script, [] { return std::make_unique<sim::VirtualPort>(); }),
               trace.string()),
        logic(access) {}
  test::PortScript script;
  PortAccess access;
  panel::PanelLogic logic;
};

TEST_F(Trace, TextLogIsEveryAccessMadeAndIsCompleteWhenThePanelWaits) {
  const fs::path path = file("session.log");
  { std::ofstream(path) << "left from an earlier run\n"; }
  TracedPanel p(path);
  p.logic.user_sets_cell(30, 1);
  EXPECT_EQ(slurp(path), "left from an earlier run\n") << "no port access yet, nothing written";

  p.logic.cmdFS_Click();
  EXPECT_EQ(slurp(path), test::to_string(p.script.accesses));
  p.logic.cmdRead_Click();
  const std::string log = slurp(path);
  EXPECT_EQ(log, test::to_string(p.script.accesses));
  EXPECT_THAT(log, ::testing::StartsWith("W 378 F3\nW 378 F2\nW 378 F0\n"));
  EXPECT_THAT(log, ::testing::HasSubstr("W 378 F1\nR 379 7F\nW 378 F3\n"));
}

// A trace that cannot be started is told once; the port works as without a trace.
TEST_F(Trace, AFileThatCannotBeCreatedIsToldOnceAndThePortWorksOn) {
  const fs::path fifo = file("unread.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    fs::path path;
    const char* why;
  };
  for (const auto& [path, why] :
       {Case{file("no-such-folder") / "x.log", "No such file"}, Case{file(""), "Is a directory"},
        Case{fifo, "no program is reading the FIFO"}}) {
    SCOPED_TRACE(path.string());
    sim::VirtualPort sim;
    PortAccess access(test::borrow(sim), path.string());
    access.OutportW(0x378, 0xF3);
    access.OutportW(0x378, 0xF2);
    EXPECT_FALSE(sim.device().sda()) << "the accesses went through";
    const auto error = access.take_trace_error();
    ASSERT_TRUE(error);
    EXPECT_THAT(*error, ::testing::HasSubstr(path.string()));
    EXPECT_THAT(*error, ::testing::HasSubstr(why));
    EXPECT_THAT(*error, ::testing::Not(::testing::HasSubstr("--trace")));
    access.flush();
    access.close_trace();
    EXPECT_EQ(access.take_trace_error(), std::nullopt) << "told once";
  }
}

// Read while it is written: a FIFO with a reader takes the trace, and so does /dev/null.
TEST_F(Trace, GoesIntoAFifoThatIsReadAndIntoDevNull) {
  const fs::path fifo = file("live.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  for (const fs::path& path : {fifo, fs::path("/dev/null")}) {
    sim::VirtualPort sim;
    PortAccess access(test::borrow(sim), path.string());
    access.OutportW(0x378, 0xF3);
    access.close_trace();
    EXPECT_EQ(access.take_trace_error(), std::nullopt) << path;
  }
  char text[32] = {};
  EXPECT_EQ(::read(reader, text, sizeof text - 1), 9);
  EXPECT_STREQ(text, "W 378 F3\n");
  ::close(reader);
}

// A reader slower than the writer loses nothing: once open, the FIFO blocks the writer as any pipe
// does, so every record arrives, in order, after the reader's pauses.
TEST_F(Trace, AFifoWithASlowReaderGetsEveryRecord) {
  const fs::path fifo = file("slow.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  constexpr int kRecords = 30'000;  // 270 KB: several times what a pipe holds
  std::string got;
  sim::VirtualPort sim;
  PortAccess access(test::borrow(sim), fifo.string());
  access.OutportW(0x378, 0xF1);  // opens the trace: from here on the reader never sees an end
  std::thread slow([&] {
    ::fcntl(reader, F_SETFL, ::fcntl(reader, F_GETFL) & ~O_NONBLOCK);
    char buffer[4096];
    for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) {
      got.append(buffer, static_cast<std::size_t>(n));
      std::this_thread::sleep_for(std::chrono::milliseconds(15));  // far slower than the writer
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (int i = 1; i < kRecords; ++i) access.OutportW(0x378, i % 2 ? 0xF3 : 0xF1);
  access.close_trace();
  EXPECT_EQ(access.take_trace_error(), std::nullopt);
  slow.join();
  ::close(reader);
  ASSERT_EQ(got.size(), kRecords * std::string("W 378 F3\n").size());
  EXPECT_EQ(got.substr(got.size() - 18), "W 378 F1\nW 378 F3\n");
}

// A signal whose handler runs while the trace waits for a full FIFO interrupts the write before
// it wrote anything (EINTR, the handler installed without SA_RESTART): the write is made again,
// and nothing is told.
TEST_F(Trace, AWriteToAFullFifoInterruptedByASignalIsMadeAgain) {
  const fs::path fifo = file("full.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  const int filler = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ASSERT_GE(filler, 0);
  std::size_t filled = 0;
  const std::string block(4096, 'x');
  for (ssize_t n; (n = ::write(filler, block.data(), block.size())) > 0;) filled += n;
  ::close(filler);
  struct sigaction action {
  }, old{};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGUSR1, &action, &old);  // no SA_RESTART
  const auto trace = TraceRecorder::create(fifo.string());
  trace->record_write(0x378, 0xF3, std::nullopt);
  std::atomic<pid_t> writer{0};
  std::atomic<bool> flushed{false};
  std::thread flushing([&] {
    writer = static_cast<pid_t>(::gettid());
    trace->flush();  // the pipe is full: the write waits, nothing written
    flushed = true;
  });
  while (writer == 0) std::this_thread::yield();
  const fs::path wchan = "/proc/self/task/" + std::to_string(writer) + "/wchan";
  const auto due = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (slurp(wchan).find("pipe_write") == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), due) << "the flush never waited for the reader";
    std::this_thread::yield();
  }
  ::pthread_kill(flushing.native_handle(), SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let a failed write fail
  std::string got;
  char buffer[4096];
  for (;;) {
    const bool done = flushed;  // before the read: all it wrote is in the pipe by then
    const ssize_t n = ::read(reader, buffer, sizeof buffer);
    if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    if (n <= 0 && done) break;
    if (n <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  flushing.join();
  ::sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(trace->take_error(), std::nullopt);
  ASSERT_GE(got.size(), filled);
  EXPECT_EQ(got.substr(filled), "W 378 F3\n");
  ::close(reader);
}

// A FIFO whose reader goes away stops the trace, not the program.
TEST_F(Trace, AFifoWhoseReaderLeavesEndsTheTraceAndNotTheProgram) {
  const fs::path fifo = file("left.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  sim::VirtualPort sim;
  PortAccess access(test::borrow(sim), fifo.string());
  access.OutportW(0x378, 0xF3);
  ::close(reader);
  for (int i = 0; i < 10; ++i) {
    access.OutportW(0x378, 0xF2);
    access.flush();
  }
  const auto error = access.take_trace_error();
  ASSERT_TRUE(error);
  EXPECT_THAT(*error, ::testing::HasSubstr("Broken pipe"));
}

// A second writer is refused before it touches the file: the first one's records stay whole,
// never emptied by the program that then gives up.
TEST_F(Trace, ARefusedSecondWriterLeavesTheFirstOnesRecordsWhole) {
  for (const char* name : {"first.log", "first.vcd"}) {
    SCOPED_TRACE(name);
    const fs::path path = file(name);
    const auto first = TraceRecorder::create(path.string());
    first->record_write(0x378, 0xF1, std::nullopt);
    first->record_write(0x378, 0xF3, std::nullopt);
    first->flush();
    const std::string before = slurp(path);
    ASSERT_FALSE(before.empty());
    EXPECT_THROW(TraceRecorder::create(path.string()), TraceError);
    EXPECT_EQ(slurp(path), before);
    first->record_write(0x378, 0xF2, std::nullopt);
    first->close();
    EXPECT_EQ(slurp(path).find('\0'), std::string::npos) << "no hole where records were";
    EXPECT_EQ(slurp(path).rfind(before, 0), 0u) << "the first records, then the next";
  }
}

TEST_F(Trace, IsNotTouchedByARunThatNeverReachesThePort) {
  const fs::path path = file("kept.log");
  { std::ofstream(path) << "an earlier run\n"; }
  {
    PortAccess access([]() -> std::unique_ptr<Port> { throw PortError("no such port"); },
                      path.string());
    EXPECT_THROW(access.OutportW(0x378, 0xF3), PortError);
    access.close_trace();
  }
  EXPECT_EQ(slurp(path), "an earlier run\n");
}

TEST_F(Trace, AFullDiskIsToldOnceNamingTheFileAndThePanelGoesOn) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "this system has no /dev/full";
  TracedPanel p("/dev/full");
  try {
    p.logic.cmdFS_Click();
    FAIL() << "a trace that could not be written went unreported";
  } catch (const TraceError& error) {
    EXPECT_THAT(error.what(), ::testing::HasSubstr("/dev/full"));
    EXPECT_THAT(error.what(), ::testing::HasSubstr("No space left on device"));
  }
  EXPECT_EQ(p.script.accesses.size(), 59u + 59u) << "the event did all its work first";
  EXPECT_NO_THROW(p.logic.cmdRead_Click()) << "told once";
  EXPECT_EQ(p.logic.text(panel::TextBox::sda_data), "255");
  p.access.close_trace();
  EXPECT_EQ(p.access.take_trace_error(), std::nullopt);
}

TEST_F(Trace, ATraceErrorAfterAFailedEventWaitsForTheNextEvent) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "this system has no /dev/full";
  TracedPanel p("/dev/full");
  p.script.fail_at(70, "port unplugged");
  EXPECT_THROW(
      {
        try {
          p.logic.cmdFS_Click();
        } catch (const TraceError&) {
          ADD_FAILURE() << "the port's failure is the one to tell first";
        }
      },
      PortError);
  EXPECT_THROW(p.logic.cmdRun_Click(), TraceError);
}

TEST_F(Trace, SuffixVcdInAnyCaseGivesAValueChangeDump) {
  for (const char* name : {"a.vcd", "b.VCD", "c.Vcd"}) {
    const fs::path path = file(name);
    TracedPanel p(path);
    p.logic.cmdMS_Click();
    EXPECT_THAT(slurp(path), ::testing::StartsWith("$comment")) << name;
  }
}

TEST_F(Trace, VcdFromARealPortShowsTheDriveAndWhatStatusReadsSaw) {
  // Like real hardware, this back end cannot tell the bus level: only status reads show it.
  class Blind final : public Port {
   public:
    void write16(std::int16_t, std::int16_t) override {}
    std::int32_t read32(std::int16_t) override { return 0x77; }  // SDA held low by the device
  };
  const fs::path path = file("real.vcd");
  PortAccess access([] { return std::make_unique<Blind>(); }, path.string());
  access.OutportW(0x378, 0xF3);  // #1: nothing changes
  access.OutportW(0x378, 0xF2);  // #2: SDA falls
  access.OutportW(0x378, 0xF1);  // #3: SCL falls, SDA released
  access.InportW(0x379);         // #4: the read shows SDA low
  access.flush();
  const std::string vcd = slurp(path);
  EXPECT_THAT(vcd, ::testing::HasSubstr("$timescale 1 us $end"));
  const std::string changes = vcd.substr(vcd.find("#0\n"));
  EXPECT_EQ(changes,
            "#0\n$dumpvars\n1!\n1\"\n1#\n$end\n"
            "#2\n0\"\n0#\n"
            "#3\n0!\n1\"\n1#\n"
            "#4\n0\"\n"
            "#5\n");
}

using test::have_sigrok;

TEST_F(Trace, VcdOfASliderSendDecodesToTheFrame) {
  if (!have_sigrok()) GTEST_SKIP() << "sigrok-cli is not installed (script/bootstrap installs it)";
  const fs::path path = file("slider.vcd");
  TracedPanel p(path);
  p.logic.user_sets_slider(0xA7);
  EXPECT_EQ(test::sigrok_i2c(path),
            (std::vector<std::string>{"Start", "Address write: 2C", "ACK", "Data write: 00", "ACK",
                                      "Data write: A7", "ACK", "Stop"}));
}

TEST_F(Trace, VcdOfAReadBackDecodesToBothTransactions) {
  if (!have_sigrok()) GTEST_SKIP() << "sigrok-cli is not installed (script/bootstrap installs it)";
  const fs::path path = file("read.vcd");
  TracedPanel p(path);
  p.logic.user_sets_slider(0x3C);
  p.logic.cmdRead_Click();
  const std::vector<std::string> frame = {"Start", "Address write: 2C", "ACK", "Data write: 00",
                                          "ACK",   "Data write: 3C",    "ACK", "Stop"};
  std::vector<std::string> expected = frame;
  expected.insert(expected.end(), frame.begin(), frame.end());
  for (const char* line : {"Start", "Address read: 2C", "ACK", "Data read: 3C", "ACK", "Stop"}) {
    expected.push_back(line);
  }
  EXPECT_EQ(test::sigrok_i2c(path), expected);
}

}  // namespace
}  // namespace vx::port
