#pragma once

#include <QStaticText>
#include <QWidget>
#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "decode/decoder.h"
#include "decode/ring.h"
#include "port/port_access.h"

class QLabel;

namespace vx::panel {

class Form1;

// The timing diagram of the last accesses: one column per access, as the trace counts time;
// SCL, SDA and SDA_OUT, each read sample marked, the decoded frames above, port errors in red.
// The wheel zooms around the pointer, a drag pans, Home shows the last action whole; it follows
// new accesses unless scrolled back.
class BusDiagram final : public QWidget {
  Q_OBJECT

 public:
  explicit BusDiagram(const decode::AccessRing& ring, QWidget* parent = nullptr);

  // New accesses arrived: decode again, and follow them unless the user scrolled back.
  void refresh();
  void show_last_action();

  // The column of the channel names, left of the traces.
  static constexpr int kNameColumn = 64;

  // The access number under x, and the x of an access number's column.
  double access_at(double x) const { return first_ + (x - kNameColumn) / pitch_; }
  double x_of(double access) const { return kNameColumn + (access - first_) * pitch_; }
  double pitch() const { return pitch_; }
  bool following() const { return follow_; }
  // The decoded frames, in order, as the diagram labels them.
  std::vector<std::string> labels();
  // The texts the last paint wrote, frames and channel names, each with where it stood.
  struct Drawn {
    std::string text;
    QRectF box;
  };
  const std::vector<Drawn>& drawn() const { return drawn_; }

 signals:
  void hovered(const QString& text);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  double traces_width() const { return std::max(width() - kNameColumn, 1); }
  void decode_if_new();
  const QStaticText& label(const std::string& text, const QFont& font);
  void scroll_to_end();
  void clamp();

  const decode::AccessRing& ring_;
  // Decoded as accesses come, and forgotten as the ring forgets them: the lines after each access
  // from `lines_begin_` on, and the frames, numbered by access.
  decode::LiveDecoder decoder_;
  decode::Lines last_;
  std::deque<decode::Lines> lines_;
  std::size_t lines_begin_ = 0;
  std::deque<decode::Annotation> annotations_;
  std::vector<decode::Annotation> fresh_;
  std::size_t decoded_end_ = 0;
  std::map<std::string, QStaticText> labels_;
  double first_ = 0;    // the access number at the left edge
  double pitch_ = 8.0;  // pixels per access, as at the start
  bool follow_ = true;
  std::optional<QPointF> drag_;
  std::vector<Drawn> drawn_;
};

// The bus monitor window: the diagram, what the pointer is over, and Save as VCD or PNG.
class BusMonitor final : public QWidget, private port::AccessObserver {
  Q_OBJECT

 public:
  static constexpr std::size_t kCapacity = 20'000;

  // Watches every access `port` makes from now on.
  explicit BusMonitor(port::PortAccess& port, QWidget* parent = nullptr);
  ~BusMonitor() override;

  BusDiagram& diagram() { return *diagram_; }
  const decode::AccessRing& ring() const { return ring_; }

  // Write the kept accesses as the trace writes a VCD, or the diagram as a picture; false with
  // `error` saying that the file was not saved, and why, when they cannot.
  bool save_vcd(const QString& path, QString& error) const;
  bool save_png(const QString& path, QString& error) const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void on_write(std::int16_t address, std::int16_t value, std::optional<bool> bus_sda) override;
  void on_read(std::int16_t address, std::int32_t value, std::optional<bool> bus_sda) override;
  void on_failure(const std::string& message) override;
  void on_idle() override;
  void ask_and_save(bool vcd);

  // What the port saw: on the window's thread it goes into the ring at once; from the panel's
  // worker it waits here, in order, until the window's thread takes it.
  struct Seen {
    enum class Kind { access, failure, idle } kind;
    decode::Access access;
  };
  void see(const Seen& seen);
  void take_seen();

  port::PortAccess& port_;
  decode::AccessRing ring_{kCapacity};
  std::mutex seen_mutex_;
  std::vector<Seen> seen_;
  BusDiagram* diagram_;
  QLabel* hover_;
};

// F2 in the panel shows the monitor, or hides it; F2 in the monitor hides it too. It opens beside
// the panel.
void bind_monitor_key(Form1& panel, BusMonitor& monitor);

// Puts `window` beside `panel`, not over it: right of the panel's frame where it fits on the
// panel's screen, else below it, else as far from it as the screen allows; always on the screen,
// also where no window manager places windows.
void place_beside(QWidget& window, const QWidget& panel);

}  // namespace vx::panel
