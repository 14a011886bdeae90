// The simulated device on its virtual port, driven through the real bus code.
#include <gtest/gtest.h>

#include "bus/bring_up.h"
#include "bus/read_back.h"
#include "bus/write_transaction.h"
#include "frame/code_conversions.h"
#include "sim/virtual_port.h"
#include "support/test_ports.h"

namespace vx::sim {
namespace {

struct Rig {
  VirtualPort sim;
  port::PortAccess access{test::borrow(sim)};
  bus::LineDriver driver{access};

  void write(double frame_word) { bus::Read_Write_Bits_to_Parallel_Port(driver, frame_word); }

  int read(int address_byte = frame::kReadAddressByte) {
    frame::CellRegister cells;
    frame::spread_byte(cells, address_byte, 37);  // cells 44..37; cell 36, the slot, stays 0
    return bus::read_transaction(driver, cells);
  }
};

TEST(SimulatedDevice, PowersUpAtMidScale) {
  Rig rig;
  EXPECT_EQ(rig.sim.device().setting(), 0x80);
  EXPECT_EQ(rig.read(), 0x80);
}

TEST(SimulatedDevice, StoresTheDataByteOfAFrameToItsAddressAndReadsItBack) {
  Rig rig;
  for (int code : {0, 1, 0x55, 0xAA, 127, 255}) {
    rig.write(frame::fixed_address_frame_word(code));
    EXPECT_EQ(rig.sim.device().setting(), code);
    EXPECT_EQ(rig.read(), code);
  }
}

TEST(SimulatedDevice, IgnoresFramesToOtherAddresses) {
  Rig rig;
  rig.write(frame::fixed_address_frame_word(33));
  struct Case {
    const char* name;
    double word;
  };
  for (auto [name, word] : std::vector<Case>{
           {"address 0x5A", 0x2D00000 + 2 * 77},
           {"address 0xD8", 0x6C00000 + 2 * 77},
           {"address 0x59 (a read)", (frame::kFixedAddressBits | 1 << 19) + 2 * 77},
           {"no address bits", 2 * 77},
       }) {
    rig.write(word);
    EXPECT_EQ(rig.sim.device().setting(), 33) << name;
  }
  EXPECT_EQ(rig.read(0x5B), 0xFF) << "nobody answers another read address";
  EXPECT_EQ(rig.read(), 33);
}

TEST(SimulatedDevice, AWriteFrameCarryingTheReadAddressDoesNotSwallowTheNextFrame) {
  Rig rig;
  rig.write(frame::fixed_address_frame_word(0x21));  // bit 7 low: the device would hold SDA low
  rig.write((frame::kFixedAddressBits | 1 << 19) +
            2 * 0x55);  // address 0x59: the device answers a read
  rig.write(frame::fixed_address_frame_word(77));
  EXPECT_EQ(rig.sim.device().setting(), 77);
  EXPECT_EQ(rig.read(), 77);
}

TEST(SimulatedDevice, AcknowledgesItsAddressByPullingSdaLow) {
  Rig rig;
  auto line = [&](int code) { rig.driver.Write_Line_Code(static_cast<std::int16_t>(code)); };
  line(0xF3);
  line(0xF2);  // START
  for (char bit : std::string("01011000")) {
    line(bit == '1' ? 0xF1 : 0xF0);
    line(bit == '1' ? 0xF3 : 0xF2);
  }
  line(0xF1);  // SCL falls after the eighth bit; the panel lets SDA go high
  EXPECT_EQ(rig.driver.Sample_SDA(), 0) << "the device holds SDA low for its acknowledge";
  line(0xF3);
  line(0xF1);  // the acknowledge clock is over
  EXPECT_EQ(rig.driver.Sample_SDA(), 1);
}

TEST(VirtualPort, StatusShowsAnIdlePortWithSdaOnBitThree) {
  VirtualPort sim;
  EXPECT_EQ(sim.read32(0x379), 0x7F);
  sim.write16(0x378, 0xF2);  // START: the panel pulls SDA low
  EXPECT_EQ(sim.read32(0x379), 0x77);
  sim.write16(0x378, 0xF3);
  EXPECT_EQ(sim.read32(0x379), 0x7F);
}

TEST(VirtualPort, RefusesEveryOtherAccessWithTheAddressInTheMessage) {
  VirtualPort sim;
  EXPECT_THROW(
      {
        try {
          sim.write16(0x37A, 0xF3);
        } catch (const port::PortError& error) {
          EXPECT_NE(std::string(error.what()).find("0x37A"), std::string::npos) << error.what();
          throw;
        }
      },
      port::PortError);
  EXPECT_THROW(sim.write16(0x379, 0xF3), port::PortError);
  EXPECT_THROW(sim.read32(0x378), port::PortError);
  EXPECT_THROW(sim.read32(0x278), port::PortError);
}

// A line test that finds a fault lets go of both lines on its way out, as a pass does: a line
// left pulled low would hold the bus for every device on it.
TEST(LineTest, AFailedLineTestReleasesBothLines) {
  Wiring sda_open, bridged;
  sda_open.sda_open = true;
  bridged.bridged = true;
  for (const auto& [wiring, expected] : {std::pair{sda_open, bus::LineTest::sda_stuck_high},
                                         std::pair{bridged, bus::LineTest::sda_follows_scl}}) {
    test::PortScript script;
    port::PortAccess access(test::recording(script, [wiring = wiring] {
      return std::make_unique<VirtualPort>(std::make_shared<Device>(), wiring);
    }));
    bus::LineDriver driver(access);
    EXPECT_EQ(bus::test_lines(driver), expected);
    ASSERT_FALSE(script.accesses.empty());
    EXPECT_EQ(script.accesses.back(), test::write_of(0xF3)) << "both lines released";
  }
}

}  // namespace
}  // namespace vx::sim
