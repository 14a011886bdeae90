// The I2C and GPIO back ends through their real open and ioctl calls, against device nodes that
// umockdev emulates, with the simulated VX3071 answering behind them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/gpio.h>
#include <linux/i2c-dev.h>

#include <functional>
#include <memory>
#include <string>

#include "backends/backends.h"
#include "bus/read_back.h"
#include "bus/write_transaction.h"
#include "frame/code_conversions.h"
#include "panel/panel_logic.h"
#include "port/i2c.h"
#include "support/bus_checks.h"
#include "support/emulated_hardware.h"

namespace vx {
namespace {

using ::testing::HasSubstr;

// A panel on the port that `choice` names, as VX3071_PORT would name it.
struct PanelOn {
  explicit PanelOn(const std::string& choice, const std::string& min_phase_us = "0")
      : access(backends::make_port({choice, "", min_phase_us})), logic(*access) {}
  std::unique_ptr<port::PortAccess> access;
  panel::PanelLogic logic;
};

[[maybe_unused]] std::string port_error(const std::function<void()>& action) {
  try {
    action();
  } catch (const port::PortError& error) {
    return error.what();
  }
  return "(no error)";
}

class I2c : public ::testing::Test {
 protected:
  test::EmulatedHardware hardware;
  test::I2cAdapterModel adapter;
};

// Every code through the slider, each with a Read that shows it: one transfer per frame.
void round_trip_every_code(PanelOn& p, const std::function<int()>& transfers,
                           const std::function<int()>& setting, int per_write, int per_read) {
  for (int step = 1; step <= 256; ++step) {
    const int code = step % 256;  // the slider starts at 0: 1..255, then 0
    const int before = transfers();
    p.logic.user_sets_slider(code);
    ASSERT_TRUE(p.access->is_open()) << "opened before any ioctl is looked at";
    ASSERT_EQ(transfers() - before, per_write) << "code " << code;
    ASSERT_EQ(setting(), code);
    p.logic.cmdRead_Click();
    ASSERT_EQ(transfers() - before, per_write * 2 + per_read) << "a Read: the frame, then the read";
    ASSERT_EQ(p.logic.text(panel::TextBox::sda_data), std::to_string(code));
  }
}

TEST_F(I2c, TheSliderRoundTripsEveryCodeWithOneTransferPerFrame) {
  hardware.add_i2c_adapter(3, "CP2112 SMBus Bridge", adapter);
  PanelOn p("i2c:3");
  round_trip_every_code(
      p, [&] { return adapter.log.count(I2C_RDWR); }, [&] { return adapter.device->setting(); },
      1, 1);
}

}  // namespace
}  // namespace vx

int main(int argc, char** argv) {
  vx::test::run_under_umockdev(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
