#include "window/characterise_window.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSpinBox>
#include <QVBoxLayout>

#include "meter/resource.h"
#include "meter/scpi.h"
#include "panel/panel_logic.h"
#include "session/arguments.h"
#include "window/main_window.h"

namespace vx::panel {

namespace {

constexpr const char* kRefusal = "a characterisation is running: stop it first";

class StoppedByUser : public session::Interrupted {
 public:
  StoppedByUser() : session::Interrupted("stopped by Stop") {}
};

}  // namespace

// The sweep on the worker and the window share this, so neither outlives what it uses: the window
// waits in its destructor until the sweep's work has gone, run or dropped.
struct CharacteriseWindow::Shared {
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable gone;
  bool done = true;  // under mutex

  void finish() {
    const std::lock_guard lock(mutex);
    done = true;
    gone.notify_all();
  }
};

PlotView::PlotView(QWidget* parent) : QWidget(parent) {
  setObjectName("plot");
  setMinimumSize(640, 480);
}

void PlotView::set_data(plot::PlotData data) {
  data_ = std::move(data);
  update();
}

void PlotView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  plot::draw(painter, rect(), data_);
}

CharacteriseWindow::CharacteriseWindow(Form1& panel, PanelLogic& logic, QWidget* parent)
    : QWidget(parent, Qt::Window),
      panel_(panel),
      logic_(logic),
      shared_(std::make_shared<Shared>()) {
  setObjectName("characterise");
  setWindowTitle("Characterise - VX3071");
  build();
  ask_stop_ = [this] {
    return QMessageBox::question(this, windowTitle(),
                                 "A characterisation is running. Stop it, keep the codes measured "
                                 "and put the setting back?",
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
  panel_.set_refused([this] { return running_ ? std::string(kRefusal) : std::string(); });
}

CharacteriseWindow::~CharacteriseWindow() {
  panel_.set_refused({});
  shared_->stop = true;
  std::unique_lock lock(shared_->mutex);
  shared_->gone.wait(lock, [this] { return shared_->done; });
}

void CharacteriseWindow::closeEvent(QCloseEvent* event) {
  // A sweep left running unseen would hold the panel with its Stop out of reach.
  if (running_ && !ask_stop_()) {
    event->ignore();
    return;
  }
  stop();
  QWidget::closeEvent(event);
}

void CharacteriseWindow::build() {
  auto* form = new QFormLayout;
  resource_ = new QLineEdit("sim");
  resource_->setObjectName("resource");
  resource_->setToolTip(
      "The meter's VISA address: TCPIP::host::5025::SOCKET, TCPIP::host::INSTR, "
      "ASRL/dev/ttyUSB0::INSTR, USB0::...::INSTR, or sim (wired to the simulated part)");
  form->addRow("Meter", resource_);
  function_ = new QComboBox;
  function_->setObjectName("function");
  function_->addItems({"resistance", "voltage"});
  form->addRow("Function", function_);
  range_ = new QLineEdit;
  range_->setObjectName("range");
  range_->setPlaceholderText("10000 Ohm or 10 V");
  range_->setToolTip("Ohms or volts, or AUTO; empty: 10 kOhm or 10 V");
  form->addRow("Range", range_);
  const auto spin = [](const char* name, int low, int high, int value) {
    auto* box = new QSpinBox;
    box->setObjectName(name);
    box->setRange(low, high);
    box->setValue(value);
    return box;
  };
  from_ = spin("from", 0, 255, 0);
  to_ = spin("to", 0, 255, 255);
  step_ = spin("step", 1, 255, 1);
  auto* codes = new QHBoxLayout;
  codes->addWidget(from_);
  codes->addWidget(new QLabel("to"));
  codes->addWidget(to_);
  codes->addWidget(new QLabel("step"));
  codes->addWidget(step_);
  form->addRow("Codes", codes);
  settle_ = spin("settle", 0, 60'000, 10);
  settle_->setSuffix(" ms");
  form->addRow("Settle", settle_);
  average_ = spin("average", 1, session::kMaxAverage, 1);
  form->addRow("Readings a code", average_);
  mode_ = new QComboBox;
  mode_->setObjectName("mode");
  mode_->addItems({"rheostat", "divider"});
  form->addRow("Mode", mode_);
  connect(function_, &QComboBox::currentIndexChanged, mode_, &QComboBox::setCurrentIndex);

  start_ = new QPushButton("&Start");
  start_->setObjectName("start");
  stop_ = new QPushButton("S&top");
  stop_->setObjectName("stop");
  stop_->setEnabled(false);
  connect(start_, &QPushButton::clicked, this, &CharacteriseWindow::start);
  connect(stop_, &QPushButton::clicked, this, &CharacteriseWindow::stop);
  auto* run = new QHBoxLayout;
  run->addWidget(start_);
  run->addWidget(stop_);

  const struct {
    const char* name;
    const char* caption;
    const char* filter;
    const char* suffix;
  } saves[] = {{"saveCsv", "Save CSV", "CSV (*.csv)", ".csv"},
               {"savePng", "Save PNG", "PNG picture (*.png)", ".png"},
               {"saveSvg", "Save SVG", "SVG picture (*.svg)", ".svg"},
               {"savePdf", "Save PDF", "PDF report (*.pdf)", ".pdf"}};
  auto* save_row = new QGridLayout;
  for (int i = 0; i < 4; ++i) {
    auto* button = new QPushButton(saves[i].caption);
    button->setObjectName(saves[i].name);
    button->setEnabled(false);
    connect(button, &QPushButton::clicked, this,
            [this, s = saves[i]] { choose_and_save(s.filter, s.suffix); });
    save_row->addWidget(button, i / 2, i % 2);
    saves_[i] = button;
  }

  progress_ = new QProgressBar;
  progress_->setObjectName("progress");
  progress_->setRange(0, 1);
  progress_->setValue(0);
  status_ = new QLabel("Set the meter and the codes, then Start.");
  status_->setObjectName("status");
  status_->setWordWrap(true);
  // Its whole height, however many lines a partial note takes: the figures give way instead.
  status_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
  figures_ = new QLabel;
  figures_->setObjectName("figures");
  figures_->setWordWrap(true);
  figures_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  figures_->setAlignment(Qt::AlignTop | Qt::AlignLeft);

  auto* left = new QVBoxLayout;
  left->addLayout(form);
  left->addLayout(run);
  left->addWidget(progress_);
  left->addWidget(status_);
  left->addWidget(figures_, 1);
  left->addLayout(save_row);

  plot_ = new PlotView;
  auto* layout = new QHBoxLayout(this);
  auto* left_box = new QWidget;
  left_box->setLayout(left);
  left_box->setFixedWidth(330);
  layout->addWidget(left_box);
  layout->addWidget(plot_, 1);
}

analysis::Options CharacteriseWindow::analysis_options() const {
  analysis::Options options;
  options.mode = mode_->currentIndex() == 0 ? analysis::Mode::rheostat : analysis::Mode::divider;
  return options;
}

plot::PlotData CharacteriseWindow::plot_data(const session::Characterisation& result) const {
  plot::PlotData data;
  data.points = session::points_of(result);
  data.figures = session::analyse(result, options_).figures;
  data.unit = result.unit;
  data.first_code = result.plan.codes.from;
  data.last_code = result.plan.codes.to;
  data.note = session::partial_note(result);
  data.provenance = session::provenance(result);
  return data;
}

void CharacteriseWindow::show_status(const QString& text, bool fault) {
  status_->setText(text);
  status_->setStyleSheet(fault ? "color: #b03a2e;" : "");
}

void CharacteriseWindow::start() {
  if (running_) return;
  meter::Resource resource;
  meter::MeterOptions options;
  try {
    resource = meter::parse_resource(resource_->text().trimmed().toStdString());
    options.function =
        function_->currentIndex() == 0 ? meter::Function::resistance : meter::Function::voltage;
    const std::string range = range_->text().trimmed().toStdString();
    if (!range.empty()) options.range = meter::checked_range(range);
  } catch (const std::exception& error) {
    show_status(error.what(), true);
    return;
  }
  const session::CharacterisePlan plan = session::plan_characterise(
      from_->value(), to_->value(), step_->value(), settle_->value(), average_->value());
  options_ = analysis_options();
  running_ = true;
  start_->setEnabled(false);
  stop_->setEnabled(true);
  for (QPushButton* button : saves_) button->setEnabled(false);
  progress_->setRange(0, plan.codes.count);
  progress_->setValue(0);
  figures_->clear();
  show_status("Opening " + resource_->text().trimmed() + "...", false);
  plot_->set_data({});

  shared_->stop = false;
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->done = false;
  }
  // Whether the worker runs the sweep or drops it (the program ending), the window hears that it
  // has gone once this guard has.
  std::shared_ptr<void> guard(nullptr, [shared = shared_](void*) { shared->finish(); });
  const std::string named = resource_->text().trimmed().toStdString();
  panel_.post_work([this, guard, shared = shared_, logic = &logic_, resource, options, plan,
                    named] {
    session::Characterisation result;
    std::string failure;
    const auto stop_point = [&] {
      if (shared->stop) throw StoppedByUser();
      if (logic->stop_asked()) throw Stopped();
    };
    try {
      meter::Meter meter(resource, options);
      // A stop or the program's end cuts a meter exchange short, not only the wait between.
      meter.set_stop_check([&] { return shared->stop || logic->stop_asked(); });
      const std::shared_ptr<void> held = logic->hold_for_sweep();
      session::SweepPort port;
      port.read = [logic] { return logic->read_setting(); };
      port.write = [&, logic](int code) {
        if (shared->stop) throw StoppedByUser();
        logic->send_code(code);
      };
      port.restore = [logic](int code) { logic->restore_code(code); };
      port.stop_point = stop_point;
      port.settle = [&](long long ms) { session::wait_stopping(ms, stop_point); };
      result =
          session::characterise(port, meter, plan, [this](const session::Characterisation& so_far) {
            QMetaObject::invokeMethod(
                this, [this, so_far] { grow(so_far); }, Qt::QueuedConnection);
          });
      result.resource = named;
    } catch (const std::exception& error) {
      failure = error.what();
    }
    QMetaObject::invokeMethod(
        this, [this, result, failure] { ended(result, failure); }, Qt::QueuedConnection);
  });
}

void CharacteriseWindow::stop() {
  if (!running_) return;
  shared_->stop = true;
  show_status("Stopping at the end of the frame in progress...", false);
}

void CharacteriseWindow::grow(session::Characterisation so_far) {
  if (so_far.codes.empty()) return;
  const session::CodeReading& last = so_far.codes.back();
  const auto done = static_cast<int>(so_far.codes.size());
  const int count = so_far.plan.codes.count;
  progress_->setValue(done);
  const double left = session::seconds_left(so_far);
  if (!shared_->stop) {
    show_status(QString("Code %1 (%2 of %3), %4 s left; last %5 %6")
                    .arg(last.code)
                    .arg(done)
                    .arg(count)
                    .arg(left, 0, 'f', 0)
                    .arg(last.mean, 0, 'g', 7)
                    .arg(QString::fromStdString(so_far.unit)),
                false);
  }
  plot_->set_data(plot_data(so_far));
}

void CharacteriseWindow::ended(session::Characterisation result, std::string failure) {
  running_ = false;
  start_->setEnabled(true);
  stop_->setEnabled(false);
  if (!failure.empty()) {
    show_status(QString::fromStdString("Not started: " + failure), true);
    emit finished();
    return;
  }
  result.error = nullptr;  // told here; not kept beside the readings
  result_ = std::move(result);
  plot_->set_data(plot_data(*result_));
  const session::Analysed analysed = session::analyse(*result_, options_);
  QString figures;
  for (const auto& [name, value] : session::figure_rows(analysed, result_->unit)) {
    figures += QString("<b>%1</b>: %2<br>")
                   .arg(QString::fromStdString(name).toHtmlEscaped(),
                        QString::fromStdString(value).toHtmlEscaped());
  }
  figures_->setText(figures);
  const QString put_back =
      result_->restored ? QString("; setting %1 put back").arg(result_->setting_before)
                        : QString::fromStdString(result_->restore_error.empty()
                                                     ? ""
                                                     : "; the setting could not be put back: " +
                                                           result_->restore_error);
  if (result_->partial) {
    show_status(QString::fromStdString(session::partial_note(*result_)) + put_back, true);
  } else {
    show_status(QString("Done: %1 codes%2").arg(result_->codes.size()).arg(put_back), false);
  }
  for (QPushButton* button : saves_) button->setEnabled(!result_->codes.empty());
  emit finished();
}

std::string CharacteriseWindow::save(const std::string& path) {
  if (!result_) return "nothing measured yet";
  const QString name = QString::fromStdString(path);
  try {
    if (name.endsWith(".csv", Qt::CaseInsensitive)) {
      session::write_csv(path, *result_);
    } else if (name.endsWith(".pdf", Qt::CaseInsensitive)) {
      plot::save_report(path, plot_data(*result_), session::settings_rows(*result_, options_),
                        session::figure_rows(session::analyse(*result_, options_), result_->unit));
    } else {
      plot::save_picture(path, plot_data(*result_));
    }
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

void CharacteriseWindow::choose_and_save(const char* filter, const char* suffix) {
  QString path = QFileDialog::getSaveFileName(this, windowTitle(),
                                              QString("vx3071-characterisation") + suffix, filter);
  if (path.isEmpty()) return;
  if (!path.endsWith(suffix, Qt::CaseInsensitive)) path += suffix;
  if (const std::string error = save(path.toStdString()); !error.empty()) {
    QMessageBox::warning(this, windowTitle(), QString::fromStdString(error));
  }
}

QPoint clear_place(QSize size, QRect screen, const std::vector<QRect>& taken) {
  std::vector<QPoint> candidates;
  for (const QRect& r : taken) {
    candidates.emplace_back(r.right() + 1, r.top());
    candidates.emplace_back(r.left(), r.bottom() + 1);
    candidates.emplace_back(r.left() - size.width(), r.top());
    candidates.emplace_back(r.left(), r.top() - size.height());
  }
  candidates.push_back(screen.topLeft());
  candidates.emplace_back(screen.right() + 1 - size.width(), screen.bottom() + 1 - size.height());
  QPoint best = screen.topLeft();
  long long least = -1;
  for (QPoint at : candidates) {
    at.setX(std::clamp(at.x(), screen.left(),
                       std::max(screen.left(), screen.right() + 1 - size.width())));
    at.setY(std::clamp(at.y(), screen.top(),
                       std::max(screen.top(), screen.bottom() + 1 - size.height())));
    const QRect place(at, size);
    long long covered = 0;
    for (const QRect& r : taken) {
      const QRect both = place.intersected(r);
      if (!both.isEmpty()) covered += static_cast<long long>(both.width()) * both.height();
    }
    if (least < 0 || covered < least) {
      least = covered;
      best = at;
    }
    if (covered == 0) break;
  }
  return best;
}

void place_clear_of(QWidget& window, const std::vector<const QWidget*>& others) {
  std::vector<QRect> taken;
  for (const QWidget* other : others) {
    if (other && other->isVisible()) taken.push_back(other->frameGeometry());
  }
  const QWidget* first = others.empty() ? nullptr : others.front();
  const QRect screen = (first ? first->screen() : window.screen())->availableGeometry();
  const QSize frame = window.frameGeometry().size() - window.geometry().size();
  const QSize size = window.size().expandedTo(window.minimumSizeHint()) + frame;
  window.move(clear_place(size, screen, taken));
}

void bind_characterise_key(Form1& panel, CharacteriseWindow& window, const QWidget& monitor) {
  auto* key = new QShortcut(QKeySequence(Qt::Key_F3), &panel);
  QObject::connect(key, &QShortcut::activated, &window, [&window, &panel, &monitor] {
    if (window.isVisible()) {
      window.hide();
      return;
    }
    place_clear_of(window, {&panel, &monitor});
    window.show();
    window.raise();
  });
}

}  // namespace vx::panel
