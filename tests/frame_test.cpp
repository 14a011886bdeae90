// The cell register, Compute_Frame_Word and the byte conversions.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "frame/cell_register.h"
#include "frame/code_conversions.h"

namespace vx::frame {
namespace {

// Sets cells to 1; called before a handler is set, it gives a start state with no event run.
void load(CellRegister& cells, const std::vector<int>& ones) {
  for (int i : ones) cells.assign(i, 1);
}

std::vector<int> range(int from, int to) {
  std::vector<int> cells;
  for (int i = from; i <= to; ++i) cells.push_back(i);
  return cells;
}

// Reads cells lowest+7 down to lowest as a bit string, most significant first.
std::string bits(const CellRegister& cells, int lowest) {
  std::string text;
  for (int i = lowest + 7; i >= lowest; --i) text += cells.value(i) ? '1' : '0';
  return text;
}

TEST(CellRegister, FiresOnlyOnARealChange) {
  CellRegister cells;
  std::vector<int> fired;
  cells.set_change_handler([&](int i) { fired.push_back(i); });
  cells.assign(5, 0);
  cells.assign(5, 1);
  cells.assign(5, 1);
  cells.assign(44, 1);
  cells.assign(5, 0);
  EXPECT_EQ(fired, (std::vector<int>{5, 44, 5}));
}

TEST(CellRegister, RejectsWhatAScrollBarCannotHoldAndChangesNothing) {
  CellRegister cells;
  int fired = 0;
  cells.set_change_handler([&](int) { ++fired; });
  EXPECT_THROW(cells.assign(45, 1), std::out_of_range);
  EXPECT_THROW(cells.assign(-1, 1), std::out_of_range);
  EXPECT_THROW(cells.assign(3, 2), std::out_of_range);
  EXPECT_THROW(cells.assign(3, -1), std::out_of_range);
  EXPECT_EQ(cells.value(3), 0);
  EXPECT_EQ(fired, 0);
}

struct FrameCase {
  const char* name;
  std::vector<int> ones;
  double code;
  double word;
  friend void PrintTo(const FrameCase& c, std::ostream* out) { *out << c.name; }
};

class ComputeFrameWord : public ::testing::TestWithParam<FrameCase> {};

TEST_P(ComputeFrameWord, GivesCodeAndWordOfTheCellsWithAcknowledgesCleared) {
  CellRegister cells;
  load(cells, GetParam().ones);
  double code = -1, word = -1;
  Compute_Frame_Word(cells, code, word);
  EXPECT_EQ(code, GetParam().code);
  EXPECT_EQ(word, GetParam().word);
  for (int ack : kAckCells) EXPECT_EQ(cells.value(ack), 0) << "cell " << ack;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComputeFrameWord,
    ::testing::Values(
        FrameCase{"AllZero", {}, 0, 0},
        FrameCase{"StandardAddressMidScale", {25, 23, 22, 8}, 128, kFixedAddressBits + 256},
        FrameCase{"AllWriteCells", range(0, 26), 255, (1 << 27) - 1 - ((1 << 18) + (1 << 9) + 1)},
        FrameCase{"AcknowledgeCellZeroAloneCountsAsZero", {0}, 0, 0},
        FrameCase{"ReadFrameHasNoInfluence", range(27, 44), 0, 0},
        FrameCase{"DataCellsWeighFromCellOne", {1, 3}, 5, 2 + 8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ComputeFrameWord, ForcedAcknowledgesNestThreeDeepAndEveryRunAgrees) {
  CellRegister cells;
  load(cells, range(0, 26));  // before any handler: no event has run yet
  // The handler does what the panel's cell refresh does: Compute_Frame_Word into its own values.
  int depth = 0, max_depth = 0, refreshes = 0;
  std::vector<std::pair<double, double>> nested_results;
  cells.set_change_handler([&](int) {
    ++refreshes;
    max_depth = std::max(max_depth, ++depth);
    double code = 0, word = 0;
    Compute_Frame_Word(cells, code, word);
    nested_results.emplace_back(code, word);
    --depth;
  });

  double code = 0, word = 0;
  Compute_Frame_Word(cells, code, word);

  const double expected_word = (1 << 27) - 1 - ((1 << 18) + (1 << 9) + 1);
  EXPECT_EQ(refreshes, 3);
  EXPECT_EQ(max_depth, 3);
  EXPECT_EQ(code, 255);
  EXPECT_EQ(word, expected_word);
  for (auto [c, w] : nested_results) {
    EXPECT_EQ(c, 255);
    EXPECT_EQ(w, expected_word);
  }
  for (int ack : kAckCells) EXPECT_EQ(cells.value(ack), 0);

  refreshes = 0;
  Compute_Frame_Word(cells, code, word);
  EXPECT_EQ(refreshes, 0) << "a second run with nothing changed fires nothing";
  EXPECT_EQ(word, expected_word);
}

struct SpreadCase {
  int value;
  int lowest;
  const char* cells;  // cells lowest+7 .. lowest after the spread
  friend void PrintTo(const SpreadCase& c, std::ostream* out) {
    *out << c.value << " over cells from " << c.lowest;
  }
};

class SpreadByte : public ::testing::TestWithParam<SpreadCase> {};

TEST_P(SpreadByte, PutsBitKInCellLowestPlusKAndTouchesNothingElse) {
  CellRegister cells;
  // Every cell outside the target starts at 1, so a stray write would show.
  for (int i = 0; i < kCellCount; ++i) cells.assign(i, 1);
  spread_byte(cells, GetParam().value, GetParam().lowest);
  EXPECT_EQ(bits(cells, GetParam().lowest), GetParam().cells);
  for (int i = 0; i < kCellCount; ++i) {
    if (i < GetParam().lowest || i > GetParam().lowest + 7) {
      EXPECT_EQ(cells.value(i), 1) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpreadByte,
    ::testing::Values(SpreadCase{0, 1, "00000000"}, SpreadCase{1, 1, "00000001"},
                      SpreadCase{128, 1, "10000000"}, SpreadCase{255, 1, "11111111"},
                      SpreadCase{179, 28, "10110011"}, SpreadCase{256 + 5, 1, "00000101"}));

TEST(SpreadByte, ClearsFromTheLowestUpThenRaisesTheOnes) {
  CellRegister cells;
  load(cells, range(2, 8));  // 254 in the data cells
  std::vector<std::pair<int, int>> changes;
  cells.set_change_handler([&](int i) { changes.emplace_back(i, cells.value(i)); });
  spread_byte(cells, 255, 1);
  std::vector<std::pair<int, int>> expected;
  for (int i = 2; i <= 8; ++i) expected.emplace_back(i, 0);
  for (int i = 1; i <= 8; ++i) expected.emplace_back(i, 1);
  EXPECT_EQ(changes, expected);  // 15 changes in all

  changes.clear();
  CellRegister zero;
  zero.set_change_handler([&](int i) { changes.emplace_back(i, 0); });
  spread_byte(zero, 0, 1);
  EXPECT_TRUE(changes.empty());
}

TEST(SpreadByte, RejectsWhatCannotBeSpreadBeforeTouchingACell) {
  CellRegister cells;
  load(cells, {1});
  EXPECT_THROW(spread_byte(cells, -1, 1), std::out_of_range);
  EXPECT_THROW(spread_byte(cells, 1, 38), std::out_of_range);
  EXPECT_THROW(Code_to_Data_Bits(cells, 256), std::out_of_range);
  EXPECT_THROW(Code_to_Data_Bits(cells, 1.5), std::out_of_range);
  EXPECT_EQ(cells.value(1), 1);
}

TEST(CodeToDataBits, SpreadsOverTheDataCellsOnly) {
  CellRegister cells;
  load(cells, {0, 9, 10});
  Code_to_Data_Bits(cells, 0xA5);
  EXPECT_EQ(bits(cells, 1), "10100101");
  EXPECT_EQ(cells.value(0), 1);
  EXPECT_EQ(cells.value(9), 1);
}

TEST(FixedAddressFrameWord, IsTheStandardFrameOfTheCode) {
  for (int code = 0; code <= 255; ++code) {
    // The word Compute_Frame_Word gives once the standard bytes and the code are in the cells.
    CellRegister cells;
    load(cells, {25, 23, 22});
    spread_byte(cells, code, 1);
    double from_cells_code = 0, from_cells_word = 0;
    Compute_Frame_Word(cells, from_cells_code, from_cells_word);
    ASSERT_EQ(fixed_address_frame_word(code), from_cells_word) << "code " << code;
    ASSERT_EQ(fixed_address_frame_word(code), 46137344 + 2 * code);
  }
  for (double bad : {-1.0, 256.0, 0.5}) {
    EXPECT_THROW(fixed_address_frame_word(bad), std::out_of_range) << bad;
  }
}

}  // namespace
}  // namespace vx::frame
