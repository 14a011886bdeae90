#include "window/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScrollBar>
#include <QThread>
#include <exception>
#include <functional>

#include "window/widgets.h"

namespace vx::panel {

namespace {

constexpr unsigned kWindowBack = 0x00C0FFFF;
constexpr int kWaitCursorAfterMs = 100;
constexpr unsigned kBlue = 0x00FF0000;
constexpr unsigned kRed = 0x000000FF;
// Windows' default system colours: 2, the active title bar; 6, window frames.
const QColor kActiveCaption = QColor::fromRgb(0, 0, 128);
const QColor kWindowFrame = QColor::fromRgb(100, 100, 100);

// One column of the cell rows: the cell, its Left in twips and its caption.
struct Column {
  int cell;
  int left;
  const char* caption;
};

// Write frame, cells 26..0 from left to right; acknowledge slots stand apart.
constexpr Column kWriteRow[] = {
    {26, 2400, "24"}, {25, 2640, "23"}, {24, 2895, "22"}, {23, 3150, "21"}, {22, 3390, "20"},
    {21, 3645, "19"}, {20, 3900, "18"}, {19, 4140, "17"}, {18, 4650, "A3"}, {17, 5145, "16"},
    {16, 5385, "15"}, {15, 5640, "14"}, {14, 5895, "13"}, {13, 6135, "12"}, {12, 6390, "11"},
    {11, 6645, "10"}, {10, 6885, "9"},  {9, 7395, "A2"},  {8, 7890, "8"},   {7, 8145, "7"},
    {6, 8385, "6"},   {5, 8640, "5"},   {4, 8895, "4"},   {3, 9135, "3"},   {2, 9390, "2"},
    {1, 9645, "1"},   {0, 10095, "A1"},
};

// Read frame, cells 44..27 from left to right.
constexpr Column kReadRow[] = {
    {44, 2500, "16"}, {43, 2750, "15"}, {42, 3000, "14"}, {41, 3250, "13"}, {40, 3500, "12"},
    {39, 3750, "11"}, {38, 4000, "10"}, {37, 4250, "9"},  {36, 4750, "A2"}, {35, 5250, "7"},
    {34, 5500, "6"},  {33, 5750, "5"},  {32, 6000, "4"},  {31, 6250, "3"},  {30, 6500, "2"},
    {29, 6750, "1"},  {28, 7000, "0"},  {27, 7450, "A1"},
};

struct Row {
  const Column* begin;
  const Column* end;
  int bar_top;
  int text_top;
  int caption_top;
  const char* frame;  // for accessible names
};

const Row kRows[] = {
    {std::begin(kWriteRow), std::end(kWriteRow), 690, 1965, 480, "write frame"},
    {std::begin(kReadRow), std::end(kReadRow), 4290, 5565, 4080, "read frame"},
};

constexpr int kCellWidth = 250;
constexpr int kBarHeight = 1215;
constexpr int kTextHeight = 495;
constexpr int kCaptionWidth = 300;
constexpr int kCaptionHeight = 495;
// Centres the wider caption over its column.
constexpr int kCaptionOffset = -20;

int bar_width(int cell) {
  if (cell == 0) return 240;
  if (cell == 17 || cell == 26 || cell == 44) return 255;
  return kCellWidth;
}
int text_width(int cell) {
  return cell == 2 || cell == 40 ? 255 : kCellWidth;
}

QString indexed(const char* name, int index) {
  return QString("%1(%2)").arg(name).arg(index);
}

void set_colours(QWidget* widget, QColor fore, QColor back) {
  QPalette palette = widget->palette();
  for (auto role : {QPalette::WindowText, QPalette::Text}) palette.setColor(role, fore);
  for (auto role : {QPalette::Window, QPalette::Base}) palette.setColor(role, back);
  widget->setPalette(palette);
}

QLineEdit* text_box(QWidget* parent, const QString& name, QRect geometry,
                    const QString& accessible) {
  auto* box = new QLineEdit(parent);
  box->setObjectName(name);
  box->setGeometry(geometry);
  box->setAccessibleName(accessible);
  box->setFont(panel_font(8.25));
  return box;
}

QScrollBar* scroll_bar(QWidget* parent, const QString& name, QRect geometry, int max,
                       const QString& accessible) {
  auto* bar = new QScrollBar(Qt::Vertical, parent);
  bar->setObjectName(name);
  bar->setGeometry(geometry);
  bar->setRange(0, max);
  bar->setSingleStep(1);
  bar->setPageStep(1);
  bar->setTracking(false);  // a drag gives one change, on release
  bar->setAccessibleName(accessible);
  return bar;
}

QLabel* label(QWidget* parent, const QString& name, const QString& caption, QRect geometry,
              Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignTop) {
  auto* text = new QLabel(caption, parent);
  text->setObjectName(name);
  text->setGeometry(geometry);
  text->setAlignment(alignment);
  text->setFont(panel_font(8.25));
  return text;
}

QLabel* heading(QWidget* parent, const QString& name, const QString& caption, QRect geometry) {
  QLabel* text = label(parent, name, caption, geometry);
  text->setFont(panel_font(9.75, true));
  set_colours(text, bgr(kBlue), bgr(kWindowBack));
  return text;
}

void outline(QWidget* parent, const QString& name, QRect geometry) {
  auto* frame = new QFrame(parent);
  frame->setObjectName(name);
  frame->setGeometry(geometry);
  frame->setFrameStyle(QFrame::Box | QFrame::Plain);
  frame->setLineWidth(1);
  frame->lower();  // beneath every control
}

}  // namespace

Form1::Form1(PanelLogic& logic, QWidget* parent) : QWidget(parent), logic_(logic) {
  setObjectName("Form1");
  setWindowTitle("ZI3071_ZozI");
  setFixedSize(px(10800), px(7410));
  setFont(panel_font(8.25));
  setAutoFillBackground(true);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, bgr(kWindowBack));
  colours.setColor(QPalette::WindowText, Qt::black);  // also the outlines' colour
  setPalette(colours);

  // Creation order is stacking order: outlines, then labels, then the windowed controls above
  // them, so each column caption shows only above its scroll bar.
  outline(this, "Shape3", twips(0, 240, 2055, 3375));
  outline(this, "Shape4", twips(2160, 3960, 5775, 3225));
  build_static_labels();
  build_cells();
  build_input_group();
  build_buttons();

  busy_.setSingleShot(true);
  busy_.setInterval(kWaitCursorAfterMs);
  connect(&busy_, &QTimer::timeout, this, [this] {
    if (pending_ == 0 || waiting_) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    waiting_ = true;
  });
  logic_.set_view(this);
}

Form1::~Form1() {
  finish_work();
  if (waiting_) QApplication::restoreOverrideCursor();
  logic_.set_view(nullptr);
}

void Form1::use_worker() {
  if (worker_) return;
  // Each end comes back as an event behind what the action showed, so the window sees the
  // action's displays before it hears that the action ended.
  worker_ =
      std::make_unique<Worker>(Worker::Reports{[this](bool failed, const std::string& message) {
        QMetaObject::invokeMethod(
            this, [this, failed, message] { ended(failed, message); }, Qt::QueuedConnection);
      }});
  Worker* worker = worker_.get();
  logic_.set_stop_check([worker] { return worker->stopping(); });
}

void Form1::stop_work() {
  if (worker_) worker_->stop();
}

void Form1::finish_work() {
  if (!worker_) return;
  worker_->stop();
  worker_->join();
}

void Form1::closeEvent(QCloseEvent* event) {
  stop_work();  // the frame in progress ends; what is queued is dropped
  QWidget::closeEvent(event);
  if (closed_) closed_();
}

void Form1::build_static_labels() {
  heading(this, "Label3", "SDA Write", twips(480, 0, 1845, 300));
  heading(this, "lblBlSDA_Write", "SDA Write Bit Control (Hit Run)", twips(2160, 0, 6885, 300));
  heading(this, "Label6", "SDA Read Bit Indicator (Hit Read)", twips(2280, 3720, 3765, 300));

  label(this, "cmdSlave_Address_Byte(1)", "Slave Address Byte", twips(2655, 2520, 1575, 315));
  label(this, "Label1(1)", "A", twips(4710, 2520, 255, 195));
  label(this, "cmdSlave_Address_Byte(0)", "Slave Address Byte", twips(5400, 2520, 1575, 315));
  label(this, "Label1(0)", "A", twips(7455, 2520, 255, 195));
  label(this, "lblData_Byte", "Data Byte", twips(8520, 2520, 855, 195));
  label(this, "Label2", "A", twips(10185, 2520, 255, 195));
  label(this, "lblWrite", "Data Wrote", twips(5280, 3120, 1155, 285),
        Qt::AlignHCenter | Qt::AlignTop);
  label(this, "Label5", "Slave Address Byte", twips(2760, 6120, 1575, 195));
  label(this, "Label4", "Data Byte", twips(5880, 6120, 855, 195));
  label(this, "lblSDA_Data", "Data Read", twips(5280, 6720, 1155, 285),
        Qt::AlignHCenter | Qt::AlignTop);
  label(this, "Label8", "For scope monitor only", twips(8400, 4560, 2055, 495));

  for (const Row& row : kRows) {
    for (const Column* column = row.begin; column != row.end; ++column) {
      label(this, indexed("lblBit", column->cell), column->caption,
            twips(column->left + kCaptionOffset, row.caption_top, kCaptionWidth, kCaptionHeight),
            Qt::AlignHCenter | Qt::AlignTop);
    }
  }
}

void Form1::build_cells() {
  for (const Row& row : kRows) {
    for (const Column* column = row.begin; column != row.end; ++column) {
      const int cell = column->cell;
      const QString caption = column->caption;
      const QString what = caption.startsWith('A')
                               ? QString("%1 acknowledge %2").arg(row.frame, caption)
                               : QString("%1 bit %2").arg(row.frame, caption);
      const int top = cell == 36 ? 4320 : row.bar_top;
      QScrollBar* bar = scroll_bar(this, indexed("vsbBit", cell),
                                   twips(column->left, top, bar_width(cell), kBarHeight), 1, what);
      connect(bar, &QScrollBar::valueChanged, this, [this, bar, cell](int value) {
        run([this, cell, value] { logic_.user_sets_cell(cell, value); }, bar);
      });
      vsbBit_[cell] = bar;

      QLineEdit* box = text_box(this, indexed("txtBit", cell),
                                twips(column->left, row.text_top, text_width(cell), kTextHeight),
                                what + " value");
      set_colours(box, kActiveCaption, palette().color(QPalette::Base));
      text_boxes_[static_cast<std::size_t>(text_slot(TextBox::bit, cell))] = box;
    }
  }
}

void Form1::build_input_group() {
  auto slot = [this](TextBox box) -> QLineEdit*& {
    return text_boxes_[static_cast<std::size_t>(text_slot(box, 0))];
  };
  QLineEdit* display = text_box(this, "txtDisplay1", twips(840, 360, 555, 396), "Input code value");
  display->setAlignment(Qt::AlignCenter);
  set_colours(display, bgr(kRed), kWindowFrame);
  slot(TextBox::display1) = display;

  vsbInputCode1_ = scroll_bar(this, "vsbInputCode1", twips(840, 720, 495, 1815),
                              PanelLogic::kSliderMax, "Input code");
  connect(vsbInputCode1_, &QScrollBar::valueChanged, this, [this](int value) {
    run([this, value] { logic_.user_sets_slider(value); }, vsbInputCode1_);
  });

  slot(TextBox::sda_write) =
      text_box(this, "txtSDA_Write", twips(4440, 3000, 855, 495), "Data Wrote");
  slot(TextBox::sda_data) = text_box(this, "txtSDA_Data", twips(4440, 6600, 855, 495), "Data Read");
  for (QLineEdit* box : {slot(TextBox::sda_write), slot(TextBox::sda_data)}) {
    box->setAlignment(Qt::AlignCenter);
    box->setFont(panel_font(13.5));
    set_colours(box, bgr(kBlue), palette().color(QPalette::Base));
  }
}

void Form1::build_buttons() {
  struct Button {
    const char* name;
    const char* caption;
    QRect geometry;
    unsigned face;
    bool large;
    const char* tip;
    std::function<void()> click;
  };
  const Button buttons[] = {
      {"cmdZS", "Zero Scale", twips(120, 3000, 615, 495), 0x00C0FFC0, false, "Run to execute",
       [this] { logic_.cmdZS_Click(); }},
      {"cmdMS", "Mid Scale", twips(720, 3000, 615, 495), 0x00C0FFC0, false, "Run to execute",
       [this] { logic_.cmdMS_Click(); }},
      {"cmdFS", "Full Scale", twips(1320, 3000, 615, 495), 0x00C0FFC0, false, "Run to execute",
       [this] { logic_.cmdFS_Click(); }},
      {"cmdRun", "R&un", twips(7320, 3000, 1215, 495), 0x0080FF80, true, "Run to execute",
       [this] { logic_.cmdRun_Click(); }},
      {"cmdRead", "&Read", twips(8760, 3960, 1215, 495), 0x00FFFFC0, true, "Read back setting",
       [this] { logic_.cmdRead_Click(); }},
      {"cmdExit", "E&xit", twips(8760, 5280, 1215, 495), 0x008080FF, true, "Exit the program", {}},
  };
  for (const Button& b : buttons) {
    auto* button = new ColouredButton(b.caption, bgr(b.face), this);
    button->setObjectName(b.name);
    button->setGeometry(b.geometry);
    button->setToolTip(b.tip);
    button->setFont(b.large ? panel_font(12, true) : panel_font(8.25));
    if (b.click) {
      connect(button, &QPushButton::clicked, this, [this, click = b.click] { run(click); });
    } else {
      // Exit ends at once, not behind the queued work: closing stops it between two frames.
      connect(button, &QPushButton::clicked, this, &QWidget::close);
    }
  }
}

void Form1::run(std::function<void()> action, QAbstractSlider* source) {
  if (refused_) {
    if (const std::string why = refused_(); !why.empty()) {
      // The scroll bar the user moved goes back to what the logic holds.
      if (source == vsbInputCode1_) show_slider(logic_.slider());
      for (int cell = 0; cell < frame::kCellCount; ++cell) {
        if (source == vsbBit_[static_cast<std::size_t>(cell)]) show_cell(cell, logic_.cell(cell));
      }
      failed(why, source);
      return;
    }
  }
  if (!worker_) {
    try {
      action();
    } catch (const std::exception& error) {
      failed(failure_words_ ? failure_words_(error) : error.what(), source);
    }
    return;
  }
  if (worker_->stopping()) return;  // the program is ending
  ++pending_;
  queued_.push_back({source, true});
  if (!busy_.isActive() && !waiting_) busy_.start();
  worker_->post([this, action = std::move(action)] {
    try {
      action();
    } catch (const Stopped&) {
      throw;
    } catch (const std::exception& error) {
      if (failure_words_) throw std::runtime_error(failure_words_(error));
      throw;
    }
  });
}

// On the window's thread, once the worker's action has ended and what it showed has been shown.
void Form1::post_work(std::function<void()> work) {
  if (!worker_) {
    work();
    return;
  }
  if (worker_->stopping()) return;
  queued_.push_back({nullptr, false});
  worker_->post(std::move(work));
}

void Form1::ended(bool did_fail, const std::string& message) {
  Queued queued;
  if (!queued_.empty()) {
    queued = queued_.front();
    queued_.pop_front();
  }
  const QPointer<QAbstractSlider> source = queued.source;
  if (queued.counted && --pending_ == 0) {
    busy_.stop();
    if (waiting_) QApplication::restoreOverrideCursor();
    waiting_ = false;
  }
  if (!did_fail) return;
  failed(message, source);
  if (worker_) worker_->resume();
}

void Form1::failed(const std::string& message, QAbstractSlider* source) {
  if (source) {
    // A held arrow must not go on repeating behind the message box.
    source->setEnabled(false);
    source->setEnabled(true);
  }
  report(QString::fromStdString(message));
}

void Form1::report(const QString& message) {
  QMessageBox box(QMessageBox::Critical, windowTitle(), message, QMessageBox::Ok, this);
  box.setObjectName("portError");
  box.exec();
}

template <class Show>
void Form1::on_window_thread(Show&& show) {
  if (QThread::currentThread() == thread()) {
    show();
  } else {
    QMetaObject::invokeMethod(this, std::forward<Show>(show), Qt::QueuedConnection);
  }
}

void Form1::show_cell(int index, int value) {
  on_window_thread([this, index, value] {
    QScrollBar* bar = vsbBit_[static_cast<std::size_t>(index)];
    const QSignalBlocker quiet(bar);
    bar->setValue(value);
  });
}

void Form1::show_slider(int value) {
  on_window_thread([this, value] {
    const QSignalBlocker quiet(vsbInputCode1_);
    vsbInputCode1_->setValue(value);
  });
}

void Form1::show_text(TextBox box, int index, std::string_view text) {
  QLineEdit* target = text_boxes_[static_cast<std::size_t>(text_slot(box, index))];
  const QLatin1StringView latin(text.data(), static_cast<qsizetype>(text.size()));
  if (QThread::currentThread() == thread()) {
    if (target->text() != latin) target->setText(latin);
    return;
  }
  on_window_thread([target, copy = QString(latin)] {
    if (target->text() != copy) target->setText(copy);
  });
}

}  // namespace vx::panel
