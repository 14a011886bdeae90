// The figures of a sweep against tables worked by hand, and against the simulated part, whose
// mismatch is known code by code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "analysis/linearity.h"
#include "sim/analog.h"

namespace vx::analysis {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

constexpr double kTight = 1e-9;  // LSB

void expect_near(const std::vector<double>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], kTight) << "at " << i;
}

// Five codes, worked by hand: LSB = (140 - 100) / 4 = 10; the least-squares line through them is
// R = 101 + 9.8 D (mean code 2, mean reading 120.6, Sxx = 10, Sxy = 98).
TEST(Linearity, FiguresOfATableWorkedByHand) {
  const Figures f = analyse({{0, 100}, {1, 110}, {2, 125}, {3, 128}, {4, 140}});
  EXPECT_NEAR(f.lsb, 10, kTight);
  expect_near(f.inl, {0, 0, 0.5, -0.2, 0});
  expect_near(f.dnl, {0, 0, 0.5, -0.7, 0.2});
  EXPECT_NEAR(f.fit_offset, 101, kTight);
  EXPECT_NEAR(f.fit_slope, 9.8, kTight);
  expect_near(f.inl_best, {-1 / 9.8, -0.8 / 9.8, 4.4 / 9.8, -2.4 / 9.8, -0.2 / 9.8});
  EXPECT_EQ(f.inl_max.code, 2);
  EXPECT_NEAR(f.inl_max.value, 0.5, kTight);
  EXPECT_EQ(f.inl_min.code, 3);
  EXPECT_EQ(f.dnl_max.code, 2);
  EXPECT_EQ(f.dnl_min.code, 3);
  EXPECT_NEAR(f.dnl_min.value, -0.7, kTight);
  EXPECT_EQ(f.inl_best_max.code, 2);
  EXPECT_EQ(f.inl_best_min.code, 3);
  EXPECT_TRUE(f.monotonic());
  EXPECT_NEAR(*f.wiper_resistance, 100, kTight);
  EXPECT_NEAR(*f.r_ab, 2560, kTight);
  EXPECT_FALSE(f.zero_scale_error);
}

// A stepped sweep's DNL is per step of s codes; a downward sweep is the same sweep read the other
// way; a sweep that does not start at 0 takes its wiper resistance from the line back to code 0.
TEST(Linearity, SteppedDownwardAndPartialSweeps) {
  const Figures stepped = analyse({{4, 140}, {2, 125}, {0, 100}});
  EXPECT_NEAR(stepped.lsb, 10, kTight);
  expect_near(stepped.dnl, {0, 0.25, -0.25});
  expect_near(stepped.inl, {0, 0.5, 0});
  EXPECT_THAT(std::vector<int>({stepped.points[0].code, stepped.points[1].code}),
              ElementsAre(0, 2));

  const Figures partial = analyse({{10, 200}, {11, 211}, {12, 220}});
  EXPECT_NEAR(partial.lsb, 10, kTight);
  expect_near(partial.inl, {0, 0.1, 0});
  EXPECT_NEAR(*partial.wiper_resistance, 100, kTight);
}

// R(D) > R(D-1) everywhere, else the step that goes back is named by its upper code, with DNL
// below -1; a step that stands still (DNL exactly -1) is no rise either.
TEST(Linearity, StepsThatDoNotRiseAreNotMonotonic) {
  const Figures back = analyse({{0, 100}, {1, 110}, {2, 105}, {3, 130}});
  EXPECT_NEAR(back.dnl[2], -1.5, kTight);
  EXPECT_THAT(back.not_monotonic, ElementsAre(2));
  EXPECT_FALSE(back.monotonic());
  EXPECT_EQ(back.dnl_min.code, 2);

  const Figures flat = analyse({{0, 100}, {1, 110}, {2, 110}, {3, 130}});
  EXPECT_THAT(flat.not_monotonic, ElementsAre(2));

  // A part read from the other end falls with the code: monotonic all the same.
  const Figures falling = analyse({{0, 130}, {1, 120}, {2, 111}, {3, 100}});
  EXPECT_TRUE(falling.monotonic());
  EXPECT_NEAR(falling.lsb, -10, kTight);
}

TEST(Linearity, DividerErrorsAgainstTheTerminalVoltages) {
  Options divider{Mode::divider, 5.0, 0.0};
  const Figures f = analyse({{0, 0.01}, {128, 2.5}, {255, 4.99}}, divider);
  EXPECT_NEAR(*f.ideal_lsb, 5.0 / 256, kTight);
  EXPECT_NEAR(*f.zero_scale_error, 0.512, kTight);
  EXPECT_NEAR(*f.full_scale_error, 0.488, kTight);
  EXPECT_FALSE(f.wiper_resistance);

  // Without the terminal voltages there is nothing to hold the ends against.
  EXPECT_FALSE(analyse({{0, 0.01}, {255, 4.99}}, {Mode::divider, {}, {}}).zero_scale_error);
  // Only the ends that were measured.
  const Figures middle = analyse({{10, 0.2}, {20, 0.4}}, divider);
  EXPECT_FALSE(middle.zero_scale_error);
  EXPECT_FALSE(middle.full_scale_error);
}

TEST(Linearity, ReadingsThatGiveNoFiguresAreRefusedWithTheReason) {
  const struct {
    std::vector<Point> points;
    const char* why;
  } cases[] = {
      {{{0, 100}}, "two codes"},
      {{}, "two codes"},
      {{{0, 100}, {0, 101}}, "two codes"},
      {{{0, 100}, {1, std::nan("")}}, "code 1 is not a number"},
      {{{0, 100}, {5, 120}, {9, 100}}, "codes 0 and 9 read the same"},
  };
  for (const auto& c : cases) {
    try {
      analyse(c.points);
      ADD_FAILURE() << "no error for " << c.why;
    } catch (const std::invalid_argument& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.why));
    }
  }
}

// The simulated part's codes carry a known error each, none at 0 and 255: its end-point INL is
// that error in LSB, and its R_W and R_AB are the model's. Its step is found where it was put.
TEST(Linearity, TheSimulatedPartsMismatchIsWhatTheFiguresShow) {
  sim::AnalogOptions options;
  options.mismatch = 0.4;
  options.seed = 7;
  const sim::Potentiometer part(options);
  std::vector<Point> points;
  for (int code = 0; code < 256; ++code) points.push_back({code, part.resistance(code)});
  const Figures f = analyse(points);
  const double lsb = options.rab / 256;
  EXPECT_NEAR(f.lsb, lsb, 1e-9);
  EXPECT_NEAR(*f.r_ab, options.rab, 1e-6);
  EXPECT_NEAR(*f.wiper_resistance, options.rw, 1e-9);
  for (int code = 0; code < 256; ++code) {
    const double error = (part.resistance(code) - (code * lsb + options.rw)) / lsb;
    EXPECT_NEAR(f.inl[code], error, kTight) << "code " << code;
    EXPECT_LE(std::abs(f.inl[code]), options.mismatch + kTight);
  }
  EXPECT_TRUE(f.monotonic());

  options.steps = {{128, -60}};
  const sim::Potentiometer stepped(options);
  points.clear();
  for (int code = 0; code < 256; ++code) points.push_back({code, stepped.resistance(code)});
  const Figures g = analyse(points);
  EXPECT_THAT(g.not_monotonic, ElementsAreArray({128}));
  EXPECT_EQ(g.dnl_min.code, 128);
  EXPECT_LT(g.dnl_min.value, -1);
}

}  // namespace
}  // namespace vx::analysis

namespace vx::analysis {
namespace {

// The worst values where a scan is most easily cut short: DNL's on the last step, best-fit INL's
// at the first code (and end-point INL's in the middle, for contrast).
TEST(Linearity, ExtremesAtTheEndsAreFound) {
  // Steps of 10, 10, 10, then 30: the last step is the worst DNL (+2 LSB of the end-point LSB 15).
  const Figures f = analyse({{0, 0}, {1, 10}, {2, 20}, {3, 30}, {4, 60}});
  EXPECT_EQ(f.dnl_max.code, 4);
  EXPECT_DOUBLE_EQ(f.dnl_max.value, 30.0 / 15 - 1);
  // A bowed curve: the least-squares line lies below both ends, furthest at the first code.
  const Figures bowed = analyse({{0, 14}, {1, 13}, {2, 20}, {3, 33}, {4, 52}});
  EXPECT_EQ(bowed.inl_best_max.code, 0);
  EXPECT_GT(bowed.inl_best_max.value, bowed.inl_best[4]);
}

}  // namespace
}  // namespace vx::analysis
