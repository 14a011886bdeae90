// Random sequences of every kind of user action, checked after each one against a model of what
// the panel and the device must then show. Seeded: a failure names its seed, and
// VX3071_MODEL_SEED=N repeats that run.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <span>
#include <string>

#include "frame/device_address.h"
#include "panel/panel_logic.h"
#include "sim/virtual_port.h"
#include "support/bus_checks.h"
#include "support/test_ports.h"

namespace vx::panel {
namespace {

using test::Access;

constexpr int kActions = 10'000;

enum class Kind { cell, slider_step, slider_jump, zero, mid, full, run, read, count };

// Notes whether any cell refresh has run yet: until one does, the texts are still empty.
struct RefreshWatch final : PanelView {
  void show_cell(int, int) override {}
  void show_slider(int) override {}
  void show_text(TextBox box, int, std::string_view) override { refreshed |= box == TextBox::bit; }
  bool refreshed = false;
};

struct Rig {
  test::PortScript port;
  std::shared_ptr<sim::Device> bus_device = std::make_shared<sim::Device>();
  port::PortAccess access{
      test::recording(port, [this] { return std::make_unique<sim::VirtualPort>(bus_device); })};
  PanelLogic logic{access};
  RefreshWatch watch;

  Rig() { logic.set_view(&watch); }

  int device() const { return bus_device->setting(); }
  std::uint32_t cells_word() const {
    std::uint32_t word = 0;
    for (int i = 26; i >= 0; --i) word = word << 1 | static_cast<std::uint32_t>(logic.cell(i));
    return word;
  }
  int data_cells() const { return static_cast<int>(cells_word() >> 1 & 0xFF); }
};

std::uint64_t seed_for(bool from_clock) {
  if (const char* fixed = std::getenv("VX3071_MODEL_SEED"))
    return std::strtoull(fixed, nullptr, 10);
  if (!from_clock) return 20261210;
  return static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
}

void run_model(std::uint64_t seed) {
  std::cout << "model seed " << seed << " (repeat with VX3071_MODEL_SEED=" << seed << ")\n";
  std::mt19937_64 random(seed);
  auto pick = [&](int from, int to) {
    return std::uniform_int_distribution<int>(from, to)(random);
  };

  Rig rig;
  int model = sim::Device::kPowerUpSetting;  // what the device must hold
  for (int n = 0; n < kActions; ++n) {
    const auto kind = static_cast<Kind>(pick(0, static_cast<int>(Kind::count) - 1));
    SCOPED_TRACE("seed " + std::to_string(seed) + ", action " + std::to_string(n) + ", kind " +
                 std::to_string(static_cast<int>(kind)));
    const int slider_before = rig.logic.slider();
    rig.port.accesses.clear();

    int target = slider_before;
    switch (kind) {
      case Kind::cell: {
        const int cell = pick(0, 44);
        rig.logic.user_sets_cell(cell, pick(0, 1));
        break;
      }
      case Kind::slider_step:
        target = std::clamp(slider_before + (pick(0, 1) ? 1 : -1), 0, 255);
        rig.logic.user_sets_slider(target);
        break;
      case Kind::slider_jump:
        target = pick(0, 255);
        rig.logic.user_sets_slider(target);
        break;
      case Kind::zero:
        rig.logic.cmdZS_Click();
        break;
      case Kind::mid:
        rig.logic.cmdMS_Click();
        break;
      case Kind::full:
        rig.logic.cmdFS_Click();
        break;
      case Kind::run:
        rig.logic.cmdRun_Click();
        break;
      case Kind::read:
        rig.logic.cmdRead_Click();
        break;
      case Kind::count:
        break;
    }

    // Split what went to the port into transactions, each checked and fed to the model device.
    const std::span<const Access> sent(rig.port.accesses);
    std::size_t read_at = sent.size();
    if (kind == Kind::read) {
      ASSERT_EQ(sent.size(), test::kWriteAccesses + test::kReadAccesses);
      read_at = test::kWriteAccesses;
    }
    ASSERT_EQ(read_at % test::kWriteAccesses, 0u) << read_at << " write accesses";
    std::vector<std::uint32_t> words;
    for (std::size_t at = 0; at < read_at; at += test::kWriteAccesses) {
      const test::Decoded decoded = test::decode_write(sent.subspan(at, test::kWriteAccesses));
      ASSERT_TRUE(decoded.word) << decoded.fault;
      words.push_back(*decoded.word);
      if ((*decoded.word >> 19 & 0xFF) == frame::kWriteAddressByte)
        model = static_cast<int>(*decoded.word >> 1 & 0xFF);
    }

    // What each kind of action must have sent.
    const std::uint32_t standard = std::uint32_t{frame::kFixedAddressBits} +
                                   2u * static_cast<std::uint32_t>(rig.logic.slider());
    const bool slider_moved = rig.logic.slider() != slider_before;
    switch (kind) {
      case Kind::cell:
        ASSERT_TRUE(words.empty());
        break;
      case Kind::slider_step:
      case Kind::slider_jump:
        ASSERT_EQ(rig.logic.slider(), target);
        ASSERT_EQ(words, slider_moved ? std::vector<std::uint32_t>{standard}
                                      : std::vector<std::uint32_t>{});
        break;
      case Kind::zero:
      case Kind::mid:
      case Kind::full:
        ASSERT_EQ(words.size(), slider_moved ? 2u : 1u);
        for (std::uint32_t word : words) ASSERT_EQ(word, standard);
        break;
      case Kind::run:
      case Kind::read:
        ASSERT_EQ(words, std::vector<std::uint32_t>{rig.cells_word()});
        break;
      case Kind::count:
        break;
    }
    if (kind == Kind::read) {
      const std::string fault = test::check_read(sent.subspan(read_at));
      ASSERT_EQ(fault, "");
      ASSERT_EQ(rig.logic.text(TextBox::sda_data), std::to_string(model));
      for (int k = 0; k < 8; ++k) ASSERT_EQ(rig.logic.cell(28 + k), (model >> k) & 1);
    }

    // What must hold after every action.
    for (int ack : {18, 9, 0}) ASSERT_EQ(rig.logic.cell(ack), 0) << "acknowledge cell " << ack;
    for (int i = 0; i < 45; ++i) {
      const std::string& text = rig.logic.text(TextBox::bit, i);
      ASSERT_TRUE(text == std::to_string(rig.logic.cell(i)) ||
                  (text.empty() && !rig.watch.refreshed))
          << "txtBit(" << i << ") shows \"" << text << "\"";
    }
    const std::string& wrote = rig.logic.text(TextBox::sda_write);
    ASSERT_TRUE(wrote == std::to_string(rig.data_cells()) ||
                (wrote.empty() && !rig.watch.refreshed))
        << "txtSDA_Write shows \"" << wrote << "\"";
    ASSERT_EQ(rig.device(), model);
  }
}

TEST(Model, FixedSeed) {
  run_model(seed_for(false));
}
TEST(Model, SeedFromTheClock) {
  run_model(seed_for(true));
}

}  // namespace
}  // namespace vx::panel
