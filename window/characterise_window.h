#pragma once

#include <QPoint>
#include <QRect>
#include <QWidget>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "plot/plot.h"
#include "session/characterise.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace vx::panel {

class Form1;
class PanelLogic;

// The plot of a characterisation as it grows.
class PlotView final : public QWidget {
 public:
  explicit PlotView(QWidget* parent = nullptr);
  void set_data(plot::PlotData data);
  const plot::PlotData& data() const { return data_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  plot::PlotData data_;
};

// The Characterise window: a meter, the codes, the settle time and the averaging; Start and Stop;
// the plot growing as readings come, progress and time left; the results saved as CSV, PNG, SVG
// and PDF. The sweep runs on the panel's worker, through the panel's own port; while it runs the
// panel refuses the user's actions, so no frame comes between a code's write and its readings.
class CharacteriseWindow final : public QWidget {
  Q_OBJECT

 public:
  CharacteriseWindow(Form1& panel, PanelLogic& logic, QWidget* parent = nullptr);
  ~CharacteriseWindow() override;  // stops a sweep in progress and waits for its end

  // Start and Stop, as the buttons do them.
  void start();
  void stop();
  bool running() const { return running_; }
  // The last sweep's result, once it has ended.
  const std::optional<session::Characterisation>& result() const { return result_; }
  const PlotView& plot_view() const { return *plot_; }
  // What Save does once a file is chosen; gives the error, or empty.
  std::string save(const std::string& path);
  // Asked when the window is closed during a sweep: true stops the sweep and closes the window,
  // false keeps both. A question box unless tests say otherwise.
  void set_ask_stop(std::function<bool()> ask) { ask_stop_ = std::move(ask); }

 signals:
  // A sweep ended, whole or partial; the result is in result().
  void finished();

 private:
  void closeEvent(QCloseEvent* event) override;

  struct Shared;  // what the sweep on the worker shares with the window
  void build();
  void grow(session::Characterisation so_far);
  void ended(session::Characterisation result, std::string failure);
  void show_status(const QString& text, bool fault);
  void choose_and_save(const char* filter, const char* suffix);
  analysis::Options analysis_options() const;
  plot::PlotData plot_data(const session::Characterisation& result) const;

  Form1& panel_;
  PanelLogic& logic_;
  std::shared_ptr<Shared> shared_;
  bool running_ = false;
  std::optional<session::Characterisation> result_;
  analysis::Options options_;  // of the sweep shown
  std::function<bool()> ask_stop_;

  QLineEdit* resource_ = nullptr;
  QComboBox* function_ = nullptr;
  QLineEdit* range_ = nullptr;
  QSpinBox *from_ = nullptr, *to_ = nullptr, *step_ = nullptr;
  QSpinBox *settle_ = nullptr, *average_ = nullptr;
  QComboBox* mode_ = nullptr;
  QPushButton *start_ = nullptr, *stop_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* figures_ = nullptr;
  PlotView* plot_ = nullptr;
  QPushButton* saves_[4] = {};
};

// Where a window of `size` stands on `screen` clear of the rectangles `taken`: beside or below
// one of them where that is clear of all, else where it covers them least; always on the screen.
QPoint clear_place(QSize size, QRect screen, const std::vector<QRect>& taken);

// Places `window` clear of every visible window in `others` (the panel, the monitor), on the
// screen, where one such place exists; else where it covers them least.
void place_clear_of(QWidget& window, const std::vector<const QWidget*>& others);

// F3 on the panel shows and hides the Characterise window, placed clear of the panel and the
// monitor.
void bind_characterise_key(Form1& panel, CharacteriseWindow& window, const QWidget& monitor);

}  // namespace vx::panel
