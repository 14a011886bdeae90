#pragma once

#include <QPointF>
#include <QRectF>
#include <QSize>
#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/linearity.h"

class QGuiApplication;
class QPainter;

namespace vx::plot {

// What is drawn: the codes measured so far (a sweep in progress has fewer than it plans), and
// their figures once there are two codes that differ.
struct PlotData {
  std::vector<analysis::Point> points;
  std::optional<analysis::Figures> figures;
  std::string unit = "Ohm";
  int first_code = 0, last_code = 255;  // the codes the sweep plans, for the code axis
  std::string note;                     // under the title: "partial: ..." or empty
  std::string provenance;  // at the foot: the meter and when ("Meter: ...; started ...")
};

// The three panels' places and scales in an area: readings on top (about half the height), INL
// and DNL beneath, all on one code axis.
struct Layout {
  QRectF readings, inl, dnl;
  double code_low = 0, code_high = 255;
  double code_pad = 0.5;  // half a step of room at each end, so the end stems show whole
  double value_low = 0, value_high = 1;  // the readings panel's scale
  double inl_span = 1;                   // the INL panel runs from -inl_span to +inl_span LSB
  double dnl_span = 1;                   // and DNL's
  double x(double code) const;
  QPointF reading(double code, double value) const;
  QPointF inl_point(double code, double lsb) const;
  QPointF dnl_point(double code, double lsb) const;
};

// The colours the curves are drawn in, for a reader of the picture (and its tests).
inline constexpr unsigned kReadingColour = 0x1f4fd0;  // the readings
inline constexpr unsigned kIdealColour = 0x6c7a89;    // the ideal (end-point) line, dashed; a slate
// grey, which no antialiased black text matches
inline constexpr unsigned kInlColour = 0xc0392b;      // end-point INL
inline constexpr unsigned kInlBestColour = 0x7d3c98;  // best-fit INL
inline constexpr unsigned kDnlColour = 0x1e8449;
inline constexpr unsigned kFaultColour = 0xe67e22;  // a step that is not monotonic

// At most so many steps that go backwards are ringed and named; the rest are counted in one line.
inline constexpr std::size_t kMostRinged = 4;

Layout layout(const QRectF& area, const PlotData& data);

// "Ohm" as pictures and the report write it: Ω.
QString shown_unit(const std::string& unit);

// Round steps for an axis from `low` to `high`, about `wanted` of them: 1, 2 or 5 times a power of
// ten.
std::vector<double> ticks(double low, double high, int wanted);

// Draws the whole plot in `area`, white behind it.
void draw(QPainter& painter, const QRectF& area, const PlotData& data);

// "png" or "svg" by a file name's extension (either case), or none: the pictures save_picture
// writes.
std::optional<std::string> picture_format(const std::string& path);

// The plot as a picture, PNG or SVG by the file's extension; throws std::runtime_error naming the
// file and why.
void save_picture(const std::string& path, const PlotData& data, QSize size = {1200, 900});

// The one-page PDF report: a title, the settings and figures as (name, value) rows, and the plot.
// Throws std::runtime_error naming the file and why.
void save_report(const std::string& path, const PlotData& data,
                 const std::vector<std::pair<std::string, std::string>>& settings,
                 const std::vector<std::pair<std::string, std::string>>& figures);

// A program without a window (vx3071) needs a Qt application for fonts: this makes one on Qt's
// offscreen platform, while it lives, where there is none.
class Application {
 public:
  Application();
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

 private:
  std::unique_ptr<QGuiApplication> made_;
};

}  // namespace vx::plot
