// The plot of a characterisation looked at as a picture: the readings' curve, the ideal line, INL
// and DNL where the data puts them, in PNG, in SVG rendered back, and in the PDF report rendered
// by poppler.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>

#include "analysis/linearity.h"
#include "plot/plot.h"
#include "sim/analog.h"

namespace vx::plot {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr QSize kSize(1200, 900);

// The stepped simulated part, every code: a step back at 128.
PlotData stepped_part() {
  sim::AnalogOptions options;
  options.steps = {{128, -60}};
  const sim::Potentiometer part(options);
  PlotData data;
  for (int code = 0; code < 256; ++code) data.points.push_back({code, part.resistance(code)});
  data.figures = analysis::analyse(data.points);
  return data;
}

bool near_colour(QRgb pixel, unsigned rgb, int tolerance = 40) {
  return std::abs(qRed(pixel) - static_cast<int>(rgb >> 16 & 0xFF)) <= tolerance &&
         std::abs(qGreen(pixel) - static_cast<int>(rgb >> 8 & 0xFF)) <= tolerance &&
         std::abs(qBlue(pixel) - static_cast<int>(rgb & 0xFF)) <= tolerance;
}

// The rows of column `x`, from `top` to `bottom`, whose pixel is of colour `rgb`.
std::vector<int> rows_of(const QImage& image, int x, double top, double bottom, unsigned rgb) {
  std::vector<int> rows;
  for (int y = std::max(0, static_cast<int>(top));
       y <= std::min(image.height() - 1, static_cast<int>(bottom)); ++y) {
    if (near_colour(image.pixel(x, y), rgb)) rows.push_back(y);
  }
  return rows;
}

bool any_within(const std::vector<int>& rows, double y, double distance) {
  for (const int row : rows) {
    if (std::abs(row - y) <= distance) return true;
  }
  return false;
}

// Every code's reading, INL and DNL are drawn where the layout puts them, and the readings'
// colour is nowhere else in that column but the key's corner; the ideal line runs through the
// end points; the step back at 128 is ringed, its DNL stem reaching below -1.
void expect_the_data_drawn(const QImage& image, const PlotData& data) {
  ASSERT_FALSE(image.isNull());
  const Layout l = layout(QRectF(QPointF(0, 0), QSizeF(image.size())), data);
  const analysis::Figures& f = *data.figures;
  const double key_bottom = l.readings.top() + l.readings.height() * 0.12;
  int ideal_columns = 0;
  for (std::size_t i = 0; i < data.points.size(); i += 3) {
    const analysis::Point& p = data.points[i];
    const int x = static_cast<int>(std::lround(l.x(p.code)));
    // The ring around the step at 128 is drawn over the curve where it crosses it.
    if (p.code != 128 && std::abs(l.x(p.code) - l.x(128)) < 24) continue;
    SCOPED_TRACE("code " + std::to_string(p.code));
    const QPointF at = l.reading(p.code, p.value);
    // The key sits in the panel's upper left corner, in the readings' colour too.
    const double top =
        x < l.readings.left() + l.readings.width() * 0.4 ? key_bottom : l.readings.top();
    const std::vector<int> curve = rows_of(image, x, top, l.readings.bottom(), kReadingColour);
    ASSERT_FALSE(curve.empty()) << "no curve in this column";
    EXPECT_TRUE(any_within(curve, at.y(), 3)) << "the curve misses " << at.y();
    EXPECT_LE(curve.back() - curve.front(), 10) << "the readings' colour elsewhere";

    const std::vector<int> inl = rows_of(image, x, l.inl.top(), l.inl.bottom(), kInlColour);
    EXPECT_TRUE(any_within(inl, l.inl_point(p.code, f.inl[i]).y(), 3));

    const double ideal = f.points.front().value + (p.code - f.points.front().code) * f.lsb;
    const std::vector<int> grey = rows_of(image, x, top, l.readings.bottom(), kIdealColour);
    ideal_columns += any_within(grey, l.reading(p.code, ideal).y(), 3);
  }
  EXPECT_GT(ideal_columns, 20) << "the ideal line is not to be seen";

  const int x128 = static_cast<int>(std::lround(l.x(128)));
  const std::vector<int> stem = rows_of(image, x128, l.dnl.top(), l.dnl.bottom(), kDnlColour);
  ASSERT_FALSE(stem.empty());
  EXPECT_NEAR(stem.back(), l.dnl_point(128, f.dnl_min.value).y(), 3);
  EXPECT_GT(stem.back(), l.dnl_point(128, -1).y()) << "the step back does not reach below -1";
  const auto at_128 = std::find_if(data.points.begin(), data.points.end(),
                                   [](const analysis::Point& p) { return p.code == 128; });
  ASSERT_NE(at_128, data.points.end());
  const QPointF ring = l.reading(128, at_128->value);
  const std::vector<int> fault = rows_of(image, static_cast<int>(ring.x()), l.readings.top(),
                                         l.readings.bottom(), kFaultColour);
  EXPECT_TRUE(any_within(fault, ring.y(), 20)) << "the step back is not ringed";
}

std::string temp(const char* name) {
  return ::testing::TempDir() + "vx3071-plot-" + std::to_string(::getpid()) + name;
}

std::string output_of(const std::string& command) {
  std::string text;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  ::pclose(pipe);
  return text;
}

class Plot : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { application = new Application; }
  static void TearDownTestSuite() { delete application; }
  static inline Application* application = nullptr;
};

TEST_F(Plot, ThePngShowsTheDataWhereItIs) {
  const PlotData data = stepped_part();
  const std::string png = temp(".png");
  save_picture(png, data, kSize);
  const QImage image(QString::fromStdString(png));
  EXPECT_EQ(image.size(), kSize);
  expect_the_data_drawn(image, data);
  std::remove(png.c_str());
}

// A sweep from code 50: the ideal line runs through its own end points, not from code 0.
TEST_F(Plot, TheIdealLineOfASweepFromCode50RunsThroughItsOwnEnds) {
  PlotData data = stepped_part();
  data.points.erase(data.points.begin(), data.points.begin() + 50);
  data.figures = analysis::analyse(data.points);
  data.first_code = 50;
  const std::string png = temp("-from-50.png");
  save_picture(png, data, kSize);
  expect_the_data_drawn(QImage(QString::fromStdString(png)), data);
  std::remove(png.c_str());
}

TEST_F(Plot, TheSvgRenderedBackShowsTheSame) {
  const PlotData data = stepped_part();
  const std::string svg = temp(".svg");
  save_picture(svg, data, kSize);
  QSvgRenderer renderer(QString::fromStdString(svg));
  ASSERT_TRUE(renderer.isValid());
  QImage image(kSize, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter painter(&image);
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(kSize)));
  painter.end();
  expect_the_data_drawn(image, data);
  std::remove(svg.c_str());
}

// One page, its text the figures and settings given, its picture the plot.
TEST_F(Plot, TheReportIsOnePageWithTheFiguresTheSettingsAndThePlot) {
  PlotData data = stepped_part();
  data.note = "partial: 200 of 256 codes measured; at code 200: stopped between frames";
  const std::string pdf = temp(".pdf");
  save_report(pdf, data, {{"Meter", "Keysight 34465A"}, {"Settle time", "10 ms"}},
              {{"Monotonic", "not monotonic at code 128 (DNL -2.54)"}});
  std::ifstream file(pdf, std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  EXPECT_THAT(bytes.str().substr(0, 5), "%PDF-");

  const std::string info = output_of("pdfinfo " + pdf);
  EXPECT_THAT(info, ::testing::ContainsRegex("Pages: +1\n"));
  EXPECT_THAT(info, HasSubstr("A4"));
  const std::string text = output_of("pdftotext -layout " + pdf + " -");
  for (const char* words : {"VX3071 characterisation", "Keysight 34465A", "Settle time",
                            "not monotonic at code 128", "partial: 200 of 256", "DNL (LSB)"}) {
    EXPECT_THAT(text, HasSubstr(words));
  }
  const std::string page = temp("-page");
  ASSERT_EQ(std::system(("pdftoppm -png -r 100 -singlefile " + pdf + " " + page).c_str()), 0);
  const QImage image(QString::fromStdString(page + ".png"));
  ASSERT_FALSE(image.isNull());
  // Each curve's colour in the page's lower part, where the plot is.
  for (const unsigned colour :
       {kReadingColour, kIdealColour, kInlColour, kDnlColour, kFaultColour}) {
    int found = 0;
    for (int y = image.height() / 3; y < image.height(); y += 2) {
      for (int x = 0; x < image.width(); x += 2)
        found += near_colour(image.pixel(x, y), colour, 30);
    }
    EXPECT_GT(found, 20) << std::hex << colour;
  }
  std::remove(pdf.c_str());
  std::remove((page + ".png").c_str());
}

TEST_F(Plot, FilesThatCannotBeWrittenAreNamedWithTheReason) {
  const PlotData data = stepped_part();
  const struct {
    std::string path;
    const char* words;
  } cases[] = {{"/nonexistent/plot.png", "cannot write the plot to /nonexistent/plot.png"},
               {"/nonexistent/plot.svg", "cannot write the plot to /nonexistent/plot.svg"},
               {temp(".jpg"), "F.png or F.svg"}};
  for (const auto& c : cases) {
    try {
      save_picture(c.path, data);
      ADD_FAILURE() << c.path;
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.words));
    }
  }
  EXPECT_THROW(save_report("/nonexistent/report.pdf", data, {}, {}), std::runtime_error);
}

// A sweep in progress: its first codes, no figures yet, the code axis the whole plan.
TEST_F(Plot, AGrowingSweepIsDrawnOnThePlannedCodeAxis) {
  PlotData data;
  data.points = {{0, 75}};
  const Layout l = layout(QRectF(0, 0, 1200, 900), data);
  EXPECT_EQ(l.code_low, 0);
  EXPECT_EQ(l.code_high, 255);
  QImage image(kSize, QImage::Format_RGB32);
  QPainter painter(&image);
  draw(painter, QRectF(0, 0, 1200, 900), data);  // one point, no figures: nothing to fail
  painter.end();
  EXPECT_TRUE(
      near_colour(image.pixel(static_cast<int>(l.x(0)) + 1, static_cast<int>(l.reading(0, 75).y())),
                  kReadingColour));
}

// Whether any pixel of a curve's colour lies outside the three panels (a margin of 2 px for
// antialiasing), and where the first is.
std::optional<QPoint> curve_outside(const QImage& image, const Layout& l) {
  const QRectF panels[] = {l.readings.adjusted(-2, -2, 2, 2), l.inl.adjusted(-2, -2, 2, 2),
                           l.dnl.adjusted(-2, -2, 2, 2)};
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (std::any_of(std::begin(panels), std::end(panels),
                      [&](const QRectF& r) { return r.contains(QPointF(x, y)); })) {
        continue;
      }
      for (const unsigned c :
           {kReadingColour, kIdealColour, kInlColour, kInlBestColour, kDnlColour}) {
        if (near_colour(image.pixel(x, y), c, 12)) return QPoint(x, y);
      }
    }
  }
  return std::nullopt;
}

// A sweep stopped at code 100 of 256 (its ideal line runs on past its readings), and a part read
// through a coarse meter (100 Ohm: flat steps by the score): nothing drawn outside its panel, and
// only a few of the flat steps ringed and named, the rest counted.
TEST_F(Plot, NothingIsDrawnOutsideItsPanel) {
  PlotData partial;
  const sim::Potentiometer part{sim::AnalogOptions{}};
  for (int code = 0; code <= 100; ++code) partial.points.push_back({code, part.resistance(code)});
  partial.figures = analysis::analyse(partial.points);
  partial.note = "partial: 101 of 256 codes measured; at code 101: stopped between frames";
  partial.provenance = "Meter: Keysight Technologies 34465A (TCPIP::127.0.0.1::5025::SOCKET)";

  sim::AnalogOptions coarse_options;
  coarse_options.resolution = 100;
  const sim::Potentiometer coarse_part(coarse_options);
  PlotData coarse;
  std::mt19937 random(1);  // no noise is asked for: unused
  for (int code = 0; code < 256; ++code) {
    coarse.points.push_back({code, coarse_part.reading(code, code, std::chrono::hours(1), random)});
  }
  coarse.figures = analysis::analyse(coarse.points);
  ASSERT_GT(coarse.figures->not_monotonic.size(), 100u) << "the coarse meter's flat steps";

  for (const PlotData* data : {&partial, &coarse}) {
    const std::string png = temp("-inside.png");
    save_picture(png, *data, kSize);
    const QImage image(QString::fromStdString(png));
    const Layout l = layout(QRectF(QPointF(0, 0), QSizeF(kSize)), *data);
    const auto outside = curve_outside(image, l);
    EXPECT_FALSE(outside) << outside->x() << "," << outside->y();
    // The fault colour right of the readings panel: a step's name run past the frame.
    int spilled = 0;
    for (int y = static_cast<int>(l.readings.top()); y < l.readings.bottom(); ++y) {
      for (int x = static_cast<int>(l.readings.right()) + 3; x < image.width(); ++x) {
        spilled += near_colour(image.pixel(x, y), kFaultColour, 30);
      }
    }
    EXPECT_EQ(spilled, 0);
    std::remove(png.c_str());
  }

  const std::string pdf = temp("-coarse.pdf");
  save_report(pdf, coarse, {}, {});
  const std::string text = output_of("pdftotext -layout " + pdf + " -");
  std::size_t named = 0;
  for (std::size_t at = text.find("not monotonic at"); at != std::string::npos;
       at = text.find("not monotonic at", at + 1)) {
    ++named;
  }
  EXPECT_LE(named, kMostRinged);
  EXPECT_THAT(text, HasSubstr(std::to_string(coarse.figures->not_monotonic.size() - kMostRinged) +
                              " more steps not monotonic"));
  std::remove(pdf.c_str());
}

// A note longer than a line is wrapped within the page, its last words on the page too; the
// pictures and the report say where the readings came from, in Ω.
TEST_F(Plot, ALongNoteIsWrappedWithinThePage) {
  PlotData data = stepped_part();
  data.note =
      "partial: 40 of 256 codes measured; at code 40: the meter at "
      "TCPIP::bench-meter-7.lab.example::5025::SOCKET did not answer in time (asked READ?, "
      "waited 3000 ms), and then every later question too, so the sweep ended here: "
      "ENDOFNOTE";
  data.provenance = "Meter: Keysight Technologies 34465A; started 2026-12-11 13:05:02 UTC";
  const std::string pdf = temp("-note.pdf");
  save_report(pdf, data, {{"Range", "10000 Ohm"}}, {{"LSB (end-point)", "39.0625 Ohm"}});
  const std::string text = output_of("pdftotext -layout " + pdf + " -");
  const std::size_t first = text.find("partial: 40"), last = text.find("ENDOFNOTE");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(last, std::string::npos) << "the note's end is off the page";
  EXPECT_NE(text.substr(first, last - first).find('\n'), std::string::npos) << "not wrapped";
  EXPECT_THAT(text, HasSubstr("Meter: Keysight Technologies 34465A; started 2026-12-11"));
  EXPECT_THAT(text, HasSubstr("10000 \u03a9"));
  EXPECT_THAT(text, HasSubstr("39.0625 \u03a9"));
  EXPECT_THAT(text, Not(HasSubstr("Ohm")));
  std::remove(pdf.c_str());
}

TEST(Ticks, AreRoundStepsWithinTheRange) {
  EXPECT_THAT(ticks(0, 255, 8), ::testing::ElementsAre(0, 50, 100, 150, 200, 250));
  EXPECT_THAT(ticks(-1.2, 1.2, 4), ::testing::ElementsAre(-1, 0, 1));
  EXPECT_THAT(ticks(0.5, 0.62, 3),
              ::testing::Pointwise(::testing::DoubleNear(1e-12), {0.5, 0.55, 0.6}));
  EXPECT_TRUE(ticks(1, 1, 4).empty());
}

}  // namespace
}  // namespace vx::plot
