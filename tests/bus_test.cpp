// The line driver, the write transaction and the read transaction, as the port sees them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "bus/bring_up.h"
#include "bus/line_driver.h"
#include "bus/read_back.h"
#include "bus/write_transaction.h"
#include "frame/code_conversions.h"
#include "frame/device_address.h"
#include "support/bus_checks.h"
#include "support/test_ports.h"

namespace vx::bus {
namespace {

using test::Access;
using test::frame_writes;
using test::write_of;

// A port that accepts every write and answers reads from a script of status values.
class ScriptedPort final : public port::Port {
 public:
  void write16(std::int16_t address, std::int16_t value) override {
    accesses.push_back({'W', address, value});
  }
  std::int32_t read32(std::int16_t address) override {
    std::int32_t value = 0;
    if (!statuses.empty()) {
      value = statuses.front();
      statuses.pop_front();
    }
    accesses.push_back({'R', address, value});
    return value;
  }
  std::deque<std::int32_t> statuses;
  std::vector<Access> accesses;
};

struct Rig {
  ScriptedPort port;
  port::PortAccess access{test::borrow(port)};
  LineDriver driver{access};
};

TEST(HexText, ConvertsAsThePortNumbersNeed) {
  struct Case {
    const char* digits;
    int value;
  };
  for (auto [digits, value] : std::vector<Case>{{"F3", 243},
                                                {"F2", 242},
                                                {"F1", 241},
                                                {"F0", 240},
                                                {"378", 888},
                                                {"379", 889},
                                                {"f3", 243},
                                                {"7FFF", 32767},
                                                {"FFFF", -1},
                                                {"00007FFF", 32767}}) {
    EXPECT_EQ(hex_text_to_int16(digits), value) << digits;
  }
  EXPECT_THROW(hex_text_to_int16(""), std::invalid_argument);
  EXPECT_THROW(hex_text_to_int16("G1"), std::invalid_argument);
  EXPECT_THROW(hex_text_to_int16("3 8"), std::invalid_argument);
  EXPECT_THROW(hex_text_to_int16("10000"), std::overflow_error);
}

TEST(LineDriver, SampleSdaLooksAtStatusBitThreeOnly) {
  Rig rig;
  rig.port.statuses = {0x08, 0xF7, 0x00, -1, 0x7F, 0x77};
  std::vector<int> samples;
  for (int i = 0; i < 6; ++i) samples.push_back(rig.driver.Sample_SDA());
  EXPECT_EQ(samples, (std::vector<int>{1, 0, 0, 1, 1, 0}));
  for (const auto& access : rig.port.accesses)
    EXPECT_EQ(access, (Access{'R', 0x379, access.value}));
}

TEST(LineDriver, EveryWriteIsOnePortCallEvenWhenRepeated) {
  Rig rig;
  rig.driver.Write_Line_Code(0xF3);
  rig.driver.Write_Line_Code(0xF3);
  EXPECT_EQ(rig.port.accesses, (std::vector<Access>{write_of(0xF3), write_of(0xF3)}));
}

struct WriteCase {
  const char* name;
  double word;
  std::string bits;  // bit 26 first
  friend void PrintTo(const WriteCase& c, std::ostream* out) { *out << c.name; }
};

class WriteTransaction : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteTransaction, SendsStartTheLow27BitsAndStop) {
  Rig rig;
  Read_Write_Bits_to_Parallel_Port(rig.driver, GetParam().word);
  ASSERT_EQ(rig.port.accesses.size(), 59u);
  EXPECT_EQ(rig.port.accesses, frame_writes(GetParam().bits));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteTransaction,
    ::testing::Values(WriteCase{"Zero", 0, std::string(27, '0')},
                      WriteCase{"All27Bits", (1 << 27) - 1, std::string(27, '1')},
                      WriteCase{"StandardAddressCodeZero", frame::kFixedAddressBits,
                                "01011" + std::string(22, '0')},
                      WriteCase{"FullScale", frame::kFixedAddressBits + 510,
                                "01011" + std::string(13, '0') + std::string(8, '1') + "0"},
                      WriteCase{"BitsAbove26NeverSent", 0x7C00000 + 510 + 0x78000000,
                                "11111" + std::string(13, '0') + std::string(8, '1') + "0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WriteTransaction, RefusesAWordItCannotSendBeforeAnyAccess) {
  for (double bad : {-1.0, 0.5, 2147483648.0, 1e300}) {
    Rig rig;
    EXPECT_THROW(Read_Write_Bits_to_Parallel_Port(rig.driver, bad), std::invalid_argument) << bad;
    EXPECT_TRUE(rig.port.accesses.empty());
  }
}

// Cells 44..36 as the read-back loads them: address byte 0x59, acknowledge slot 0.
frame::CellRegister read_frame_cells() {
  frame::CellRegister cells;
  for (int cell : {43, 41, 40, 37}) cells.assign(cell, 1);
  return cells;
}

TEST(ReadTransaction, SamplesWhileSclIsLowAndEndsWithAckAndStop) {
  Rig rig;
  for (int sample : {1, 0, 1, 1, 0, 0, 1, 1}) rig.port.statuses.push_back(sample ? 0x7F : 0x77);
  const int byte = read_transaction(rig.driver, read_frame_cells());
  EXPECT_EQ(byte, 179);

  std::vector<Access> expected = {write_of(0xF3), write_of(0xF2)};
  for (char bit : std::string("010110010")) {  // 0x59, then the acknowledge slot
    expected.push_back(write_of(bit == '1' ? 0xF1 : 0xF0));
    expected.push_back(write_of(bit == '1' ? 0xF3 : 0xF2));
  }
  for (int sample : {1, 0, 1, 1, 0, 0, 1, 1}) {
    expected.push_back(write_of(0xF1));
    expected.push_back({'R', 0x379, sample ? 0x7F : 0x77});
    expected.push_back(write_of(0xF3));
  }
  for (int code : {0xF3, 0xF0, 0xF2, 0xF3}) expected.push_back(write_of(code));
  EXPECT_EQ(rig.port.accesses, expected);
}

TEST(ReadTransaction, SendsWhateverTheAddressCellsHold) {
  Rig rig;
  frame::CellRegister cells;
  for (int cell = 36; cell <= 44; ++cell) cells.assign(cell, 1);
  cells.assign(35, 1);  // a read-data cell is never sent
  read_transaction(rig.driver, cells);
  const auto& a = rig.port.accesses;
  ASSERT_EQ(a.size(), test::kReadAccesses) << "nine bits sent, no more";
  for (int bit = 0; bit < 9; ++bit) {
    EXPECT_EQ(a[2 + 2 * bit], write_of(0xF1)) << bit;
    EXPECT_EQ(a[3 + 2 * bit], write_of(0xF3)) << bit;
  }
}

TEST(ReadTransaction, BuildsTheByteFirstSampleMostSignificant) {
  struct Case {
    std::vector<int> statuses;
    int byte;
  };
  for (const auto& [statuses, byte] :
       std::vector<Case>{{{8, 8, 8, 8, 8, 8, 8, 8}, 255},
                         {{0, 0, 0, 0, 0, 0, 0, 0}, 0},
                         {{8, 0, 0, 0, 0, 0, 0, 0}, 128},
                         {{0xF7, 0xF7, 0xF7, 0xF7, 0xF7, 0xF7, 0xF7, 0xFF}, 1}}) {
    Rig rig;
    rig.port.statuses.assign(statuses.begin(), statuses.end());
    EXPECT_EQ(read_transaction(rig.driver, read_frame_cells()), byte);
  }
}

// A back end that batches, as a USB adapter does: reads are answered only at the flush.
class BatchingPort final : public port::Port {
 public:
  void write16(std::int16_t, std::int16_t) override {
    if (--fail_in == 0) throw port::PortError("unplugged");
  }
  std::int32_t read32(std::int16_t) override { return 0x7F; }
  bool batches() const override { return true; }
  void queue_read32(std::int16_t) override { ++queued; }
  std::vector<std::int32_t> flush() override {
    ++flushes;
    std::vector<std::int32_t> values;
    for (; queued > 0; --queued) values.push_back(next_high ? 0x7F : 0x77), next_high = !next_high;
    return values;
  }
  int queued = 0, flushes = 0, fail_in = -1;
  bool next_high = true;
};

TEST(Transaction, EndsAtItsScopeAndGivesItsSamplesInOrder) {
  BatchingPort port;
  port::PortAccess access{test::borrow(port)};
  LineDriver driver{access};

  Read_Write_Bits_to_Parallel_Port(driver, frame::fixed_address_frame_word(77));
  EXPECT_EQ(port.flushes, 1) << "a write transaction is carried out when it ends";

  EXPECT_EQ(read_transaction(driver, read_frame_cells()), 0b10101010);
  EXPECT_EQ(port.flushes, 2);

  {
    Transaction transaction(driver);
    transaction.sample_sda();
    transaction.sample_sda();
    driver.Write_Line_Code(0xF3);
    EXPECT_EQ(port.flushes, 2) << "nothing goes out before the end";
  }
  EXPECT_EQ(port.flushes, 3) << "a transaction left without complete() still ends";
  EXPECT_EQ(port.queued, 0);
}

TEST(Transaction, AFailureAbandonsItWithoutAFlush) {
  BatchingPort port;
  port::PortAccess access{test::borrow(port)};
  LineDriver driver{access};
  port.fail_in = 5;
  EXPECT_THROW(read_transaction(driver, read_frame_cells()), port::PortError);
  EXPECT_EQ(port.flushes, 0) << "the abandoned transaction was carried out";
  // The next transaction starts with a bus clear, whose one read (high: the bus is free) is
  // answered at once; the transaction's own eight samples follow, none left over or lost.
  port.queued = 0;
  EXPECT_EQ(read_transaction(driver, read_frame_cells()), 0b01010101);
  EXPECT_EQ(port.flushes, 2) << "the clear's read, then the transaction's end";
}

// Two free lines, each read back as driven, that note how long after the last change each line
// was read.
class TimedLines final : public port::Port {
 public:
  void write16(std::int16_t, std::int16_t value) override {
    code_ = value;
    changed_ = port::Clock::now();
  }
  std::int32_t read32(std::int16_t) override {
    note();
    return frame::status_for(frame::sda_drive_of(code_));
  }
  std::optional<bool> read_scl() override {
    note();
    return frame::scl_of(code_);
  }
  port::Clock::duration shortest = port::Clock::duration::max();
  int reads = 0;

 private:
  void note() {
    shortest = std::min(shortest, port::Clock::now() - changed_);
    ++reads;
  }
  std::int16_t code_ = 0xF3;
  port::Clock::time_point changed_ = port::Clock::now();
};

// As test_bus() waits half a period after each change, the line test reads each line a phase
// after the change before it: SCL too, which the back end reads outside the status register.
TEST(LineTest, ReadsEachLineAPhaseAfterTheChangeBeforeIt) {
  TimedLines lines;
  const auto phase = std::chrono::milliseconds(2);
  port::PortAccess access(port::borrowed(lines), {}, phase);
  LineDriver driver(access);
  EXPECT_EQ(test_lines(driver), LineTest::free);
  EXPECT_EQ(lines.reads, 8) << "SDA and SCL four times each";
  EXPECT_GE(lines.shortest, phase);
}

}  // namespace
}  // namespace vx::bus
