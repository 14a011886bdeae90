// Spacing the port accesses for slow cabling: later, never different.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "backends/backends.h"
#include "bus/read_back.h"
#include "bus/write_transaction.h"
#include "frame/code_conversions.h"
#include "sim/virtual_port.h"
#include "support/test_ports.h"

namespace vx::port {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

// The simulated port, noting when each access reached it.
class TimedPort final : public Port {
 public:
  void write16(std::int16_t address, std::int16_t value) override {
    times.push_back(Clock::now());
    sim.write16(address, value);
  }
  std::int32_t read32(std::int16_t address) override {
    times.push_back(Clock::now());
    return sim.read32(address);
  }
  sim::VirtualPort sim;
  std::vector<Clock::time_point> times;
};

// A read-back's bus work: the write frame, then the read transaction.
void read_back(PortAccess& access) {
  bus::LineDriver driver(access);
  bus::Read_Write_Bits_to_Parallel_Port(driver, frame::fixed_address_frame_word(0x5A));
  EXPECT_EQ(bus::read_transaction(driver, bus::standard_read_frame()), 0x5A);
}

TEST(MinPhase, SpacesEveryAccessAtLeastThatFarApart) {
  TimedPort port;
  PortAccess access(test::borrow(port), "", microseconds(50));
  read_back(access);
  ASSERT_EQ(port.times.size(), 59u + 48u);
  auto shortest = Clock::duration::max();
  for (std::size_t i = 1; i < port.times.size(); ++i) {
    shortest = std::min(shortest, port.times[i] - port.times[i - 1]);
  }
  EXPECT_GE(shortest, microseconds(50));
  std::cout << "shortest gap between accesses: "
            << std::chrono::duration_cast<std::chrono::nanoseconds>(shortest).count() << " ns\n";
}

TEST(MinPhase, LeavesTheAccessSequenceAsItIs) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("vx3071-phase-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::string traces[2];
  const char* phases[2] = {"", "50"};
  for (int i = 0; i < 2; ++i) {
    const fs::path trace = dir / ("run" + std::to_string(i) + ".log");
    {
      auto access = backends::make_port({"sim", trace.string(), phases[i]});
      read_back(*access);
      access->flush();
    }
    std::ifstream in(trace);
    std::stringstream text;
    text << in.rdbuf();
    traces[i] = text.str();
  }
  fs::remove_all(dir);
  EXPECT_EQ(std::count(traces[0].begin(), traces[0].end(), '\n'), 59 + 48);
  EXPECT_EQ(traces[1], traces[0]);
}

TEST(MinPhase, LongPhasesSleepInsteadOfSpinning) {
  TimedPort port;
  constexpr auto kPhase = std::chrono::milliseconds(50);
  PortAccess access(test::borrow(port), "", kPhase);
  const std::clock_t cpu_start = std::clock();
  const auto start = Clock::now();
  for (int i = 0; i < 8; ++i) access.OutportW(0x378, i % 2 ? 0xF1 : 0xF3);
  const auto wall = Clock::now() - start;
  const double cpu_seconds = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  for (std::size_t i = 1; i < port.times.size(); ++i) {
    EXPECT_GE(port.times[i] - port.times[i - 1], kPhase) << "gap " << i;
  }
  const double wall_seconds = std::chrono::duration<double>(wall).count();
  EXPECT_LT(cpu_seconds, 0.05 * wall_seconds)
      << "CPU " << cpu_seconds << " s over " << wall_seconds << " s of pacing";
}

TEST(MinPhase, ZeroAddsNoWait) {
  TimedPort port;
  PortAccess access(test::borrow(port));
  const auto start = Clock::now();
  for (int i = 0; i < 1000; ++i) access.OutportW(0x378, 0xF3);
  // Half the time 1000 waits of 50 us would take, with room for a slow (instrumented) run.
  EXPECT_LT(Clock::now() - start, microseconds(25'000));
}

}  // namespace
}  // namespace vx::port
