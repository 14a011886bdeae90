// The panel's behaviour without a window: what each action sends, shows and leaves in the cells.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bus/line_driver.h"
#include "frame/device_address.h"
#include "panel/panel_logic.h"
#include "panel/worker.h"
#include "sim/virtual_port.h"
#include "support/bus_checks.h"
#include "support/test_ports.h"

namespace vx::panel {
namespace {

using test::Access;
using test::frame_writes;
using test::write_of;

// Notes what the window would be told. A cell refresh writes txtBit(0) first and txtSDA_Write
// last, so those two bracket it and show how deep refreshes nest.
struct ViewLog final : PanelView {
  void show_cell(int index, int value) override { cells.emplace_back(index, value); }
  void show_slider(int value) override { sliders.push_back(value); }
  void show_text(TextBox box, int index, std::string_view) override {
    if (box == TextBox::bit && index == 0) max_depth = std::max(max_depth, ++depth);
    if (box == TextBox::sda_write) {
      --depth;
      ++refreshes;
    }
    ++text_writes;
  }
  void clear() { *this = ViewLog{}; }

  std::vector<std::pair<int, int>> cells;
  std::vector<int> sliders;
  int refreshes = 0, depth = 0, max_depth = 0, text_writes = 0;
};

struct Panel {
  test::PortScript port;
  // One device on the bus for every opening of the port, as with hardware.
  std::shared_ptr<sim::Device> bus_device = std::make_shared<sim::Device>();
  port::PortAccess access{
      test::recording(port, [this] { return std::make_unique<sim::VirtualPort>(bus_device); })};
  PanelLogic logic{access};
  ViewLog view;

  Panel() { logic.set_view(&view); }

  void forget() {
    port.accesses.clear();
    view.clear();
  }
  int device() const { return bus_device->setting(); }
  std::string cells(int high, int low) const {
    std::string text;
    for (int i = high; i >= low; --i) text += logic.cell(i) ? '1' : '0';
    return text;
  }
  std::string text(TextBox box, int index = 0) const { return logic.text(box, index); }
  bool texts_agree_with_cells() const {
    for (int i = 0; i < frame::kCellCount; ++i) {
      if (text(TextBox::bit, i) != std::to_string(logic.cell(i))) return false;
    }
    return true;
  }
};

std::string standard_frame(int code) {
  std::string data;
  for (int bit = 7; bit >= 0; --bit) data += (code >> bit & 1) ? '1' : '0';
  return "01011000"
         "0"
         "00000000"
         "0" +
         data + "0";
}

TEST(Panel, StartsWithEveryTextEmptyAndNothingSent) {
  Panel p;
  for (int i = 0; i < frame::kCellCount; ++i) EXPECT_EQ(p.text(TextBox::bit, i), "");
  for (auto box : {TextBox::display1, TextBox::sda_write, TextBox::sda_data}) {
    EXPECT_EQ(p.text(box), "");
  }
  EXPECT_FALSE(p.access.is_open());
}

TEST(Panel, EverySliderCodeGoesToTheDeviceAndComesBackThroughRead) {
  Panel p;
  std::vector<int> codes;
  for (int code = 1; code <= 255; ++code) codes.push_back(code);
  codes.push_back(0);  // the slider starts at 0: it sends when it comes back
  for (int code : codes) {
    p.forget();
    p.logic.user_sets_slider(code);
    ASSERT_EQ(p.port.accesses, frame_writes(standard_frame(code))) << code;
    ASSERT_EQ(p.device(), code);
    p.logic.cmdRead_Click();
    ASSERT_EQ(p.text(TextBox::sda_data), std::to_string(code));
    ASSERT_EQ(p.text(TextBox::display1), std::to_string(code));
    ASSERT_EQ(p.cells(35, 28), standard_frame(code).substr(18, 8)) << code;
    ASSERT_TRUE(p.texts_agree_with_cells());
  }
}

TEST(Panel, PresetsSetTheDeviceAndReadBackShowsIt) {
  struct Case {
    void (PanelLogic::*press)();
    int code;
  };
  Panel p;
  for (auto [press, code] : std::vector<Case>{{&PanelLogic::cmdFS_Click, 255},
                                              {&PanelLogic::cmdZS_Click, 0},
                                              {&PanelLogic::cmdMS_Click, 128},
                                              {&PanelLogic::cmdZS_Click, 0}}) {
    (p.logic.*press)();
    EXPECT_EQ(p.device(), code);
    EXPECT_EQ(p.logic.data_code(), code);
    EXPECT_EQ(p.logic.frame_word(), frame::kFixedAddressBits + 2 * code);
    EXPECT_EQ(p.logic.slider(), code);
    p.logic.cmdRead_Click();
    EXPECT_EQ(p.text(TextBox::sda_data), std::to_string(code));
  }
}

TEST(Panel, ReadBackSendsTheWriteFrameThenTheReadTransaction) {
  Panel p;
  p.logic.user_sets_slider(0x3C);
  for (int cell : {44, 40, 36, 27, 35}) p.logic.user_sets_cell(cell, cell == 27 ? 0 : 1);
  p.forget();
  p.logic.cmdRead_Click();

  const auto& a = p.port.accesses;
  ASSERT_EQ(a.size(), 59u + 48u);
  const std::vector<Access> write(a.begin(), a.begin() + 59);
  EXPECT_EQ(write, frame_writes(standard_frame(0x3C))) << "Read sends the write frame first";
  int reads = 0;
  for (std::size_t i = 59; i < a.size(); ++i) reads += a[i].kind == 'R';
  EXPECT_EQ(reads, 8);
  const std::vector<Access> last4(a.end() - 4, a.end());
  EXPECT_EQ(last4,
            (std::vector<Access>{write_of(0xF3), write_of(0xF0), write_of(0xF2), write_of(0xF3)}));
  EXPECT_EQ(p.cells(44, 36), "010110010");
  EXPECT_EQ(p.logic.cell(27), 1);
  EXPECT_EQ(p.cells(35, 28), "00111100");
  EXPECT_EQ(p.text(TextBox::sda_data), "60");
  EXPECT_EQ(p.text(TextBox::sda_write), "60") << "read-frame cells never change the data wrote";
}

TEST(Panel, ReadBackIgnoresEveryStatusBitButSda) {
  Panel p;
  p.logic.user_sets_slider(0xA7);
  for (auto filter : std::vector<std::function<std::int32_t(std::int32_t)>>{
           [](std::int32_t v) { return v | ~0x08; }, [](std::int32_t v) { return v & 0x08; },
           [](std::int32_t v) { return (v & 0x08) | 0x35; }}) {
    p.port.read_filter = filter;
    p.logic.cmdRead_Click();
    EXPECT_EQ(p.text(TextBox::sda_data), "167");
  }
}

TEST(Panel, AFrameToAnotherAddressLeavesTheDeviceAlone) {
  Panel p;
  p.logic.cmdFS_Click();
  p.logic.user_sets_cell(19, 1);  // address byte 0x59
  p.logic.user_sets_cell(1, 0);   // and a data byte of 254
  p.logic.cmdRun_Click();
  EXPECT_EQ(p.device(), 255);
  p.logic.user_sets_cell(19, 0);
  p.logic.user_sets_cell(26, 1);  // address byte 0xD8
  p.logic.cmdRun_Click();
  EXPECT_EQ(p.device(), 255);
  p.logic.user_sets_cell(26, 0);
  p.logic.cmdRead_Click();
  EXPECT_EQ(p.device(), 254) << "the standard address again: Read's write goes through";
  EXPECT_EQ(p.text(TextBox::sda_data), "254");
}

TEST(Panel, AnAcknowledgeCellSetByHandFallsBackAtOnceAndSendsNothing) {
  for (int ack : {0, 9, 18}) {
    Panel p;
    p.logic.user_sets_cell(3, 1);
    p.forget();
    p.logic.user_sets_cell(ack, 1);
    EXPECT_EQ(p.logic.cell(ack), 0);
    EXPECT_EQ(p.text(TextBox::bit, ack), "0");
    EXPECT_EQ(p.text(TextBox::sda_write), "4");
    EXPECT_EQ(p.view.cells, (std::vector<std::pair<int, int>>{{ack, 1}, {ack, 0}}));
    EXPECT_EQ(p.view.refreshes, 2);
    EXPECT_EQ(p.view.max_depth, 2) << "the forced clear refreshes inside the user's refresh";
    EXPECT_TRUE(p.port.accesses.empty());
  }
}

TEST(Panel, ACellSetByHandOnlyRefreshesUntilRun) {
  Panel p;
  p.logic.cmdMS_Click();
  p.forget();
  p.logic.user_sets_cell(1, 1);
  EXPECT_EQ(p.text(TextBox::sda_write), "129");
  EXPECT_EQ(p.text(TextBox::bit, 1), "1");
  EXPECT_EQ(p.logic.data_code(), 128);
  EXPECT_EQ(p.logic.frame_word(), frame::kFixedAddressBits + 256);
  EXPECT_TRUE(p.port.accesses.empty());

  p.logic.user_sets_cell(40, 1);  // a read-frame cell
  EXPECT_EQ(p.text(TextBox::sda_write), "129");
  EXPECT_EQ(p.text(TextBox::bit, 40), "1");

  p.logic.cmdRun_Click();
  EXPECT_EQ(p.port.accesses, frame_writes(standard_frame(129)));
  EXPECT_EQ(p.logic.data_code(), 129);
  EXPECT_EQ(p.device(), 129);
}

TEST(Panel, RunSendsTheCellsEveryTimeEvenUnchanged) {
  Panel p;
  p.logic.cmdRun_Click();
  p.logic.cmdRun_Click();
  const auto zero = frame_writes(std::string(27, '0'));
  std::vector<Access> twice = zero;
  twice.insert(twice.end(), zero.begin(), zero.end());
  EXPECT_EQ(p.port.accesses, twice);
  EXPECT_EQ(p.view.refreshes, 0) << "nothing changed, nothing refreshed";
}

TEST(Panel, SliderFromZeroToOne) {
  Panel p;
  p.logic.user_sets_slider(1);
  EXPECT_EQ(p.port.accesses, frame_writes(standard_frame(1)));
  EXPECT_EQ(p.logic.frame_word(), frame::kFixedAddressBits + 2);
  EXPECT_EQ(p.logic.cell(1), 1);
  EXPECT_EQ(p.text(TextBox::display1), "1");
  EXPECT_EQ(p.text(TextBox::sda_write), "1");
  EXPECT_EQ(p.view.sliders, std::vector<int>{1});
}

TEST(Panel, SliderRestoresTheStandardAddressBeforeSending) {
  Panel p;
  for (int cell : {26, 21, 17, 12}) p.logic.user_sets_cell(cell, 1);
  p.logic.user_sets_cell(25, 0);  // already 0: nothing happens
  p.forget();
  p.logic.user_sets_slider(9);
  EXPECT_EQ(p.cells(26, 10),
            "01011000"
            "0"
            "00000000");
  EXPECT_EQ(p.port.accesses, frame_writes(standard_frame(9)));
  EXPECT_EQ(p.device(), 9);
  // Each of the 7 address cells that moved, then the 2 data cells that rose, refreshed once.
  EXPECT_EQ(p.view.refreshes, 7 + 2);
}

TEST(Panel, SpreadingOverTheDataCellsRefreshesForEveryFallAndRise) {
  Panel p;
  p.logic.user_sets_slider(254);
  p.forget();
  p.logic.user_sets_slider(255);
  EXPECT_EQ(p.view.refreshes, 15);
  EXPECT_EQ(p.text(TextBox::sda_write), "255");
}

TEST(Panel, ZeroScaleTwiceSendsOneTransactionTheSecondTime) {
  Panel p;
  p.logic.cmdZS_Click();
  p.forget();
  p.logic.cmdZS_Click();
  EXPECT_EQ(p.port.accesses, frame_writes(standard_frame(0)));
  EXPECT_EQ(p.logic.frame_word(), frame::kFixedAddressBits);
  EXPECT_EQ(p.view.refreshes, 0);
}

TEST(Panel, MidScaleAfterFullScaleSendsTwoIdenticalTransactions) {
  Panel p;
  p.logic.cmdFS_Click();
  p.forget();
  p.logic.cmdMS_Click();
  const auto once = frame_writes(standard_frame(128));
  std::vector<Access> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(p.port.accesses, twice);
  EXPECT_EQ(p.text(TextBox::sda_write), "128");
  EXPECT_EQ(p.text(TextBox::display1), "128");
  // Cell 8 stays up through the preset's own steps, then falls and rises with the slider's spread.
  std::vector<std::pair<int, int>> cell8;
  for (auto change : p.view.cells) {
    if (change.first == 8) cell8.push_back(change);
  }
  EXPECT_EQ(cell8, (std::vector<std::pair<int, int>>{{8, 0}, {8, 1}}));
}

TEST(Panel, PresetsLeaveTheReadFrameAndAcknowledgeCellsAlone) {
  Panel p;
  p.logic.cmdRead_Click();
  const std::string read_frame = p.cells(44, 27);
  for (auto press :
       {&PanelLogic::cmdZS_Click, &PanelLogic::cmdMS_Click, &PanelLogic::cmdFS_Click}) {
    (p.logic.*press)();
    EXPECT_EQ(p.cells(44, 27), read_frame);
    EXPECT_EQ(p.logic.cell(0) + p.logic.cell(9) + p.logic.cell(18), 0);
  }
}

TEST(Panel, OutOfRangeUserValuesChangeNothing) {
  Panel p;
  EXPECT_THROW(p.logic.user_sets_slider(256), std::out_of_range);
  EXPECT_THROW(p.logic.user_sets_slider(-1), std::out_of_range);
  EXPECT_THROW(p.logic.user_sets_cell(45, 1), std::out_of_range);
  EXPECT_THROW(p.logic.user_sets_cell(3, 2), std::out_of_range);
  EXPECT_EQ(p.logic.slider(), 0);
  EXPECT_EQ(p.view.text_writes, 0);
  EXPECT_TRUE(p.port.accesses.empty());
}

// Each action that sends, failed at every one of its port accesses in turn.
struct Action {
  const char* name;
  std::function<void(PanelLogic&)> setup;
  std::function<void(PanelLogic&)> run;
  int accesses;
  friend void PrintTo(const Action& a, std::ostream* out) { *out << a.name; }
};

class PortFailure : public ::testing::TestWithParam<Action> {};

TEST_P(PortFailure, StopsAtTheFailingAccessAndTheNextActionClearsTheBusFirst) {
  const Action& action = GetParam();
  for (int k = 1; k <= action.accesses; ++k) {
    SCOPED_TRACE("failing at access " + std::to_string(k));
    Panel p;  // one device, kept across the reopen: it may still hold SDA from the broken frame
    action.setup(p.logic);
    p.forget();
    p.port.fail_at(k, "port unplugged");
    try {
      action.run(p.logic);
      FAIL() << "access " << k << " failed, yet the action went on to its end";
    } catch (const port::PortError& error) {
      EXPECT_STREQ(error.what(), "port unplugged");
    }
    ASSERT_EQ(p.port.accesses.size(), static_cast<std::size_t>(k - 1))
        << "no access after the failing one";
    EXPECT_FALSE(p.access.is_open()) << "a failed port is opened afresh by the next action";
    EXPECT_TRUE(p.texts_agree_with_cells());

    p.forget();
    p.logic.user_sets_slider(p.logic.slider() == 77 ? 78 : 77);
    const auto clear = test::bus_clear_length(p.port.accesses);
    ASSERT_TRUE(clear) << "the next action starts with a bus clear:\n"
                       << test::to_string(p.port.accesses);
    ASSERT_EQ(p.port.accesses.size(), *clear + test::kWriteAccesses)
        << "then exactly the slider's frame";
    EXPECT_EQ(p.device(), p.logic.slider());

    p.forget();
    p.logic.cmdRead_Click();
    EXPECT_EQ(p.port.accesses.size(), test::kWriteAccesses + test::kReadAccesses)
        << "no bus clear once the bus is sound";
    EXPECT_EQ(p.text(TextBox::sda_data), std::to_string(p.logic.slider()));
    EXPECT_EQ(p.device(), p.logic.slider());
  }
}

TEST(PortFailure, AFailedBusClearIsRepeatedByTheNextAction) {
  Panel p;
  p.port.fail_at(30, "port unplugged");
  EXPECT_THROW(p.logic.cmdFS_Click(), port::PortError);
  p.port.fail_at(2, "still unplugged");  // the clear's first sample
  EXPECT_THROW(p.logic.cmdZS_Click(), port::PortError);
  p.forget();
  p.logic.cmdZS_Click();
  const auto clear = test::bus_clear_length(p.port.accesses);
  ASSERT_TRUE(clear) << test::to_string(p.port.accesses);
  EXPECT_EQ(p.device(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryAccess, PortFailure,
    ::testing::Values(
        Action{"Run", [](PanelLogic& l) { l.user_sets_cell(3, 1); },
               [](PanelLogic& l) { l.cmdRun_Click(); }, 59},
        Action{"Read", [](PanelLogic& l) { l.user_sets_slider(200); },
               [](PanelLogic& l) { l.cmdRead_Click(); }, 107},
        // The longest clear: a device sending 0 holds SDA low through all eight data bits.
        Action{"ReadOfZero",
               [](PanelLogic& l) {
                 l.user_sets_slider(1);
                 l.user_sets_slider(0);
               },
               [](PanelLogic& l) { l.cmdRead_Click(); }, 107},
        Action{"Slider", [](PanelLogic&) {}, [](PanelLogic& l) { l.user_sets_slider(99); }, 59},
        Action{"ZeroScale", [](PanelLogic& l) { l.user_sets_slider(5); },
               [](PanelLogic& l) { l.cmdZS_Click(); }, 118},
        Action{"MidScale", [](PanelLogic&) {}, [](PanelLogic& l) { l.cmdMS_Click(); }, 118},
        Action{"FullScale", [](PanelLogic&) {}, [](PanelLogic& l) { l.cmdFS_Click(); }, 118}),
    [](const auto& info) { return std::string(info.param.name); });

// Nine clocks that do not free SDA: the action stops before its frame, says why, and the next
// action tries the clear again.
TEST(PortFailure, SdaStillLowAfterNineClocksIsReportedAndTheClearStaysDue) {
  Panel p;
  p.port.fail_at(30, "port unplugged");
  EXPECT_THROW(p.logic.cmdFS_Click(), port::PortError);
  p.port.read_filter = [](std::int32_t status) { return status & ~0x08; };  // a short on SDA
  p.forget();
  try {
    p.logic.cmdZS_Click();
    ADD_FAILURE() << "the action went on over a bus held low";
  } catch (const bus::SdaHeldLow& error) {
    EXPECT_THAT(error.what(), ::testing::HasSubstr("SDA is held low, also after nine clocks"));
  }
  ASSERT_EQ(p.port.accesses.size(), 1u + 10 + 9 * 2) << "F3, ten samples, nine clocks, no frame";
  p.port.read_filter = nullptr;
  p.forget();
  p.logic.cmdZS_Click();
  EXPECT_TRUE(test::bus_clear_length(p.port.accesses)) << "the clear is still due";
  EXPECT_EQ(p.device(), 0);
}

// A port that fails an access and then cannot be opened for a while: the clear still comes, once,
// when it opens again; and a port that never failed an access is never cleared.
TEST(PortFailure, TheClearSurvivesFailedOpeningsAndHappensOnce) {
  for (const bool access_failed : {true, false}) {
    SCOPED_TRACE(access_failed ? "after a failed access" : "never a failed access");
    test::PortScript script;
    auto device = std::make_shared<sim::Device>();
    int refusals = access_failed ? 0 : 2;
    port::PortAccess access(test::recording(script, [&]() -> std::unique_ptr<port::Port> {
      if (refusals > 0 && refusals--) throw port::PortError("unplugged");
      return std::make_unique<sim::VirtualPort>(device);
    }));
    PanelLogic logic(access);
    if (access_failed) {
      script.fail_at(30, "unplugged");
      EXPECT_THROW(logic.cmdFS_Click(), port::PortError);
      refusals = 2;
    }
    EXPECT_THROW(logic.cmdZS_Click(), port::PortError);
    EXPECT_THROW(logic.cmdZS_Click(), port::PortError);
    script.accesses.clear();
    logic.user_sets_slider(77);
    const auto clear = test::bus_clear_length(script.accesses);
    EXPECT_EQ(clear.has_value(), access_failed) << test::to_string(script.accesses);
    EXPECT_EQ(script.accesses.size(), clear.value_or(0) + test::kWriteAccesses);
    EXPECT_EQ(device->setting(), 77);
    script.accesses.clear();
    logic.user_sets_slider(78);
    EXPECT_EQ(script.accesses.size(), test::kWriteAccesses) << "cleared once, not again";
  }
}

TEST(PortFailure, AnUnopenablePortIsTriedAgainAtTheNextAction) {
  int attempts = 0;
  sim::VirtualPort sim;
  port::PortAccess access([&]() -> std::unique_ptr<port::Port> {
    if (++attempts == 1) throw port::PortError("no port yet");
    return test::borrow(sim)();
  });
  PanelLogic logic(access);
  EXPECT_THROW(logic.cmdFS_Click(), port::PortError);
  EXPECT_EQ(logic.slider(), 255) << "the slider moved before its send failed";
  logic.cmdRun_Click();
  EXPECT_EQ(attempts, 2);
  EXPECT_EQ(sim.device().setting(), 255);
}

// --- The worker that runs the events beside the window -------------------------------------------

// The logic on a paced simulated port, its events run by a worker, each end counted.
struct Worked {
  explicit Worked(std::chrono::microseconds phase)
      : access(
            test::recording(script, [this] { return std::make_unique<sim::VirtualPort>(device); }),
            "", phase) {
    logic.set_stop_check([this] { return worker.stopping(); });
  }
  test::PortScript script;
  std::shared_ptr<sim::Device> device = std::make_shared<sim::Device>();
  port::PortAccess access;
  PanelLogic logic{access};
  std::atomic<int> ended{0}, failed{0};
  Worker worker{{[this](bool did_fail, const std::string&) {
    failed += did_fail;
    ++ended;
  }}};
  void wait_for(int count) {
    while (ended < count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

// Actions posted from two threads at once run whole, one at a time, each in the order its thread
// posted it; the accesses are those of the same actions run one after another.
TEST(Worker, RunsEachActionWholeInTheOrderItWasPosted) {
  Worked w(std::chrono::microseconds(0));
  std::thread other([&] {
    for (int code = 1; code <= 20; ++code) {
      w.worker.post([&w, code] { w.logic.user_sets_slider(code); });
    }
  });
  for (int i = 0; i < 20; ++i) w.worker.post([&w] { w.logic.cmdRead_Click(); });
  other.join();
  w.wait_for(40);
  EXPECT_EQ(w.failed, 0);
  w.worker.stop();
  w.worker.join();
  EXPECT_EQ(w.logic.slider(), 20);
  EXPECT_EQ(w.device->setting(), 20);
  // Every frame whole: 59 accesses a write frame, 107 a Read.
  EXPECT_EQ(w.script.accesses.size(), 20u * 59 + 20u * 107);
}

// A stop during Full Scale's first frame ends it at the end of that frame: the second frame never
// starts, what was queued is dropped, and no end is told for the stopped action.
TEST(Worker, AStopEndsTheActionAtTheEndOfTheFrameInProgress) {
  Worked w(std::chrono::microseconds(2000));  // 59 accesses: some 118 ms a frame
  w.worker.post([&w] { w.logic.cmdFS_Click(); });
  w.worker.post([&w] { w.logic.cmdZS_Click(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  w.worker.stop();
  w.worker.post([&w] { w.logic.cmdMS_Click(); });  // too late: ignored
  w.worker.join();
  EXPECT_EQ(w.ended, 0);
  ASSERT_EQ(w.script.accesses.size(), 59u);
  EXPECT_EQ(w.script.accesses.back(), write_of(0xF3)) << "the lines released";
}

// A failure waits for resume before the next action runs, so nothing runs under its message.
TEST(Worker, AfterAFailureTheNextActionWaitsForResume) {
  Worked w(std::chrono::microseconds(0));
  w.script.fail_at(10, "failed");
  w.worker.post([&w] { w.logic.cmdRun_Click(); });
  w.worker.post([&w] { w.logic.user_sets_slider(7); });
  w.wait_for(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(w.ended, 1) << "the slider step waits";
  EXPECT_EQ(w.failed, 1);
  w.worker.resume();
  w.wait_for(2);
  EXPECT_EQ(w.device->setting(), 7);
}

}  // namespace
}  // namespace vx::panel
