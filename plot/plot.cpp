#include "plot/plot.h"

#include <QFile>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QStringList>
#include <QSvgGenerator>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace vx::plot {

namespace {

QColor colour(unsigned rgb) {
  return QColor::fromRgb(static_cast<QRgb>(rgb));
}

QString text(const std::string& s) {
  return QString::fromStdString(s);
}

// The span an LSB panel needs: its largest magnitude with a tenth to spare, never under `least`.
double span_of(const std::vector<double>& values, std::size_t from, double least) {
  double largest = 0;
  for (std::size_t i = from; i < values.size(); ++i)
    largest = std::max(largest, std::abs(values[i]));
  return std::max(least, largest * 1.1);
}

double font_pixels(const QRectF& area) {
  return std::clamp(area.height() / 50, 11.0, 40.0);
}

QString number(double value) {
  return QString::number(value, 'g', 5);
}

// A value as the report shows it: ohms as Ω.
QString with_omega(const std::string& value) {
  return text(value).replace(" Ohm", QString::fromUtf8(" \u03a9"));
}

// One panel's frame, its name, its value ticks and the code grid.
void frame_panel(QPainter& p, const Layout& l, const QRectF& panel, const QString& name, double low,
                 double high, double font) {
  p.setPen(QPen(QColor(225, 225, 225), 1));
  for (const double code : ticks(l.code_low, l.code_high, 8)) {
    p.drawLine(QPointF(l.x(code), panel.top()), QPointF(l.x(code), panel.bottom()));
  }
  const auto y = [&](double v) {
    return panel.bottom() - (v - low) / (high - low) * panel.height();
  };
  const QFontMetricsF metrics(p.font());
  // At least four labelled values, so a value can be read off.
  std::vector<double> values = ticks(low, high, 4);
  for (int wanted = 5; values.size() < 4 && wanted <= 12; ++wanted)
    values = ticks(low, high, wanted);
  for (const double v : values) {
    p.setPen(QPen(QColor(225, 225, 225), 1));
    p.drawLine(QPointF(panel.left(), y(v)), QPointF(panel.right(), y(v)));
    p.setPen(Qt::black);
    const QString label = number(v);
    p.drawText(QPointF(panel.left() - metrics.horizontalAdvance(label) - font * 0.4,
                       y(v) + metrics.ascent() / 2.5),
               label);
  }
  p.setPen(QPen(Qt::black, 1));
  p.setBrush(Qt::NoBrush);
  p.drawRect(panel);
  p.drawText(QPointF(panel.left() + font * 0.4, panel.top() - font * 0.35), name);
}

void polyline(QPainter& p, const std::vector<QPointF>& points, const QPen& pen) {
  if (points.empty()) return;
  p.setPen(pen);
  if (points.size() == 1) {
    p.drawPoint(points.front());
    return;
  }
  p.drawPolyline(points.data(), static_cast<int>(points.size()));
}

}  // namespace

double Layout::x(double code) const {
  const double low = code_low - code_pad, high = code_high + code_pad;
  return readings.left() + (code - low) / (high - low) * readings.width();
}

QPointF Layout::reading(double code, double value) const {
  return {x(code),
          readings.bottom() - (value - value_low) / (value_high - value_low) * readings.height()};
}

QPointF Layout::inl_point(double code, double lsb) const {
  return {x(code), inl.center().y() - lsb / inl_span * inl.height() / 2};
}

QPointF Layout::dnl_point(double code, double lsb) const {
  return {x(code), dnl.center().y() - lsb / dnl_span * dnl.height() / 2};
}

std::vector<double> ticks(double low, double high, int wanted) {
  std::vector<double> at;
  if (!(high > low) || wanted < 1) return at;
  const double raw = (high - low) / wanted;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  double step = power;
  for (const double m : {1.0, 2.0, 5.0, 10.0}) {
    step = m * power;
    if (step >= raw) break;
  }
  // Each a whole multiple of the step, so that no error adds up along the axis.
  for (double k = std::ceil(low / step - 1e-9); k * step <= high + step * 1e-9; ++k) {
    at.push_back(k == 0 ? 0 : k * step);
  }
  return at;
}

QString shown_unit(const std::string& unit) {
  return unit == "Ohm" ? QString::fromUtf8("\u03a9") : text(unit);
}

namespace {

QFont plain_font(double pixels) {
  QFont font("Liberation Sans");
  font.setPixelSize(static_cast<int>(pixels));
  return font;
}

// The height `words` take wrapped to `width` in `font`.
double wrapped_height(const QFont& font, double width, const QString& words) {
  if (words.isEmpty()) return 0;
  return QFontMetricsF(font)
      .boundingRect(QRectF(0, 0, width, 1e6), Qt::TextWordWrap, words)
      .height();
}

}  // namespace

Layout layout(const QRectF& area, const PlotData& data) {
  const double font = font_pixels(area);
  Layout l;
  const double left = area.left() + font * 6, right = area.right() - font * 1.5;
  // The title, then the note wrapped within the plot's width.
  const double note = wrapped_height(plain_font(font), right - left, text(data.note));
  const double top = area.top() + font * 3.2 + (note > 0 ? note + font * 0.3 : 0);
  const double foot =
      data.provenance.empty()
          ? 0
          : wrapped_height(plain_font(font * 0.85), right - left, text(data.provenance)) +
                font * 0.3;
  const double bottom = area.bottom() - font * 3 - foot;
  const double gap = font * 2.2;
  const double height = std::max(bottom - top - 2 * gap, font * 6);
  l.readings = QRectF(QPointF(left, top), QPointF(right, top + height * 0.5));
  l.inl = QRectF(QPointF(left, l.readings.bottom() + gap),
                 QPointF(right, l.readings.bottom() + gap + height * 0.25));
  l.dnl = QRectF(QPointF(left, l.inl.bottom() + gap),
                 QPointF(right, l.inl.bottom() + gap + height * 0.25));

  l.code_low = std::min(data.first_code, data.last_code);
  l.code_high = std::max(data.first_code, data.last_code);
  std::vector<int> codes;
  for (const auto& point : data.points) {
    l.code_low = std::min<double>(l.code_low, point.code);
    l.code_high = std::max<double>(l.code_high, point.code);
    codes.push_back(point.code);
  }
  if (l.code_high <= l.code_low) l.code_high = l.code_low + 1;
  // Half the closest codes' spacing at each end: a stem there is drawn whole inside the frame.
  std::sort(codes.begin(), codes.end());
  double spacing = 0;
  for (std::size_t i = 1; i < codes.size(); ++i) {
    const double d = codes[i] - codes[i - 1];
    if (d > 0 && (spacing == 0 || d < spacing)) spacing = d;
  }
  l.code_pad = (spacing > 0 ? spacing : 1) / 2;

  if (!data.points.empty()) {
    const auto [low, high] = std::minmax_element(
        data.points.begin(), data.points.end(),
        [](const analysis::Point& a, const analysis::Point& b) { return a.value < b.value; });
    l.value_low = low->value;
    l.value_high = high->value;
  }
  const double pad = l.value_high > l.value_low ? (l.value_high - l.value_low) * 0.06 : 1;
  l.value_low -= pad;
  l.value_high += pad;
  if (data.figures) {
    // Room for the ±1 LSB guide lines always.
    l.inl_span =
        std::max(span_of(data.figures->inl, 0, 1.6), span_of(data.figures->inl_best, 0, 1.6));
    l.dnl_span = span_of(data.figures->dnl, 1, 1.2);
  }
  return l;
}

void draw(QPainter& p, const QRectF& area, const PlotData& data) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.setClipRect(area);
  p.fillRect(area, Qt::white);
  const double font_px = font_pixels(area);
  const QFont font = plain_font(font_px);
  p.setFont(font);
  const Layout l = layout(area, data);
  const double line = std::max(1.0, font_px / 7);
  const QString unit = shown_unit(data.unit);

  QFont bold = font;
  bold.setBold(true);
  p.setFont(bold);
  p.setPen(Qt::black);
  p.drawText(QPointF(l.readings.left(), area.top() + font_px * 1.4),
             "Reading (" + unit + ") against code");
  p.setFont(font);
  if (!data.note.empty()) {
    p.setPen(colour(kFaultColour));
    p.drawText(QRectF(QPointF(l.readings.left(), area.top() + font_px * 2.0),
                      QPointF(l.readings.right(), l.readings.top() - font_px * 1.2)),
               Qt::TextWordWrap, text(data.note));
  }

  frame_panel(p, l, l.readings, unit, l.value_low, l.value_high, font_px);
  frame_panel(p, l, l.inl, "INL (LSB)", -l.inl_span, l.inl_span, font_px);
  frame_panel(p, l, l.dnl, "DNL (LSB)", -l.dnl_span, l.dnl_span, font_px);

  // The code axis, under the lowest panel; then where the readings came from.
  const QFontMetricsF metrics(font);
  p.setPen(Qt::black);
  for (const double code : ticks(l.code_low, l.code_high, 8)) {
    const QString label = number(code);
    p.drawText(
        QPointF(l.x(code) - metrics.horizontalAdvance(label) / 2, l.dnl.bottom() + font_px * 1.3),
        label);
  }
  p.drawText(QPointF(l.dnl.center().x() - metrics.horizontalAdvance("Code") / 2,
                     l.dnl.bottom() + font_px * 2.6),
             "Code");
  if (!data.provenance.empty()) {
    p.setFont(plain_font(font_px * 0.85));
    p.setPen(QColor(90, 90, 90));
    p.drawText(QRectF(QPointF(l.readings.left(), l.dnl.bottom() + font_px * 3.1),
                      QPointF(l.readings.right(), area.bottom())),
               Qt::TextWordWrap, text(data.provenance));
    p.setFont(font);
  }

  // Each panel's marks stay within its frame; a guide line runs across the whole code axis.
  const auto inside = [&](const QRectF& panel) {
    p.setClipRect(panel.adjusted(0.5, 0.5, -0.5, -0.5));
  };
  const double first = l.code_low - l.code_pad, last = l.code_high + l.code_pad;
  const auto across = [&](QPointF (Layout::*point)(double, double) const, double lsb) {
    p.drawLine((l.*point)(first, lsb), (l.*point)(last, lsb));
  };
  if (data.figures) {
    const analysis::Figures& f = *data.figures;

    // INL: zero, the ±1 LSB guides, then best fit under end-point.
    inside(l.inl);
    p.setPen(QPen(Qt::black, line / 2));
    across(&Layout::inl_point, 0);
    p.setPen(QPen(QColor(150, 150, 150), line / 2, Qt::DashLine));
    for (const double guide : {-1.0, 1.0}) {
      across(&Layout::inl_point, guide);
    }
    std::vector<QPointF> inl, best;
    for (std::size_t i = 0; i < f.points.size(); ++i) {
      inl.push_back(l.inl_point(f.points[i].code, f.inl[i]));
      best.push_back(l.inl_point(f.points[i].code, f.inl_best[i]));
    }
    polyline(p, best, QPen(colour(kInlBestColour), line));
    polyline(p, inl, QPen(colour(kInlColour), line * 1.5));
    // The legend, one line in the INL panel's upper right corner, on white so a curve under it
    // cannot hide it.
    {
      const QString end_point = "end-point", best_fit = "best fit (least squares)";
      const double sample = font_px * 1.6, room = font_px * 0.5;
      const double width = sample * 2 + room * 6 + metrics.horizontalAdvance(end_point) +
                           metrics.horizontalAdvance(best_fit);
      const QRectF box(l.inl.right() - width - room, l.inl.top() + room, width, font_px * 1.4);
      p.fillRect(box, QColor(255, 255, 255, 230));
      const double y = box.center().y();
      double x = box.left() + room;
      p.setPen(QPen(colour(kInlColour), line * 1.5));
      p.drawLine(QPointF(x, y), QPointF(x + sample, y));
      x += sample + room;
      p.setPen(Qt::black);
      p.drawText(QPointF(x, y + metrics.ascent() / 2.5), end_point);
      x += metrics.horizontalAdvance(end_point) + room * 2;
      p.setPen(QPen(colour(kInlBestColour), line));
      p.drawLine(QPointF(x, y), QPointF(x + sample, y));
      x += sample + room;
      p.setPen(Qt::black);
      p.drawText(QPointF(x, y + metrics.ascent() / 2.5), best_fit);
    }

    // DNL: zero, +1, and -1, below which a step goes backwards; a stem a step, from 0.
    inside(l.dnl);
    p.setPen(QPen(Qt::black, line / 2));
    across(&Layout::dnl_point, 0);
    p.setPen(QPen(QColor(150, 150, 150), line / 2, Qt::DashLine));
    across(&Layout::dnl_point, 1);
    p.setPen(QPen(colour(kFaultColour), line / 2, Qt::DashLine));
    across(&Layout::dnl_point, -1);
    p.setPen(QPen(colour(kDnlColour),
                  std::max(line, l.dnl.width() / (l.code_high - l.code_low + 1) * 0.6),
                  Qt::SolidLine, Qt::FlatCap));
    for (std::size_t i = 1; i < f.points.size(); ++i) {
      p.drawLine(l.dnl_point(f.points[i].code, 0), l.dnl_point(f.points[i].code, f.dnl[i]));
    }
    // Its name above it, on white over the stems.
    const QString below = "-1 LSB: at or below it, not monotonic";
    const QPointF at = l.dnl_point(first, -1) + QPointF(font_px * 0.4, -font_px * 0.3);
    p.fillRect(QRectF(at - QPointF(font_px * 0.2, metrics.ascent()),
                      QSizeF(metrics.horizontalAdvance(below) + font_px * 0.4, metrics.height())),
               QColor(255, 255, 255, 230));
    p.setPen(colour(kFaultColour));
    p.drawText(at, below);
  }

  inside(l.readings);
  std::vector<analysis::Point> sorted = data.points;
  std::stable_sort(
      sorted.begin(), sorted.end(),
      [](const analysis::Point& a, const analysis::Point& b) { return a.code < b.code; });
  std::vector<QPointF> curve;
  for (const auto& point : sorted) curve.push_back(l.reading(point.code, point.value));
  polyline(p, curve, QPen(colour(kReadingColour), line * 1.5));
  if (curve.size() <= 64) {
    p.setBrush(colour(kReadingColour));
    p.setPen(Qt::NoPen);
    for (const QPointF& at : curve) p.drawEllipse(at, line * 2, line * 2);
  }

  // The ideal line through the end points, across the code axis: over the curve, thin and
  // dashed, since a good part's curve lies right on it.
  if (data.figures) {
    const analysis::Figures& f = *data.figures;
    const analysis::Point& end = f.points.front();
    const auto ideal = [&](double code) { return end.value + (code - end.code) * f.lsb; };
    p.setPen(QPen(colour(kIdealColour), line * 0.5, Qt::DashLine));
    p.drawLine(l.reading(first, ideal(first)), l.reading(last, ideal(last)));
  }

  // The key, in the readings panel's upper left corner, where a rising curve leaves room.
  {
    const double x = l.readings.left() + font_px, y = l.readings.top() + font_px * 1.3;
    p.setPen(QPen(colour(kReadingColour), line * 1.5));
    p.drawLine(QPointF(x, y - font_px / 3), QPointF(x + font_px * 2, y - font_px / 3));
    p.setPen(QPen(colour(kIdealColour), line * 0.5, Qt::DashLine));
    p.drawLine(QPointF(x, y + font_px), QPointF(x + font_px * 2, y + font_px));
    p.setPen(Qt::black);
    p.drawText(QPointF(x + font_px * 2.6, y), "readings (mean at each code)");
    p.drawText(QPointF(x + font_px * 2.6, y + font_px * 1.33),
               "ideal: the line through the end points");
  }

  // The first few steps that go backwards, ringed where they are, and named in one line at the
  // panel's foot with the count of the rest: a coarse meter's flat steps would fill the panel.
  if (data.figures && !data.figures->monotonic()) {
    const std::vector<int>& backwards = data.figures->not_monotonic;
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(colour(kFaultColour), line * 1.5));
    QStringList named;
    for (const int code : backwards) {
      if (static_cast<std::size_t>(named.size()) == kMostRinged) break;
      for (const auto& point : sorted) {
        if (point.code == code)
          p.drawEllipse(l.reading(code, point.value), font_px * 0.8, font_px * 0.8);
      }
      named << QString::number(code);
    }
    QString words = "not monotonic at " + named.join(", ");
    if (backwards.size() > static_cast<std::size_t>(named.size())) {
      words += QString("; %1 more steps not monotonic (DNL at or below -1), not ringed")
                   .arg(backwards.size() - static_cast<std::size_t>(named.size()));
    }
    const QRectF foot =
        l.readings.adjusted(font_px * 0.5, font_px * 0.5, -font_px * 0.5, -font_px * 0.4);
    const QRectF used =
        metrics.boundingRect(foot, Qt::AlignRight | Qt::AlignBottom | Qt::TextWordWrap, words);
    p.fillRect(used.adjusted(-font_px * 0.2, 0, font_px * 0.2, 0), QColor(255, 255, 255, 230));
    p.setPen(colour(kFaultColour));
    p.drawText(foot, Qt::AlignRight | Qt::AlignBottom | Qt::TextWordWrap, words);
  }
  p.restore();
}

std::optional<std::string> picture_format(const std::string& path) {
  const QString name = text(path);
  for (const char* format : {"png", "svg"}) {
    const QString extension = QString(".") + format;
    if (name.size() > extension.size() && name.endsWith(extension, Qt::CaseInsensitive)) {
      return format;
    }
  }
  return std::nullopt;
}

void save_picture(const std::string& path, const PlotData& data, QSize size) {
  const QString name = text(path);
  const std::optional<std::string> format = picture_format(path);
  if (format == "png") {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
      QPainter painter(&image);
      draw(painter, QRectF(QPointF(0, 0), QSizeF(size)), data);
    }
    QImageWriter writer(name, "png");
    if (!writer.write(image)) {
      throw std::runtime_error("cannot write the plot to " + path + ": " +
                               writer.errorString().toStdString());
    }
    return;
  }
  if (format == "svg") {
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
      throw std::runtime_error("cannot write the plot to " + path + ": " +
                               file.errorString().toStdString());
    }
    QSvgGenerator svg;
    svg.setOutputDevice(&file);
    svg.setSize(size);
    svg.setViewBox(QRect(QPoint(0, 0), size));
    svg.setTitle("VX3071 characterisation");
    {
      QPainter painter(&svg);
      draw(painter, QRectF(QPointF(0, 0), QSizeF(size)), data);
    }
    if (file.error() != QFileDevice::NoError || !file.flush()) {
      throw std::runtime_error("cannot write the plot to " + path + ": " +
                               file.errorString().toStdString());
    }
    return;
  }
  throw std::runtime_error("the plot is written as F.png or F.svg, not " + path);
}

void save_report(const std::string& path, const PlotData& data,
                 const std::vector<std::pair<std::string, std::string>>& settings,
                 const std::vector<std::pair<std::string, std::string>>& figures) {
  QFile file(text(path));
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    throw std::runtime_error("cannot write the report to " + path + ": " +
                             file.errorString().toStdString());
  }
  QPdfWriter pdf(&file);
  pdf.setPageSize(QPageSize(QPageSize::A4));
  pdf.setResolution(300);
  pdf.setPageMargins(QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter);
  pdf.setTitle("VX3071 characterisation");
  pdf.setCreator("vx3071");
  QPainter p;
  if (!p.begin(&pdf)) throw std::runtime_error("cannot write the report to " + path);
  const QRectF page(QPointF(0, 0), QSizeF(pdf.width(), pdf.height()));
  const double px = page.width() / 62;  // some 9 points on an A4 page's text width

  QFont font("Liberation Sans");
  font.setPixelSize(static_cast<int>(px));
  QFont title = font;
  title.setPixelSize(static_cast<int>(px * 1.7));
  title.setBold(true);
  QFont bold = font;
  bold.setBold(true);

  double y = px * 1.7;
  p.setFont(title);
  p.drawText(QPointF(0, y), "VX3071 characterisation");
  y += px * 2.2;
  if (!data.note.empty()) {
    // Wrapped within the page, however long the reason.
    p.setFont(bold);
    p.setPen(colour(kFaultColour));
    QRectF used;
    p.drawText(QRectF(0, y - px, page.width(), page.height() / 4), Qt::TextWordWrap,
               text(data.note), &used);
    p.setPen(Qt::black);
    y += used.height() + px * 0.8;
  }
  // Two tables side by side: the settings, and the figures.
  const auto table = [&](double x, double width, const char* heading,
                         const std::vector<std::pair<std::string, std::string>>& rows) {
    double at = y;
    p.setFont(bold);
    p.drawText(QPointF(x, at), heading);
    at += px * 1.6;
    const double names = width * 0.36;
    for (const auto& [name, value] : rows) {
      p.setFont(bold);
      const QRectF name_box(x, at - px, names - px * 0.5, px * 4);
      p.drawText(name_box, Qt::TextWordWrap, text(name));
      p.setFont(font);
      const QRectF value_box(x + names, at - px, width - names, px * 6);
      QRectF used;
      p.drawText(value_box, Qt::TextWordWrap, with_omega(value), &used);
      at += std::max(used.height(), px * 1.2) + px * 0.35;
    }
    return at;
  };
  const double half = page.width() / 2;
  const double below = std::max(table(0, half - px, "Settings", settings),
                                table(half + px, half - px, "Figures", figures));
  const QRectF plot_area(QPointF(0, below + px), QPointF(page.width(), page.height()));
  PlotData plotted = data;
  plotted.note.clear();  // said above
  draw(p, plot_area, plotted);
  if (!p.end()) throw std::runtime_error("cannot write the report to " + path);
  if (!file.flush() || file.error() != QFileDevice::NoError) {
    throw std::runtime_error("cannot write the report to " + path + ": " +
                             file.errorString().toStdString());
  }
}

Application::Application() {
  if (QCoreApplication::instance()) return;
  // Qt's notes about the session (no XDG_RUNTIME_DIR) mean nothing to a command's user.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
      std::fprintf(stderr, "vx3071: Qt: %s\n", qPrintable(message));
    }
  });
  static int argc = 3;
  static char name[] = "vx3071", option[] = "-platform", platform[] = "offscreen";
  static char* argv[] = {name, option, platform, nullptr};
  made_ = std::make_unique<QGuiApplication>(argc, argv);
}

Application::~Application() = default;

}  // namespace vx::plot
