// The device layer as scripts use it: from several threads at once, closed from another thread,
// stopped between frames. Built with ThreadSanitizer too (script/test), and with AddressSanitizer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "session/device.h"
#include "sim/virtual_port.h"
#include "support/files.h"

namespace vx::session {
namespace {

using namespace std::chrono_literals;

// Writers, readers, sweepers and check on one device, then a close from another thread in the
// middle of it all: every call is whole (a read sees a setting some write made), none runs on a
// closed port, and every call after the close is refused.
TEST(Session, ThreadsShareADeviceAndACloseFromAnotherThreadStopsThemCleanly) {
  for (int round = 0; round < 20; ++round) {
    Device device({"sim", "", ""}, true);
    std::atomic<int> torn{0}, stopped{0};
    std::atomic<bool> started{false};
    const auto guarded = [&](auto&& work) {
      return [&, work] {
        started = true;
        try {
          for (;;) work();
        } catch (const Closed&) {
          ++stopped;
        }
      };
    };
    std::vector<std::thread> threads;
    threads.emplace_back(guarded([&] {
      device.write(17, false);
      device.write(200, true);
    }));
    threads.emplace_back(guarded([&] {
      const int value = device.read();
      if (value != 17 && value != 200 && value != 128 && value % 51 != 0) ++torn;
    }));
    threads.emplace_back(guarded([&] {
      const SweepPlan plan = plan_sweep(0, 255, 51, 1);
      for (int n = 0; n < plan.count; ++n) device.sweep_code(plan, n);
    }));
    threads.emplace_back(guarded([&] { device.check(false); }));
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + round));
    device.close();
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(stopped, 4) << "each thread told the device is closed";
    EXPECT_THROW(device.read(), Closed);
    EXPECT_TRUE(device.closed());
  }
}

// A stop asked for while a sweep dwells of a minute ends it at the next poll (every 20 ms), between
// frames; the bound is loose so that a busy machine cannot decide the test.
TEST(Session, AStopEndsADwellWithinAPollAndNeverInAFrame) {
  Device device({"sim", "", ""}, true);
  std::atomic<bool> stop{false};
  device.set_stop_check([&] { return stop.load(); });
  const SweepPlan plan = plan_sweep(0, 3, 1, 60'000);
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop = true;
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(device.sweep_code(plan, 0), Interrupted);
  const auto took = std::chrono::steady_clock::now() - started;
  stopper.join();
  EXPECT_LT(took, 5s) << "the dwell woke for the stop, not at its end";
  stop = false;
  EXPECT_EQ(device.read(), 0) << "the code was written whole before the dwell";
}

// A temporary trace file, removed at the end of the test.
class TraceFile {
 public:
  explicit TraceFile(const std::string& name)
      : path_(std::filesystem::temp_directory_path() /
              ("vx3071-session-" + std::to_string(::getpid()) + "-" + name)) {}
  ~TraceFile() { std::filesystem::remove(path_); }
  std::string path() const { return path_.string(); }
  std::size_t lines() const {
    const std::string text = std::filesystem::exists(path_) ? test::slurp(path_) : "";
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  }

 private:
  std::filesystem::path path_;
};

// The deadlock scripts met: one thread holds the device's lock and its stop check waits for a
// second lock (Python's GIL), which the other thread holds while it asks for the trace's error.
// The trace's error is given without waiting for the call, so both go on.
TEST(Session, TheTracesErrorNeverWaitsForACallInProgress) {
  Device device({"sim", "", ""}, true);
  std::mutex gil;
  std::atomic<bool> in_stop_check{false};
  device.set_stop_check([&] {
    in_stop_check = true;
    const std::lock_guard held(gil);  // as a stop check that took the GIL would
    return false;
  });
  std::unique_lock held(gil);
  std::thread sweeper([&] { device.sweep_code(plan_sweep(0, 0, 1, 200), 0); });
  while (!in_stop_check) std::this_thread::yield();
  // The sweeper holds the device's lock and waits for `gil`, which this thread holds.
  auto asked = std::async(std::launch::async, [&] { return device.take_trace_error(); });
  if (asked.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "take_trace_error waited for the call, which waits for this thread";
    std::fflush(nullptr);
    std::_Exit(1);  // a deadlock cannot be unwound
  }
  EXPECT_EQ(asked.get(), std::nullopt);
  held.unlock();
  sweeper.join();
}

// When the stop check asks for a decision, the device's lock is let go while it is made, so the
// decision may wait for what another thread holds while that thread waits for the device; the
// call then goes on where it stopped.
TEST(Session, ADecisionIsMadeWithTheDevicesLockReleased) {
  Device device({"sim", "", ""}, true);
  std::atomic<int> asked{0};
  device.set_stop_check([&] { return asked == 0; },
                        [&] {
                          ++asked;
                          // Another thread's call gets through while this one waits.
                          std::async(std::launch::async, [&] { device.write(77, false); }).get();
                          return false;
                        });
  const SweepPlan plan = plan_sweep(10, 10, 1, 0);
  EXPECT_EQ(device.sweep_code(plan, 0), 10) << "the call went on after the decision";
  EXPECT_EQ(asked, 1);
  device.set_stop_check({});
  EXPECT_EQ(device.read(), 10) << "the other thread's write came before the sweep's frame";

  device.set_stop_check([] { return true; }, [] { return true; });
  EXPECT_THROW(device.write(5, false), Interrupted) << "a decision to stop stops the call";
  device.set_stop_check({});
  EXPECT_EQ(device.read(), 10) << "before its frame";
}

// A close from another thread while a decision has let go of the lock waits for the call to end:
// the bus code of a thorough check, stopped after writing 0x55, still puts back the setting it
// found through a port that is still there.
TEST(Session, ACloseDuringADecisionWaitsForTheCallToEnd) {
  const auto part = std::make_shared<sim::Device>();
  const PortMaker shared_part = [&](const backends::Settings&) {
    return std::make_unique<port::PortAccess>(
        [&] { return std::make_unique<sim::VirtualPort>(part); });
  };
  Device device({"sim", "", ""}, true, shared_part);
  device.write(77, false);
  int looks = 0;
  std::thread closer;
  // The eighth look comes after 0x55 is written, before it is read back.
  device.set_stop_check([&] { return ++looks == 8; },
                        [&] {
                          closer = std::thread([&] { device.close(); });
                          std::this_thread::sleep_for(std::chrono::milliseconds(50));
                          return false;
                        });
  EXPECT_THROW(device.check(true), Closed);
  closer.join();
  EXPECT_TRUE(device.closed());
  EXPECT_EQ(part->setting(), 77) << "the setting found was put back before the close";
}

// A dwell looks for a stop every 20 ms, however long it is: judged by how often it looked in
// 300 ms, which a slow machine can only lower a little.
TEST(Session, ADwellLooksForAStopEvery20Milliseconds) {
  Device device({"sim", "", ""}, true);
  std::atomic<int> looks{0};
  device.set_stop_check([&] {
    ++looks;
    return false;
  });
  device.sweep_code(plan_sweep(0, 0, 1, 300), 0);
  EXPECT_GE(looks, 6) << "at 20 ms, 15 looks; at 100 ms, 3";
  EXPECT_LE(looks, 17);
}

// A script's meter reads while the device dwells, and a crash leaves the trace as far as it got:
// the frames are on disk after each call, and during a dwell.
TEST(Session, TheTraceIsOnDiskAfterEachCallAndDuringADwell) {
  const TraceFile trace("disk.log");
  Device device({"sim", trace.path(), ""}, true);
  device.write(5, false);
  EXPECT_EQ(trace.lines(), 59u);
  device.read();
  EXPECT_EQ(trace.lines(), 59u + 48);
  std::atomic<std::size_t> during{0};
  device.set_stop_check([&] {
    during = trace.lines();
    return false;
  });
  device.sweep_code(plan_sweep(9, 9, 1, 50), 0);
  EXPECT_EQ(during, 2 * 59u + 48) << "the sweep's frame was on disk while it dwelt";
}

// A stop at any frame of a thorough check ends it between frames with the setting it found put
// back, the patterns it wrote undone.
TEST(Session, ACheckStoppedAtAnyFrameLeavesTheSettingItFound) {
  for (int stop_at = 1; stop_at <= 14; ++stop_at) {
    SCOPED_TRACE(stop_at);
    Device device({"sim", "", ""}, true);
    device.write(77, false);
    int looks = 0;
    device.set_stop_check([&] { return ++looks == stop_at; });
    try {
      device.check(true);
      EXPECT_LT(looks, stop_at) << "it ran to its end only when the stop came after it";
    } catch (const Interrupted&) {
      EXPECT_EQ(looks, stop_at);
    }
    device.set_stop_check({});
    EXPECT_EQ(device.read(), 77);
  }
}

// A device used in a process forked from the one that opened it is refused at once, even while
// another thread of the parent holds it, and the child's close leaves the parent's trace alone.
TEST(Session, AForkedProcessIsRefusedAndNeverTouchesTheTrace) {
  const TraceFile trace("fork.log");
  Device device({"sim", trace.path(), ""}, true);
  device.write(5, false);
  std::atomic<bool> dwelling{false};
  device.set_stop_check([&] {
    dwelling = true;
    return false;
  });
  std::thread holder([&] { device.sweep_code(plan_sweep(9, 9, 1, 500), 0); });
  while (!dwelling) std::this_thread::yield();
  int answer[2];
  ASSERT_EQ(::pipe(answer), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    char verdict = 'n';  // no error
    try {
      device.read();
    } catch (const Closed& error) {
      const std::string expected = "this device was opened by process " +
                                   std::to_string(::getppid()) + "; open another here";
      verdict = error.what() == expected ? 'y' : 'w';
    }
    device.close();
    static_cast<void>(::write(answer[1], &verdict, 1));
    // Ended without exit's checks: a leak checker would count the parent's threads' memory.
    ::raise(SIGKILL);
  }
  ::close(answer[1]);
  pollfd ready{answer[0], POLLIN, 0};
  if (::poll(&ready, 1, 10'000) != 1) {
    ::kill(child, SIGKILL);
    ADD_FAILURE() << "the child's call waited for the lock a parent's thread held";
  }
  char verdict = 0;
  EXPECT_EQ(::read(answer[0], &verdict, 1), 1);
  EXPECT_EQ(verdict, 'y') << "n: the child's call went through; w: another message";
  ::close(answer[0]);
  ::waitpid(child, nullptr, 0);
  holder.join();
  device.set_stop_check({});
  device.read();
  device.close();
  EXPECT_EQ(trace.lines(), 2 * 59u + 48) << "the parent's records alone";
}

// A port that says on a pipe when it is let go, as a parallel port's PPRELEASE lets the claim go.
class ReleasedPort final : public port::Port {
 public:
  explicit ReleasedPort(int told) : told_(told) {}
  ~ReleasedPort() override {
    const char released = 'r';
    static_cast<void>(::write(told_, &released, 1));
  }
  ReleasedPort(const ReleasedPort&) = delete;
  ReleasedPort& operator=(const ReleasedPort&) = delete;
  void write16(std::int16_t address, std::int16_t value) override { sim_.write16(address, value); }
  std::int32_t read32(std::int16_t address) override { return sim_.read32(address); }

 private:
  sim::VirtualPort sim_;
  int told_;
};

// A forked child that ends normally, its objects destroyed on the way out (the device among
// them), lets go of neither the parent's port nor its trace: the port is released once, by the
// parent, and the trace holds the parent's records alone.
TEST(Session, AForkedChildThatEndsNormallyLeavesTheParentsPortAndTraceAlone) {
  const TraceFile trace("fork-exit.log");
  int released[2];
  ASSERT_EQ(::pipe(released), 0);
  const PortMaker releasing = [&](const backends::Settings& settings) {
    return std::make_unique<port::PortAccess>(
        [&] { return std::make_unique<ReleasedPort>(released[1]); }, settings.trace);
  };
  auto device =
      std::make_unique<Device>(backends::Settings{"sim", trace.path(), ""}, true, releasing);
  device->write(5, false);
  const pid_t child = ::fork();
  if (child == 0) {
    device.reset();
    std::exit(0);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  device->write(6, false);
  device.reset();
  ::close(released[1]);
  std::string told;
  char byte;
  while (::read(released[0], &byte, 1) == 1) told += byte;
  EXPECT_EQ(told, "r") << "released by the child too";
  ::close(released[0]);
  EXPECT_EQ(trace.lines(), 2 * 59u) << "the parent's records alone";
}

TEST(Session, WrongSettingsAreRefusedBeforeAnythingOpens) {
  int opened = 0;
  const PortMaker counting = [&](const backends::Settings& settings) {
    ++opened;
    return backends::make_port(settings);
  };
  for (const backends::Settings& settings : {
           backends::Settings{"", "", ""},  // given empty
           backends::Settings{"nonsense", "", ""},
           backends::Settings{"gpio:gpiochip0", "", ""},
           backends::Settings{"sim", "", "-1"},
           backends::Settings{"sim", "", "1000001"},
           backends::Settings{"sim", std::string("a.csv\0.vcd", 10), ""},
       }) {
    EXPECT_THROW(Device(settings, true, counting), UsageError) << settings.port;
  }
  EXPECT_EQ(opened, 0);
  EXPECT_NO_THROW(Device({"", "", ""}, false, counting)) << "not given: the simulated device";
}

}  // namespace
}  // namespace vx::session
