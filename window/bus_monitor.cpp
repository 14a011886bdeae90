#include "window/bus_monitor.h"

#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStaticText>
#include <QThread>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "frame/line_protocol.h"
#include "port/port.h"
#include "port/trace.h"
#include "window/main_window.h"
#include "window/widgets.h"

namespace vx::panel {

namespace {

// Rows of the diagram, top to bottom: the decoded frames, then the three lines.
constexpr int kLabelTop = 6, kLabelHeight = 22;
constexpr int kRowTop[] = {44, 92, 140};
constexpr int kRowHeight = 30;
constexpr const char* kRowNames[] = {"SCL", "SDA", "SDA_OUT"};
constexpr double kMinPitch = 0.05, kMaxPitch = 64.0, kDefaultPitch = 8.0;

QColor colour_of(decode::Kind kind) {
  switch (kind) {
    case decode::Kind::start:
    case decode::Kind::repeat_start:
    case decode::Kind::stop:
      return QColor(0x2e, 0x8b, 0x57);
    case decode::Kind::address_read:
    case decode::Kind::address_write:
      return QColor(0x1f, 0x5f, 0xbf);
    case decode::Kind::data_read:
    case decode::Kind::data_write:
      return QColor(0x6a, 0x3d, 0x9a);
    case decode::Kind::ack:
      return QColor(0x40, 0x80, 0x40);
    case decode::Kind::nack:
    case decode::Kind::broken:
      return QColor(0xd0, 0x20, 0x20);
  }
  return Qt::black;
}

bool level(const decode::Lines& lines, int row) {
  return row == 0 ? lines.scl : row == 1 ? lines.sda : lines.sda_out;
}

}  // namespace

BusDiagram::BusDiagram(const decode::AccessRing& ring, QWidget* parent)
    : QWidget(parent), ring_(ring) {
  setObjectName("busDiagram");
  setMouseTracking(true);
  setFocusPolicy(Qt::StrongFocus);
  setMinimumSize(400, kRowTop[2] + kRowHeight + 12);
  setFont(panel_font(8.25));
  setAutoFillBackground(true);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, Qt::white);
  setPalette(colours);
}

void BusDiagram::decode_if_new() {
  if (decoded_end_ < ring_.begin()) {
    // More came than the ring keeps while the diagram looked away: start from what is kept.
    decoder_ = {};
    last_ = {};
    lines_.clear();
    annotations_.clear();
    decoded_end_ = lines_begin_ = ring_.begin();
  }
  for (std::size_t n = decoded_end_; n < ring_.end(); ++n) {
    last_ = decode::lines_after(last_, ring_.at(n));
    lines_.push_back(last_);
    fresh_.clear();
    decoder_.feed(n, last_, fresh_);
    annotations_.insert(annotations_.end(), fresh_.begin(), fresh_.end());
  }
  decoded_end_ = ring_.end();
  for (; lines_begin_ < ring_.begin(); ++lines_begin_) lines_.pop_front();
  while (!annotations_.empty() && annotations_.front().last < ring_.begin()) {
    annotations_.pop_front();
  }
}

void BusDiagram::refresh() {
  decode_if_new();
  if (follow_) scroll_to_end();
  update();
}

void BusDiagram::show_last_action() {
  auto [first, last] = ring_.last_action();
  if (first == last) first = ring_.begin();
  if (first == last) {  // nothing yet: the zoom at which frames read best
    pitch_ = kDefaultPitch;
    follow_ = true;
    refresh();
    return;
  }
  const double count = static_cast<double>(last - first) + 2;
  pitch_ = std::clamp(traces_width() / count, kMinPitch, kMaxPitch);
  first_ = static_cast<double>(first) - 1;
  follow_ = true;
  refresh();
}

void BusDiagram::scroll_to_end() {
  first_ = std::max(static_cast<double>(ring_.begin()),
                    static_cast<double>(ring_.end()) + 1 - traces_width() / pitch_);
}

void BusDiagram::clamp() {
  const double last = static_cast<double>(ring_.end()) + 1 - traces_width() / pitch_;
  first_ = std::clamp(first_, static_cast<double>(ring_.begin()) - traces_width() / pitch_ / 2,
                      std::max(last, static_cast<double>(ring_.begin())));
  follow_ = first_ >= last - 0.5;
}

// Labels repeat (S, A, 2C W, SCL...): each is laid out once, not at every paint.
const QStaticText& BusDiagram::label(const std::string& text, const QFont& font) {
  auto found = labels_.find(text);
  if (found == labels_.end()) {
    found = labels_.emplace(text, QStaticText(QString::fromStdString(text))).first;
    found->second.prepare(QTransform(), font);
  }
  return found->second;
}

std::vector<std::string> BusDiagram::labels() {
  decode_if_new();
  std::vector<std::string> texts;
  for (const auto& a : annotations_) texts.push_back(decode::short_text(a));
  return texts;
}

void BusDiagram::paintEvent(QPaintEvent*) {
  decode_if_new();  // also for a diagram grabbed before it was ever shown
  drawn_.clear();
  QPainter painter(this);
  const std::size_t begin = ring_.begin();
  const auto sample_of = [&](std::size_t access) { return access - lines_begin_; };
  const double visible = traces_width() / pitch_;
  const auto from = static_cast<std::size_t>(std::max(std::floor(first_), double(begin)));
  const auto to = std::min(ring_.end(), static_cast<std::size_t>(std::ceil(first_ + visible)) + 1);

  // The channel names in a column of their own; everything else right of it.
  painter.setPen(Qt::black);
  for (int row = 0; row < 3; ++row) {
    const QStaticText& name = label(kRowNames[row], painter.font());
    const QPointF at(4, kRowTop[row] + (kRowHeight - name.size().height()) / 2);
    painter.drawStaticText(at, name);
    drawn_.push_back({kRowNames[row], QRectF(at, name.size())});
  }
  painter.setPen(QColor(0xd0, 0xd0, 0xd0));
  painter.drawLine(kNameColumn - 1, 0, kNameColumn - 1, height());
  painter.setClipRect(QRect(kNameColumn, 0, width() - kNameColumn, height()));

  for (int row = 0; row < 3; ++row) {
    const int high = kRowTop[row], low = kRowTop[row] + kRowHeight;
    painter.setPen(QColor(0xe8, 0xe8, 0xe8));
    painter.drawLine(kNameColumn, low, width(), low);
    if (from >= to) continue;
    QPolygon trace;
    for (std::size_t a = from; a < to; ++a) {
      const int y = level(lines_[sample_of(a)], row) ? high : low;
      trace << QPoint(int(std::lround(x_of(double(a)))), y)
            << QPoint(int(std::lround(x_of(double(a) + 1))), y);
    }
    // One-pixel integer lines keep to the rasteriser's fastest path.
    painter.setPen(row == 1 ? QColor(0x1f, 0x5f, 0xbf) : QColor(Qt::black));
    painter.drawPolyline(trace);
  }
  // Where each status read took its sample.
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0xff, 0x8c, 0x00));
  for (std::size_t a = from; a < to; ++a) {
    if (ring_.at(a).write) continue;
    const double y = level(lines_[sample_of(a)], 1) ? kRowTop[1] : kRowTop[1] + kRowHeight;
    painter.drawEllipse(QPointF(x_of(double(a) + 0.5), y), 3, 3);
  }
  painter.setBrush(Qt::NoBrush);
  // The decoded frames. A START, STOP or acknowledge takes one access, narrower than its letter
  // at most zooms: its box grows to hold the letter, as a logic analyser draws it, moved right
  // of the label before where they would meet, as long as it still touches its access; longer
  // texts are written where their span holds them.
  double drawn_right = -1e9;
  for (const decode::Annotation& a : annotations_) {
    const double left = x_of(double(a.first));
    const double right = x_of(double(a.last) + 1);
    if (right < kNameColumn || left > width()) continue;
    const std::string text = decode::short_text(a);
    const QStaticText& shown = label(text, painter.font());
    const double needed = shown.size().width() + 4;
    QRectF box(left, kLabelTop, std::max(right - left, 2.0), kLabelHeight);
    if (text.size() <= 2 && box.width() < needed) {
      const double grown_left = std::max(box.center().x() - needed / 2, drawn_right);
      if (grown_left <= right) box = QRectF(grown_left, kLabelTop, needed, kLabelHeight);
    }
    painter.setPen(colour_of(a.kind));
    painter.drawRect(box);
    const QPointF at(box.center().x() - shown.size().width() / 2,
                     box.center().y() - shown.size().height() / 2);
    if (needed <= box.width() + 0.5 && box.left() >= drawn_right && at.x() >= kNameColumn) {
      painter.drawStaticText(at, shown);
      drawn_.push_back({text, QRectF(at, shown.size())});
      drawn_right = box.right();
    }
  }
  // Port errors, where they happened.
  painter.setPen(QPen(QColor(0xd0, 0x20, 0x20), 2));
  for (const auto& failure : ring_.failures()) {
    const double x = x_of(double(failure));
    if (x < kNameColumn || x > width()) continue;
    painter.drawLine(QPointF(x, kLabelTop), QPointF(x, kRowTop[2] + kRowHeight));
    painter.drawText(QPointF(x + 3, kRowTop[0] - 4), "port error");
  }
}

void BusDiagram::wheelEvent(QWheelEvent* event) {
  const double x = event->position().x();
  const double under = access_at(x);
  const double steps = event->angleDelta().y() / 120.0;
  pitch_ = std::clamp(pitch_ * std::pow(1.25, steps), kMinPitch, kMaxPitch);
  first_ = under - (x - kNameColumn) / pitch_;  // the access under the pointer stays there
  follow_ = first_ + traces_width() / pitch_ >= static_cast<double>(ring_.end()) + 0.5;
  update();
  event->accept();
}

void BusDiagram::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) drag_ = event->position();
}

void BusDiagram::mouseMoveEvent(QMouseEvent* event) {
  if (drag_) {
    first_ -= (event->position().x() - drag_->x()) / pitch_;
    drag_ = event->position();
    clamp();
    update();
    return;
  }
  const double at = std::floor(access_at(event->position().x()));
  if (at < double(ring_.begin()) || at >= double(ring_.end())) {
    emit hovered({});
    return;
  }
  const auto number = static_cast<std::size_t>(at);
  const decode::Access& access = ring_.at(number);
  emit hovered(QString("access %1: %2 %3")
                   .arg(number)
                   .arg(access.write ? "write" : "read")
                   .arg(QString::number(access.value, 16).toUpper()));
}

void BusDiagram::mouseReleaseEvent(QMouseEvent*) {
  drag_.reset();
}

void BusDiagram::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Home) {
    show_last_action();
    return;
  }
  QWidget::keyPressEvent(event);
}

void BusDiagram::resizeEvent(QResizeEvent*) {
  if (follow_) scroll_to_end();
}

void BusDiagram::leaveEvent(QEvent*) {
  emit hovered({});
}

BusMonitor::BusMonitor(port::PortAccess& port, QWidget* parent)
    : QWidget(parent, Qt::Window), port_(port) {
  setObjectName("busMonitor");
  setWindowTitle("Bus monitor");
  setAttribute(Qt::WA_QuitOnClose, false);  // the panel's window alone ends the program
  diagram_ = new BusDiagram(ring_, this);
  hover_ = new QLabel(this);
  hover_->setObjectName("busHover");
  auto* save_vcd = new QPushButton("Save &VCD...", this);
  save_vcd->setObjectName("saveVcd");
  auto* save_png = new QPushButton("Save &PNG...", this);
  save_png->setObjectName("savePng");
  connect(save_vcd, &QPushButton::clicked, this, [this] { ask_and_save(true); });
  connect(save_png, &QPushButton::clicked, this, [this] { ask_and_save(false); });
  connect(diagram_, &BusDiagram::hovered, hover_, &QLabel::setText);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(hover_, 1);
  buttons->addWidget(save_vcd);
  buttons->addWidget(save_png);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(diagram_, 1);
  layout->addLayout(buttons);
  resize(960, 260);
  port_.set_observer(this);
}

BusMonitor::~BusMonitor() {
  port_.set_observer(nullptr);
}

void BusMonitor::on_write(std::int16_t, std::int16_t value, std::optional<bool> bus_sda) {
  see({Seen::Kind::access, {true, static_cast<std::uint16_t>(value), bus_sda}});
}

void BusMonitor::on_read(std::int16_t, std::int32_t value, std::optional<bool> bus_sda) {
  see({Seen::Kind::access, {false, static_cast<std::uint32_t>(value), bus_sda}});
}

void BusMonitor::on_failure(const std::string&) {
  see({Seen::Kind::failure, {}});
}

void BusMonitor::on_idle() {
  see({Seen::Kind::idle, {}});
}

void BusMonitor::see(const Seen& seen) {
  if (QThread::currentThread() != thread()) {
    bool first = false;
    {
      const std::lock_guard lock(seen_mutex_);
      first = seen_.empty();
      seen_.push_back(seen);
    }
    if (first) QMetaObject::invokeMethod(this, &BusMonitor::take_seen, Qt::QueuedConnection);
    return;
  }
  switch (seen.kind) {
    case Seen::Kind::access:
      ring_.push(seen.access);
      return;
    case Seen::Kind::failure:
      ring_.fail();
      break;
    case Seen::Kind::idle:
      ring_.end_action();
      break;
  }
  if (isVisible()) diagram_->refresh();
}

void BusMonitor::take_seen() {
  std::vector<Seen> taken;
  {
    const std::lock_guard lock(seen_mutex_);
    taken.swap(seen_);
  }
  for (const Seen& seen : taken) see(seen);
}

bool BusMonitor::save_vcd(const QString& path, QString& error) const {
  try {
    const auto recorder =
        port::TraceRecorder::create(path.toStdString(), port::TraceRecorder::Use::saved);
    auto wait = ring_.waits().begin();
    for (std::size_t n = ring_.begin(); n < ring_.end(); ++n) {
      // The trace is completed wherever the program waited, as the live trace was.
      for (; wait != ring_.waits().end() && *wait <= n; ++wait) {
        if (*wait == n && n > ring_.begin()) recorder->flush();
      }
      const decode::Access& a = ring_.at(n);
      if (a.write) {
        recorder->record_write(frame::kDataRegister, static_cast<std::int16_t>(a.value), a.bus_sda);
      } else {
        recorder->record_read(frame::kStatusRegister, static_cast<std::int32_t>(a.value),
                              a.bus_sda);
      }
    }
    recorder->close();
    if (auto failure = recorder->take_error()) {
      error = QString::fromStdString(*failure);
      return false;
    }
  } catch (const port::TraceError& failure) {
    error = QString::fromStdString(failure.what());
    return false;
  }
  return true;
}

bool BusMonitor::save_png(const QString& path, QString& error) const {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    error = path + " was not saved: " + file.errorString();
    return false;
  }
  if (!diagram_->grab().save(&file, "PNG") || !file.flush()) {
    error = path + " was not saved: " + file.errorString();
    file.remove();
    return false;
  }
  return true;
}

void BusMonitor::ask_and_save(bool vcd) {
  const QString path = QFileDialog::getSaveFileName(
      this, vcd ? "Save as VCD" : "Save as PNG", vcd ? "bus.vcd" : "bus.png",
      vcd ? "Value Change Dump (*.vcd)" : "PNG image (*.png)");
  if (path.isEmpty()) return;
  QString error;
  const bool saved = vcd ? save_vcd(path, error) : save_png(path, error);
  hover_->setText(saved ? "saved " + path : error);
}

void BusMonitor::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F2) {
    hide();
    return;
  }
  QWidget::keyPressEvent(event);
}

void place_beside(QWidget& window, const QWidget& panel) {
  const QRect beside = panel.frameGeometry();
  const QRect screen = panel.screen()->availableGeometry();
  // The frame around the window's contents, where a window manager has drawn one.
  const QSize frame = window.frameGeometry().size() - window.geometry().size();
  const QSize size = window.size().expandedTo(window.minimumSizeHint()) + frame;
  QPoint at(beside.right() + 1, beside.top());  // right of the panel
  if (at.x() + size.width() - 1 > screen.right()) at = QPoint(beside.left(), beside.bottom() + 1);
  at.setX(std::clamp(at.x(), screen.left(),
                     std::max(screen.left(), screen.right() + 1 - size.width())));
  at.setY(std::clamp(at.y(), screen.top(),
                     std::max(screen.top(), screen.bottom() + 1 - size.height())));
  window.move(at);
}

void bind_monitor_key(Form1& panel, BusMonitor& monitor) {
  auto* key = new QShortcut(QKeySequence(Qt::Key_F2), &panel);
  QObject::connect(key, &QShortcut::activated, &monitor, [&monitor, &panel] {
    if (monitor.isVisible()) {
      monitor.hide();
    } else {
      place_beside(monitor, panel);
      monitor.show();
      monitor.raise();
      monitor.diagram().show_last_action();
    }
  });
}

}  // namespace vx::panel
