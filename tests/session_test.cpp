// The device layer as scripts use it: from several threads at once, closed from another thread,
// stopped between frames. Built with ThreadSanitizer too (script/test), and with AddressSanitizer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "session/device.h"

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
       }) {
    EXPECT_THROW(Device(settings, true, counting), UsageError) << settings.port;
  }
  EXPECT_EQ(opened, 0);
  EXPECT_NO_THROW(Device({"", "", ""}, false, counting)) << "not given: the simulated device";
}

}  // namespace
}  // namespace vx::session
