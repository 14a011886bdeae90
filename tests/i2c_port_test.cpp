// How the I2C back end turns the panel's line changes into I2C messages, with a transport that
// notes what it is asked to carry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backends/i2c.h"
#include "bus/read_back.h"
#include "bus/write_transaction.h"
#include "frame/code_conversions.h"
#include "support/test_ports.h"

namespace vx::backends {
namespace {

using ::testing::HasSubstr;

struct Sent {
  std::uint16_t address;
  bool read;
  std::vector<std::uint8_t> bytes;
  bool operator==(const Sent&) const = default;
};

// Notes every message; a read is answered with `answer`.
class NotingTransport final : public I2cTransport {
 public:
  NotingTransport(std::vector<std::vector<Sent>>& transfers, std::uint8_t answer)
      : transfers_(transfers), answer_(answer) {}
  void transfer(I2cMessage& m) override {
    if (m.read) std::fill(m.data, m.data + m.length, answer_);
    transfers_.push_back({{m.address, m.read, {m.data, m.data + m.length}}});
  }

 private:
  std::vector<std::vector<Sent>>& transfers_;
  std::uint8_t answer_;
};

struct Rig {
  std::vector<std::vector<Sent>> transfers;
  I2cPort* i2c = nullptr;
  port::PortAccess access{[this] {
    auto port = std::make_unique<I2cPort>(std::make_unique<NotingTransport>(transfers, 0xA6));
    i2c = port.get();
    return port;
  }};
  bus::LineDriver driver{access};
  void lines(std::initializer_list<int> codes) {
    for (int code : codes) driver.Write_Line_Code(static_cast<std::int16_t>(code));
  }
};

TEST(I2cPort, AWriteFrameIsOneWriteMessageAtItsStop) {
  Rig rig;
  bus::Read_Write_Bits_to_Parallel_Port(rig.driver, frame::fixed_address_frame_word(0x3C));
  ASSERT_EQ(rig.transfers.size(), 1u);
  EXPECT_EQ(rig.transfers[0], (std::vector<Sent>{{0x2C, false, {0x00, 0x3C}}}));
}

TEST(I2cPort, TheReadIsOneByteFetchedAtTheFirstSampleWhoseBitsAnswerTheSamples) {
  Rig rig;
  EXPECT_EQ(bus::read_transaction(rig.driver, bus::standard_read_frame()), 0xA6);
  ASSERT_EQ(rig.transfers.size(), 1u);
  EXPECT_EQ(rig.transfers[0], (std::vector<Sent>{{0x2C, true, {0xA6}}}));
  EXPECT_EQ(rig.access.InportW(0x379), 0x7F) << "outside a frame: the idle status, SDA high";
}

TEST(I2cPort, AFrameToAReadAddressThatNobodySamplesReadsItsBytesAndDropsThem) {
  Rig rig;
  // Address 0x59, then two bytes clocked: the device would send, so they are read.
  bus::Read_Write_Bits_to_Parallel_Port(rig.driver, (frame::kFixedAddressBits | 1 << 19) + 2 * 7);
  ASSERT_EQ(rig.transfers.size(), 1u);
  EXPECT_EQ(rig.transfers[0], (std::vector<Sent>{{0x2C, true, {0xA6, 0xA6}}}));
}

TEST(I2cPort, ClocksAndAStopOutsideAFrameAreIgnored) {
  Rig rig;
  rig.driver.clear_bus();  // as after a fault: SDA released, a sample, START and STOP
  rig.lines({0xF1, 0xF3, 0xF1, 0xF3});
  EXPECT_TRUE(rig.transfers.empty());
}

TEST(I2cPort, LineChangesThatFitNoFrameAreErrorsSayingWhatWasSeen) {
  struct Case {
    std::vector<int> codes;
    const char* seen;
  };
  for (const auto& [codes, seen] : std::vector<Case>{
           {{0xF3, 0xF2, 0xF0, 0xF2, 0xF1, 0xF3, 0xF2}, "a START 2 clocks into a frame"},
           {{0xF3, 0xF2, 0xF0, 0xF2, 0xF3}, "a STOP 1 clock after its START"},
           {{0xF3, 0xF2, 0xF0, 0xF2, 0xF0, 0xF2, 0xF3}, "a STOP 2 clocks into a byte"},
           {{0xF3, 0xF2, 0xF0, 0xF2, 0xF0, 0xF2, 0xF0, 0xF2, 0xF3}, "a STOP 3 clocks into a byte"},
       }) {
    Rig rig;
    std::string message;
    try {
      for (int code : codes) rig.driver.Write_Line_Code(static_cast<std::int16_t>(code));
    } catch (const port::PortError& error) {
      message = error.what();
    }
    EXPECT_THAT(message, HasSubstr(seen));
    EXPECT_THAT(message, HasSubstr("the I2C back end cannot carry this out"));
    EXPECT_TRUE(rig.transfers.empty());
  }
}

}  // namespace
}  // namespace vx::backends
