// The bus monitor's decoder, checked against an independent one: sigrok's I2C decoder run over
// the VCD trace of the same accesses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bus/address_probe.h"
#include "bus/line_driver.h"
#include "decode/decoder.h"
#include "panel/panel_logic.h"
#include "sim/virtual_port.h"
#include "support/files.h"

namespace vx::decode {
namespace {

namespace fs = std::filesystem;

// Keeps every access as the monitor sees it.
struct Collector final : port::AccessObserver {
  void on_write(std::int16_t, std::int16_t value, std::optional<bool> bus_sda) override {
    accesses.push_back({true, static_cast<std::uint16_t>(value), bus_sda});
  }
  void on_read(std::int16_t, std::int32_t value, std::optional<bool> bus_sda) override {
    accesses.push_back({false, static_cast<std::uint32_t>(value), bus_sda});
  }
  void on_failure(const std::string&) override {}
  std::vector<Access> accesses;
};

// Line codes through the simulated device, with a VCD trace of them.
struct Rig {
  explicit Rig(const fs::path& vcd)
      : access([device = device] { return std::make_unique<sim::VirtualPort>(device); },
               vcd.string()) {
    access.set_observer(&seen);
  }
  void codes(const std::vector<int>& line_codes) {
    for (int code : line_codes) driver.Write_Line_Code(static_cast<std::int16_t>(code));
  }
  std::shared_ptr<sim::Device> device = std::make_shared<sim::Device>();
  Collector seen;
  port::PortAccess access;
  bus::LineDriver driver{access};
};

// An annotation as sigrok's I2C decoder words it: "Start", "Address write: 2C", "ACK".
std::string sigrok_words(const Annotation& a) {
  switch (a.kind) {
    case Kind::start:
      return "Start";
    case Kind::repeat_start:
      return "Start repeat";
    case Kind::stop:
      return "Stop";
    case Kind::address_read:
      return "Address read: " + hex_byte(a.value);
    case Kind::address_write:
      return "Address write: " + hex_byte(a.value);
    case Kind::data_read:
      return "Data read: " + hex_byte(a.value);
    case Kind::data_write:
      return "Data write: " + hex_byte(a.value);
    case Kind::ack:
      return "ACK";
    case Kind::nack:
      return "NACK";
    case Kind::broken:
      break;  // sigrok forgets such bits
  }
  return "";
}

std::vector<std::string> ours(const std::vector<Access>& accesses) {
  std::vector<std::string> lines;
  for (const Annotation& a : decode(lines_of(accesses))) {
    if (a.kind != Kind::broken) lines.push_back(sigrok_words(a));
  }
  return lines;
}

class Decoder : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::have_sigrok()) {
      GTEST_SKIP() << "sigrok-cli is not installed (script/bootstrap installs it)";
    }
    vcd_ = fs::temp_directory_path() / ("vx3071-decode-" + std::to_string(::getpid()) + ".vcd");
  }
  void TearDown() override { fs::remove(vcd_); }
  fs::path vcd_;
};

// Line codes for the pieces of a frame, from any state of the lines.
std::vector<int> start() {
  return {0xF1, 0xF3, 0xF2};
}
std::vector<int> stop() {
  return {0xF0, 0xF2, 0xF3};
}
std::vector<int> bits(unsigned value, int count) {
  std::vector<int> codes;
  for (int i = count - 1; i >= 0; --i) {
    const bool one = (value >> i & 1) != 0;
    codes.push_back(one ? 0xF1 : 0xF0);
    codes.push_back(one ? 0xF3 : 0xF2);
  }
  return codes;
}
void append(std::vector<int>& to, const std::vector<int>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

TEST_F(Decoder, ThePanelsFramesDecodeAsSigrokDecodesThem) {
  std::vector<Access> accesses;
  {
    Rig rig(vcd_);
    panel::PanelLogic logic(rig.access);
    logic.cmdMS_Click();
    logic.user_sets_slider(0xA7);
    logic.cmdRead_Click();
    rig.access.close_trace();
    accesses = rig.seen.accesses;
  }
  const std::vector<std::string> decoded = ours(accesses);
  EXPECT_EQ(decoded, test::sigrok_i2c(vcd_));
  EXPECT_THAT(decoded, ::testing::ElementsAreArray(
                           std::vector<std::string>{"Start", "Address write: 2C",
                                                    "ACK",   "Data write: 00",
                                                    "ACK",   "Data write: 80",
                                                    "ACK",   "Stop",  // Mid Scale's slider send
                                                    "Start", "Address write: 2C",
                                                    "ACK",   "Data write: 00",
                                                    "ACK",   "Data write: 80",
                                                    "ACK",   "Stop",  // and its Run
                                                    "Start", "Address write: 2C",
                                                    "ACK",   "Data write: 00",
                                                    "ACK",   "Data write: A7",
                                                    "ACK",   "Stop",  // the slider
                                                    "Start", "Address write: 2C",
                                                    "ACK",   "Data write: 00",
                                                    "ACK",   "Data write: A7",
                                                    "ACK",   "Stop",  // Read: the frame,
                                                    "Start", "Address read: 2C",
                                                    "ACK",   "Data read: A7",
                                                    "ACK",   "Stop"}));  // then the read
}

TEST_F(Decoder, MalformedAndRandomFramesDecodeAsSigrokDecodesThem) {
  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> byte(0, 255), kind(0, 5), count(0, 3), partial(1, 7),
      inside(0, 5);
  std::vector<int> codes;
  for (int frame = 0; frame < 300; ++frame) {
    append(codes, start());
    // sigrok looks for neither a START nor a STOP inside an address byte or an acknowledge slot.
    switch (inside(random)) {
      case 0:
        append(codes, bits(static_cast<unsigned>(byte(random)), partial(random)));
        append(codes, start());  // a START inside the address byte
        break;
      case 1:
        append(codes, bits(static_cast<unsigned>(byte(random)), partial(random)));
        append(codes, stop());  // a STOP inside the address byte
        append(codes, start());
        break;
    }
    append(codes, bits(static_cast<unsigned>(byte(random)), 8));
    if (inside(random) < 2) {
      // SCL is high after the eighth bit: SDA moves, a START or a STOP in the acknowledge slot.
      codes.push_back(codes.back() == 0xF3 ? 0xF2 : 0xF3);
    }
    append(codes, bits(static_cast<unsigned>(byte(random) & 1), 1));  // the acknowledge slot
    for (int n = count(random); n > 0; --n)
      append(codes, bits(static_cast<unsigned>(byte(random)), 9));
    switch (kind(random)) {
      case 0:
        append(codes, bits(static_cast<unsigned>(byte(random)), partial(random)));
        append(codes, start());  // a START inside a byte
        append(codes, bits(static_cast<unsigned>(byte(random)), 9));
        append(codes, stop());
        break;
      case 1:
        break;  // no STOP: the next START is a repeated one
      case 2:
        append(codes, bits(static_cast<unsigned>(byte(random)), partial(random)));
        append(codes, stop());  // a STOP inside a byte
        break;
      default:
        append(codes, stop());
    }
  }
  // And the device's own answers, to a read at its address.
  append(codes, start());
  append(codes, bits(0x59, 8));
  append(codes, bits(0, 1));
  append(codes, bits(0xFF, 8));
  append(codes, bits(1, 1));
  append(codes, stop());

  std::vector<Access> accesses;
  {
    Rig rig(vcd_);
    rig.codes(codes);
    rig.access.close_trace();
    accesses = rig.seen.accesses;
  }
  const std::vector<std::string> decoded = ours(accesses);
  ASSERT_GT(decoded.size(), 1000u);
  EXPECT_EQ(decoded, test::sigrok_i2c(vcd_));
}

// The bring-up probe's frames read as any other: the address, A or N, then P.
TEST(DecoderMarks, AnAddressProbeIsTheAddressItsAnswerAndAStop) {
  Collector seen;
  port::PortAccess access([] { return std::make_unique<sim::VirtualPort>(); });
  access.set_observer(&seen);
  bus::LineDriver driver(access);
  EXPECT_TRUE(bus::address_acknowledged(driver, 0x2C << 1));
  EXPECT_FALSE(bus::address_acknowledged(driver, 0x2D << 1));
  std::vector<std::string> texts;
  for (const Annotation& a : decode(lines_of(seen.accesses))) texts.push_back(short_text(a));
  EXPECT_EQ(texts, (std::vector<std::string>{"S", "2C W", "A", "P", "S", "2D W", "N", "P"}));
}

TEST(DecoderMarks, BitsThatAStartOrStopCutShortAsNotAByte) {
  for (const auto& end : {start(), stop()}) {
    std::vector<int> codes = start();
    append(codes, bits(0x58, 8));
    append(codes, bits(0, 1));
    append(codes, bits(0x5, 3));
    append(codes, end);
    std::vector<Access> accesses;
    for (int code : codes) accesses.push_back({true, static_cast<std::uint32_t>(code), {}});
    std::vector<std::string> texts;
    for (const Annotation& a : decode(lines_of(accesses))) texts.push_back(short_text(a));
    EXPECT_EQ(texts,
              (std::vector<std::string>{"S", "2C W", "A", "?", end == start() ? "Sr" : "P"}));
  }
}

}  // namespace
}  // namespace vx::decode
