// The window's binding, layout and keys, on Qt's offscreen platform. Behaviour lives in the panel
// logic and is tested there; here the window only has to show it and forward the user's actions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>

#include "backends/backends.h"
#include "sim/shared_part.h"

#include <chrono>
#include "sim/virtual_port.h"
#include "support/bus_checks.h"
#include "support/offscreen.h"
#include "support/test_ports.h"
#include "window/application.h"
#include "window/bus_monitor.h"
#include "window/characterise_window.h"
#include "window/main_window.h"
#include "window/widgets.h"

namespace vx::panel {
namespace {

using test::Access;

int px(int twips) {
  return static_cast<int>(std::lround(twips / 15.0));
}
QRect twips(int left, int top, int width, int height) {
  return {px(left), px(top), px(width), px(height)};
}

struct Window {
  test::PortScript port;
  std::shared_ptr<sim::Device> device = std::make_shared<sim::Device>();  // kept across reopens
  port::PortAccess access{
      test::recording(port, [this] { return std::make_unique<sim::VirtualPort>(device); })};
  PanelLogic logic{access};
  Form1 form{logic};

  Window() {
    form.show();
    form.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&form));
  }

  template <class T = QWidget>
  T* find(const QString& name) {
    T* widget = form.findChild<T*>(name);
    if (!widget) ADD_FAILURE() << "no control named " << name.toStdString();
    return widget;
  }
  QScrollBar* cell(int i) { return find<QScrollBar>(QString("vsbBit(%1)").arg(i)); }
  QLineEdit* bit_text(int i) { return find<QLineEdit>(QString("txtBit(%1)").arg(i)); }
  int writes() const {
    int count = 0;
    for (const Access& a : port.accesses) count += a.kind == 'W';
    return count;
  }
};

// Clicks a vertical scroll bar's down arrow (bottom end) or up arrow (top end).
void click_arrow(QScrollBar* bar, bool down) {
  const int y = down ? bar->height() - 4 : 4;
  QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(bar->width() / 2, y));
}

// Answers the next message box that `window` shows, noting its text. It lives and dies with the
// window, so it can never answer another window's box.
class MessageAnswerer : public QObject {
 public:
  explicit MessageAnswerer(QWidget* window) : QObject(window) {
    connect(&poll_, &QTimer::timeout, this, [this, window] {
      for (auto* box : window->findChildren<QMessageBox*>()) {
        if (!box->isVisible()) continue;
        text = box->text();
        box->accept();
        poll_.stop();
      }
    });
    poll_.start(0);
  }
  QString text;

 private:
  QTimer poll_;
};

// The geometry of every named control, in twips as the panel is drawn up.
std::map<QString, QRect> expected_geometry() {
  std::map<QString, QRect> g;
  g["Shape3"] = twips(0, 240, 2055, 3375);
  g["Shape4"] = twips(2160, 3960, 5775, 3225);
  g["Label3"] = twips(480, 0, 1845, 300);
  g["lblBlSDA_Write"] = twips(2160, 0, 6885, 300);
  g["cmdSlave_Address_Byte(1)"] = twips(2655, 2520, 1575, 315);
  g["Label1(1)"] = twips(4710, 2520, 255, 195);
  g["cmdSlave_Address_Byte(0)"] = twips(5400, 2520, 1575, 315);
  g["Label1(0)"] = twips(7455, 2520, 255, 195);
  g["lblData_Byte"] = twips(8520, 2520, 855, 195);
  g["Label2"] = twips(10185, 2520, 255, 195);
  g["lblWrite"] = twips(5280, 3120, 1155, 285);
  g["Label6"] = twips(2280, 3720, 3765, 300);
  g["Label5"] = twips(2760, 6120, 1575, 195);
  g["Label4"] = twips(5880, 6120, 855, 195);
  g["lblSDA_Data"] = twips(5280, 6720, 1155, 285);
  g["Label8"] = twips(8400, 4560, 2055, 495);
  g["txtDisplay1"] = twips(840, 360, 555, 396);
  g["txtSDA_Write"] = twips(4440, 3000, 855, 495);
  g["txtSDA_Data"] = twips(4440, 6600, 855, 495);
  g["vsbInputCode1"] = twips(840, 720, 495, 1815);
  g["cmdZS"] = twips(120, 3000, 615, 495);
  g["cmdMS"] = twips(720, 3000, 615, 495);
  g["cmdFS"] = twips(1320, 3000, 615, 495);
  g["cmdRun"] = twips(7320, 3000, 1215, 495);
  g["cmdRead"] = twips(8760, 3960, 1215, 495);
  g["cmdExit"] = twips(8760, 5280, 1215, 495);

  const int write_lefts[] = {2400, 2640, 2895, 3150, 3390, 3645, 3900, 4140, 4650,
                             5145, 5385, 5640, 5895, 6135, 6390, 6645, 6885, 7395,
                             7890, 8145, 8385, 8640, 8895, 9135, 9390, 9645, 10095};
  const int read_lefts[] = {2500, 2750, 3000, 3250, 3500, 3750, 4000, 4250, 4750,
                            5250, 5500, 5750, 6000, 6250, 6500, 6750, 7000, 7450};
  auto column = [&](int cell, int left, int bar_top, int text_top) {
    int bar_width = 250, text_width = 250;
    if (cell == 0) bar_width = 240;
    if (cell == 17 || cell == 26 || cell == 44) bar_width = 255;
    if (cell == 2 || cell == 40) text_width = 255;
    if (cell == 36) bar_top = 4320;
    g[QString("vsbBit(%1)").arg(cell)] = twips(left, bar_top, bar_width, 1215);
    g[QString("txtBit(%1)").arg(cell)] = twips(left, text_top, text_width, 495);
  };
  for (int k = 0; k < 27; ++k) column(26 - k, write_lefts[k], 690, 1965);
  for (int k = 0; k < 18; ++k) column(44 - k, read_lefts[k], 4290, 5565);
  return g;
}

TEST(Window, IsTheFixedPanelWithItsCaption) {
  Window w;
  EXPECT_EQ(w.form.objectName(), "Form1");
  EXPECT_EQ(w.form.windowTitle(), "ZI3071_ZozI");
  EXPECT_EQ(w.form.size(), QSize(720, 494));
  EXPECT_EQ(w.form.minimumSize(), w.form.maximumSize());
  EXPECT_EQ(w.form.palette().color(QPalette::Window), QColor(255, 255, 192));
}

TEST(Window, EveryControlStandsWhereThePanelPlacesIt) {
  Window w;
  for (const auto& [name, rect] : expected_geometry()) {
    QWidget* widget = w.find(name);
    if (!widget) continue;
    EXPECT_EQ(widget->geometry(), rect) << name.toStdString();
  }
}

TEST(Window, ColumnCaptionsSitJustAboveTheirScrollBarsAndBeneathThem) {
  Window w;
  const char* captions[] = {"A1", "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",  "A2", "9",  "10",
                            "11", "12", "13", "14", "15", "16", "A3", "17", "18", "19", "20", "21",
                            "22", "23", "24", "A1", "0",  "1",  "2",  "3",  "4",  "5",  "6",  "7",
                            "A2", "9",  "10", "11", "12", "13", "14", "15", "16"};
  const QList<QObject*> stacking = w.form.children();
  for (int cell = 0; cell < 45; ++cell) {
    auto* caption = w.find<QLabel>(QString("lblBit(%1)").arg(cell));
    QScrollBar* bar = w.cell(cell);
    if (!caption || !bar) continue;
    EXPECT_EQ(caption->text(), captions[cell]) << cell;
    EXPECT_LE(std::abs(caption->x() - bar->x()), px(20) + 1) << cell;
    EXPECT_EQ(caption->y(), cell >= 27 ? px(4080) : px(480)) << cell;
    EXPECT_EQ(caption->size(), QSize(px(300), px(495))) << cell;
    EXPECT_TRUE(caption->alignment() & Qt::AlignHCenter) << cell;
    EXPECT_LT(stacking.indexOf(caption), stacking.indexOf(bar)) << "caption drawn beneath " << cell;
  }
  // The outlines are drawn beneath everything else.
  for (const char* outline : {"Shape3", "Shape4"}) {
    const auto shape = stacking.indexOf(w.find(outline));
    for (QWidget* other : w.form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (!qobject_cast<QFrame*>(other) || qobject_cast<QLabel*>(other) ||
          qobject_cast<QLineEdit*>(other)) {
        EXPECT_LT(shape, stacking.indexOf(other))
            << outline << " above " << other->objectName().toStdString();
      }
    }
  }
}

TEST(Window, ButtonsLabelsAndBoxesLookAsDrawnUp) {
  Window w;
  struct ButtonCase {
    const char* name;
    const char* caption;
    QColor face;
    int pixels;
    bool bold;
    const char* tip;
  };
  for (const auto& b : std::vector<ButtonCase>{
           {"cmdZS", "Zero Scale", QColor(192, 255, 192), 11, false, "Run to execute"},
           {"cmdMS", "Mid Scale", QColor(192, 255, 192), 11, false, "Run to execute"},
           {"cmdFS", "Full Scale", QColor(192, 255, 192), 11, false, "Run to execute"},
           {"cmdRun", "R&un", QColor(128, 255, 128), 16, true, "Run to execute"},
           {"cmdRead", "&Read", QColor(192, 255, 255), 16, true, "Read back setting"},
           {"cmdExit", "E&xit", QColor(255, 128, 128), 16, true, "Exit the program"}}) {
    auto* button = w.find<QAbstractButton>(b.name);
    if (!button) continue;
    EXPECT_EQ(button->text(), b.caption);
    EXPECT_EQ(button->toolTip(), b.tip);
    EXPECT_EQ(button->font().pixelSize(), b.pixels) << b.name;
    EXPECT_EQ(button->font().bold(), b.bold) << b.name;
    // The face colour fills the button: sample it away from the caption.
    const QImage face = button->grab().toImage();
    EXPECT_EQ(QColor(face.pixel(4, face.height() - 4)), b.face) << b.name;
  }

  auto* heading = w.find<QLabel>("Label3");
  EXPECT_EQ(heading->text(), "SDA Write");
  EXPECT_EQ(heading->font().pixelSize(), 13);
  EXPECT_TRUE(heading->font().bold());
  EXPECT_EQ(heading->palette().color(QPalette::WindowText), QColor(0, 0, 255));
  EXPECT_EQ(w.find<QLabel>("lblBlSDA_Write")->text(), "SDA Write Bit Control (Hit Run)");
  EXPECT_EQ(w.find<QLabel>("Label6")->text(), "SDA Read Bit Indicator (Hit Read)");
  EXPECT_EQ(w.find<QLabel>("cmdSlave_Address_Byte(0)")->text(), "Slave Address Byte");
  EXPECT_EQ(w.find<QLabel>("lblWrite")->text(), "Data Wrote");
  EXPECT_TRUE(w.find<QLabel>("lblWrite")->alignment() & Qt::AlignHCenter);
  EXPECT_EQ(w.find<QLabel>("lblSDA_Data")->text(), "Data Read");
  EXPECT_EQ(w.find<QLabel>("Label8")->text(), "For scope monitor only");

  auto* display = w.find<QLineEdit>("txtDisplay1");
  EXPECT_EQ(display->palette().color(QPalette::Text), QColor(255, 0, 0));
  EXPECT_TRUE(display->alignment() & Qt::AlignHCenter);
  for (const char* name : {"txtSDA_Write", "txtSDA_Data"}) {
    auto* box = w.find<QLineEdit>(name);
    EXPECT_EQ(box->font().pixelSize(), 18) << name;
    EXPECT_FALSE(box->font().bold()) << name;
    EXPECT_EQ(box->palette().color(QPalette::Text), QColor(0, 0, 255)) << name;
    EXPECT_TRUE(box->alignment() & Qt::AlignHCenter) << name;
  }
  EXPECT_EQ(w.bit_text(5)->palette().color(QPalette::Text), QColor(0, 0, 128));
}

TEST(Window, ScrollBarsHoldThePanelsRanges) {
  Window w;
  for (int cell = 0; cell < 45; ++cell) {
    QScrollBar* bar = w.cell(cell);
    EXPECT_EQ(bar->orientation(), Qt::Vertical);
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 1);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(bar->singleStep(), 1);
    EXPECT_EQ(bar->pageStep(), 1);
  }
  auto* slider = w.find<QScrollBar>("vsbInputCode1");
  EXPECT_EQ(slider->maximum(), 255);
  EXPECT_EQ(slider->pageStep(), 1);
  EXPECT_FALSE(slider->hasTracking());
}

TEST(Window, OpensWithEveryTextBoxEmpty) {
  Window w;
  for (QLineEdit* box : w.form.findChildren<QLineEdit*>()) {
    EXPECT_EQ(box->text(), "") << box->objectName().toStdString();
  }
  EXPECT_TRUE(w.port.accesses.empty());
}

TEST(Window, ACellsDownArrowSetsItAndRefreshesEveryBitText) {
  Window w;
  click_arrow(w.cell(12), true);
  EXPECT_EQ(w.logic.cell(12), 1);
  EXPECT_EQ(w.cell(12)->value(), 1);
  for (int i = 0; i < 45; ++i) EXPECT_EQ(w.bit_text(i)->text(), i == 12 ? "1" : "0") << i;
  EXPECT_EQ(w.find<QLineEdit>("txtSDA_Write")->text(), "0");

  click_arrow(w.cell(12), true);  // already at the bottom: nothing
  EXPECT_EQ(w.cell(12)->value(), 1);
  click_arrow(w.cell(12), false);
  EXPECT_EQ(w.logic.cell(12), 0);
  EXPECT_EQ(w.bit_text(12)->text(), "0");
  EXPECT_TRUE(w.port.accesses.empty()) << "a cell never sends";
}

TEST(Window, AClickInTheTrackStepsByOne) {
  Window w;
  QScrollBar* cell = w.cell(4);
  QTest::mouseClick(cell, Qt::LeftButton, Qt::NoModifier,
                    QPoint(cell->width() / 2, cell->height() * 3 / 4));
  EXPECT_EQ(w.logic.cell(4), 1);
  EXPECT_EQ(w.find<QLineEdit>("txtSDA_Write")->text(), "8");

  auto* slider = w.find<QScrollBar>("vsbInputCode1");
  QTest::mouseClick(slider, Qt::LeftButton, Qt::NoModifier,
                    QPoint(slider->width() / 2, slider->height() * 3 / 4));
  EXPECT_EQ(w.logic.slider(), 1);
  EXPECT_EQ(slider->value(), 1);
}

TEST(Window, AnAcknowledgeCellClickedDownStaysAtZero) {
  Window w;
  for (int ack : {0, 9, 18}) {
    click_arrow(w.cell(ack), true);
    EXPECT_EQ(w.cell(ack)->value(), 0) << ack;
    EXPECT_EQ(w.bit_text(ack)->text(), "0") << ack;
  }
}

TEST(Window, OneSliderArrowClickSendsOneTransaction) {
  Window w;
  auto* slider = w.find<QScrollBar>("vsbInputCode1");
  click_arrow(slider, true);
  EXPECT_EQ(w.writes(), 59);
  EXPECT_EQ(w.logic.slider(), 1);
  EXPECT_EQ(w.find<QLineEdit>("txtDisplay1")->text(), "1");
  EXPECT_EQ(w.find<QLineEdit>("txtSDA_Write")->text(), "1");
  EXPECT_EQ(w.cell(1)->value(), 1);
  EXPECT_EQ(w.cell(25)->value(), 1) << "the standard address is in the cells";
}

TEST(Window, DraggingTheSliderSendsOnceOnRelease) {
  Window w;
  auto* slider = w.find<QScrollBar>("vsbInputCode1");
  const int x = slider->width() / 2;
  const int thumb_y = slider->width() + 3;  // just below the up arrow: the thumb at 0
  QTest::mousePress(slider, Qt::LeftButton, Qt::NoModifier, QPoint(x, thumb_y));
  for (int y = thumb_y; y < slider->height() / 2; y += 5) {
    QMouseEvent move(QEvent::MouseMove, QPointF(x, y), slider->mapToGlobal(QPointF(x, y)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(slider, &move);
  }
  EXPECT_EQ(w.writes(), 0) << "nothing is sent while the thumb moves";
  QTest::mouseRelease(slider, Qt::LeftButton, Qt::NoModifier, QPoint(x, slider->height() / 2));
  EXPECT_EQ(w.writes(), 59);
  EXPECT_GT(w.logic.slider(), 0);
  EXPECT_EQ(slider->value(), w.logic.slider());
}

TEST(Window, AccessKeysPressRunAndRead) {
  Window w;
  // An access key animates the button's click, which lands a moment later.
  QTest::keyClick(&w.form, Qt::Key_U, Qt::AltModifier);
  EXPECT_TRUE(QTest::qWaitFor([&] { return w.writes() == 59; }, 2000)) << w.writes();
  QTest::keyClick(&w.form, Qt::Key_R, Qt::AltModifier);
  EXPECT_TRUE(QTest::qWaitFor([&] { return w.writes() == 59 + 59 + 40; }, 2000)) << w.writes();
  EXPECT_EQ(w.find<QLineEdit>("txtSDA_Data")->text(), "128") << "the device powers up at 128";
}

TEST(Window, ButtonsRunTheirCommands) {
  Window w;
  QTest::mouseClick(w.find<QAbstractButton>("cmdFS"), Qt::LeftButton);
  EXPECT_EQ(w.find<QLineEdit>("txtDisplay1")->text(), "255");
  EXPECT_EQ(w.find<QScrollBar>("vsbInputCode1")->value(), 255);
  QTest::mouseClick(w.find<QAbstractButton>("cmdMS"), Qt::LeftButton);
  EXPECT_EQ(w.find<QLineEdit>("txtSDA_Write")->text(), "128");
  QTest::mouseClick(w.find<QAbstractButton>("cmdZS"), Qt::LeftButton);
  QTest::mouseClick(w.find<QAbstractButton>("cmdRead"), Qt::LeftButton);
  EXPECT_EQ(w.find<QLineEdit>("txtSDA_Data")->text(), "0");
  for (int i = 28; i <= 35; ++i) EXPECT_EQ(w.cell(i)->value(), 0);
  EXPECT_EQ(w.cell(27)->value(), 1);
}

TEST(Window, TypedTextChangesNothingAndIsReplacedAtTheNextUpdate) {
  Window w;
  QTest::mouseClick(w.find<QAbstractButton>("cmdRead"), Qt::LeftButton);
  auto* data = w.find<QLineEdit>("txtSDA_Data");
  auto* bit = w.bit_text(3);
  data->setFocus();
  QTest::keyClicks(data, "999");
  QTest::keyClicks(bit, "7");
  EXPECT_EQ(data->text(), "128999") << "the box takes typing";
  EXPECT_EQ(w.logic.text(TextBox::sda_data), "128");
  EXPECT_EQ(w.logic.cell(3), 0);
  EXPECT_TRUE(w.port.accesses.size() == 59u + 48u) << "typing sends nothing";

  QTest::mouseClick(w.find<QAbstractButton>("cmdRead"), Qt::LeftButton);
  EXPECT_EQ(data->text(), "128");
  EXPECT_EQ(bit->text(), "0");
}

TEST(Window, ExitAndAltXEndTheEventLoopWithStatusZero) {
  for (auto press : std::vector<std::function<void(Window&)>>{
           [](Window& w) { QTest::mouseClick(w.find<QAbstractButton>("cmdExit"), Qt::LeftButton); },
           [](Window& w) { QTest::keyClick(&w.form, Qt::Key_X, Qt::AltModifier); }}) {
    Window w;
    QTimer::singleShot(0, [&] { press(w); });
    QTimer hung;  // a loop that does not end fails the test instead of hanging it
    hung.setSingleShot(true);
    QObject::connect(&hung, &QTimer::timeout, [] { QApplication::exit(99); });
    hung.start(5000);
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(w.form.isVisible());
    EXPECT_TRUE(w.port.accesses.empty()) << "Exit writes nothing to the port";
  }
}

TEST(Window, APortFailureShowsItsMessageAndTheNextRunWorks) {
  Window w;
  w.port.fail_at(30, "the parallel port went away");
  auto* answer = new MessageAnswerer(&w.form);
  QTest::mouseClick(w.find<QAbstractButton>("cmdRun"), Qt::LeftButton);
  EXPECT_EQ(answer->text, "the parallel port went away");
  EXPECT_EQ(w.writes(), 29);
  EXPECT_TRUE(w.form.isVisible());

  w.port.accesses.clear();
  QTest::mouseClick(w.find<QAbstractButton>("cmdRun"), Qt::LeftButton);
  const auto clear = test::bus_clear_length(w.port.accesses);
  ASSERT_TRUE(clear) << "the bus is cleared before the next frame";
  EXPECT_EQ(w.port.accesses.size(), *clear + 59);
}

// A trace that cannot be started: one message box at the first action, which still reaches the
// device, and none after.
TEST(Window, ATraceThatCannotBeStartedIsToldOnceAndThePanelWorksOn) {
  auto device = std::make_shared<sim::Device>();
  const std::string trace = "/no/such/folder/bus.vcd";
  port::PortAccess access([device] { return std::make_unique<sim::VirtualPort>(device); }, trace);
  PanelLogic logic(access);
  Form1 form(logic);
  form.show();
  auto* answer = new MessageAnswerer(&form);
  QTest::mouseClick(form.findChild<QAbstractButton*>("cmdFS"), Qt::LeftButton);
  EXPECT_THAT(answer->text.toStdString(), ::testing::HasSubstr(trace));
  EXPECT_THAT(answer->text.toStdString(), ::testing::Not(::testing::HasSubstr("--trace")))
      << "the panel takes no --trace";
  EXPECT_EQ(device->setting(), 255);
  auto* again = new MessageAnswerer(&form);
  QTest::mouseClick(form.findChild<QAbstractButton*>("cmdZS"), Qt::LeftButton);
  EXPECT_EQ(again->text, "") << "told once";
  EXPECT_EQ(device->setting(), 0);
}

// The program itself, started without a usable display: it says so and exits with status 1, where
// Qt alone would abort with advice to reinstall.
// Output and exit status of the panel program run with `arguments`, no display at all and only
// the variables in `environment` ("NAME=value ..." as env takes them).
std::pair<std::string, int> run_panel_program(const std::string& environment,
                                              const std::string& arguments) {
  const std::string command = std::string("env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY ") +
                              environment + " " + VX3071_PANEL + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {"(no pipe)", -1};
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  const int status = ::pclose(pipe);
  return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

std::pair<std::string, int> panel_without_display(const std::string& arguments) {
  return run_panel_program("", arguments);
}

TEST(Window, TheProgramAnswersHelpAndVersionWithoutADisplay) {
  const auto [help, help_status] = panel_without_display("--help");
  EXPECT_EQ(help_status, 0) << help;
  EXPECT_THAT(help, ::testing::StartsWith("usage: vx3071-panel [--monitor]"));
  for (const char* option : {"--monitor", "--help", "--version", "VX3071_PORT", "exit status"}) {
    EXPECT_THAT(help, ::testing::HasSubstr(option));
  }
  const auto [version, version_status] = panel_without_display("--version");
  EXPECT_EQ(version_status, 0);
  EXPECT_EQ(version, "vx3071-panel " + std::string(kVersion) + "\n");
  EXPECT_THAT(kVersion, ::testing::MatchesRegex("[0-9]+\\.[0-9]+\\.[0-9]+"));
}

// Every window carries the application's icon, and the application names its desktop file, so
// that a task bar groups the panel's windows with its menu entry.
TEST(Window, EveryWindowCarriesTheApplicationsIcon) {
  present_application();
  Window w;
  BusMonitor monitor(w.access);
  EXPECT_FALSE(w.form.windowIcon().isNull());
  EXPECT_FALSE(monitor.windowIcon().isNull());
  EXPECT_EQ(w.form.windowIcon().pixmap(64).size(), QSize(64, 64));
  EXPECT_EQ(QGuiApplication::desktopFileName(), "org.vx3071.panel");
}

TEST(Window, WithoutAReachableDisplayTheProgramSaysSoAndExits1) {
  struct Case {
    const char* environment;
    const char* message;
  };
  for (const auto& [environment, message] : {
           Case{"DISPLAY=:4077", "the display cannot be reached (DISPLAY=:4077"},
           Case{"", "no display to show the window on"},
           // A platform that does not exist is the command line's doing, not the display's.
           Case{"DISPLAY=:4077 -platform bogus",
                "Could not find the Qt platform plugin \"bogus\" in \"\"; Available platform "
                "plugins are:"},
       }) {
    std::string env = environment, arguments;
    if (const auto at = env.find(" -"); at != std::string::npos) {
      arguments = env.substr(at);
      env.erase(at);
    }
    const auto [output, status] = run_panel_program(env, arguments);
    EXPECT_EQ(status, 1) << environment << "\n" << output;
    EXPECT_NE(output.find(message), std::string::npos) << output;
    EXPECT_EQ(output.find("Reinstalling"), std::string::npos) << output;
  }
}

// A port that cannot be opened, from VX3071_PORT as a user gives it: reported at the first send,
// and again at the next, while the window goes on mirroring the logic.
TEST(Window, APortThatCannotOpenIsReportedAtEachSend) {
  struct Case {
    const char* port;
    const char* message;
  };
  for (const auto& [port, message] : {
           Case{"nonsense", "unknown port \"nonsense\""},
           Case{"i2c:1", "/dev/i2c-1 does not exist: load the i2c-dev module"},
           Case{"gpio:gpiochip9:2,3", "/dev/gpiochip9 does not exist"},
           Case{"ftdi", "no FTDI chip found: is it plugged in?"},
       }) {
    const auto access = backends::make_port({port, "", ""});
    PanelLogic logic(*access);
    Form1 form(logic);
    form.show();
    auto* slider = form.findChild<QScrollBar*>("vsbInputCode1");
    for (int value : {1, 2}) {
      auto* answer = new MessageAnswerer(&form);
      click_arrow(slider, true);
      EXPECT_THAT(answer->text.toStdString(), ::testing::HasSubstr(message)) << port;
      EXPECT_EQ(slider->value(), value) << "the window still mirrors the logic";
      EXPECT_EQ(logic.slider(), value);
    }
  }
}

// Each window action that sends, with the port failing at every one of its accesses in turn.
struct SendingAction {
  const char* name;
  std::function<void(Window&)> setup;
  std::function<void(Window&)> act;
  int accesses;
  friend void PrintTo(const SendingAction& a, std::ostream* out) { *out << a.name; }
};

void click(Window& w, const char* button) {
  QTest::mouseClick(w.find<QAbstractButton>(button), Qt::LeftButton);
}

class WindowFault : public ::testing::TestWithParam<SendingAction> {};

TEST_P(WindowFault, ReachesTheUserAndTheNextActionPutsAllRight) {
  const SendingAction& action = GetParam();
  for (int k = 1; k <= action.accesses; ++k) {
    SCOPED_TRACE("failing at access " + std::to_string(k));
    Window w;
    action.setup(w);
    w.port.accesses.clear();
    w.port.fail_at(k, "port failed at access " + std::to_string(k));
    auto* answer = new MessageAnswerer(&w.form);
    action.act(w);
    ASSERT_EQ(answer->text.toStdString(), "port failed at access " + std::to_string(k));
    ASSERT_EQ(w.port.accesses.size(), static_cast<std::size_t>(k - 1)) << "nothing after it";
    for (int i = 0; i < 45; ++i) {
      const QString text = w.bit_text(i)->text();
      ASSERT_TRUE(text.isEmpty() || text == QString::number(w.cell(i)->value())) << "cell " << i;
      ASSERT_EQ(w.cell(i)->value(), w.logic.cell(i)) << "cell " << i;
    }

    // The port works again: a slider step and a read-back land and show.
    click_arrow(w.find<QScrollBar>("vsbInputCode1"), true);
    click(w, "cmdRead");
    const int code = w.logic.slider();
    ASSERT_EQ(w.find<QLineEdit>("txtSDA_Data")->text(), QString::number(code));
    ASSERT_EQ(w.find<QLineEdit>("txtDisplay1")->text(), QString::number(code));
    ASSERT_EQ(w.find<QLineEdit>("txtSDA_Write")->text(), QString::number(code));
    ASSERT_EQ(w.device->setting(), code);
    for (int i = 0; i < 45; ++i) {
      ASSERT_EQ(w.bit_text(i)->text(), QString::number(w.cell(i)->value())) << "cell " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryAccess, WindowFault,
    ::testing::Values(
        SendingAction{"Run", [](Window& w) { click_arrow(w.cell(5), true); },
                      [](Window& w) { click(w, "cmdRun"); }, 59},
        SendingAction{"Read", [](Window&) {}, [](Window& w) { click(w, "cmdRead"); }, 107},
        SendingAction{"SliderStep", [](Window&) {},
                      [](Window& w) { click_arrow(w.find<QScrollBar>("vsbInputCode1"), true); },
                      59},
        SendingAction{"ZeroScale", [](Window& w) { click(w, "cmdFS"); },
                      [](Window& w) { click(w, "cmdZS"); }, 118},
        SendingAction{"MidScale", [](Window&) {}, [](Window& w) { click(w, "cmdMS"); }, 118},
        SendingAction{"FullScale", [](Window&) {}, [](Window& w) { click(w, "cmdFS"); }, 118}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The worker: port work beside the window -----------------------------------------------------

// The window on a worker, with every access paced at `phase`, as a long bus or a slow adapter is.
struct WorkingWindow {
  explicit WorkingWindow(std::chrono::microseconds phase)
      : access(test::recording(port, [this] { return std::make_unique<sim::VirtualPort>(device); }),
               "", phase) {
    form.use_worker();
    form.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
  }
  test::PortScript port;
  std::shared_ptr<sim::Device> device = std::make_shared<sim::Device>();
  port::PortAccess access;
  PanelLogic logic{access};
  Form1 form{logic};

  bool idle(int ms = 5000) {
    return QTest::qWaitFor([this] { return form.pending() == 0; }, ms);
  }
};

// Counts the paint events a widget gets.
struct Paints : QObject {
  explicit Paints(QWidget* widget) { widget->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* event) override {
    count += event->type() == QEvent::Paint;
    return false;
  }
  int count = 0;
};

// The accesses of `act` on the logic alone, as every action ran before there was a worker.
std::vector<Access> specified(const std::function<void(PanelLogic&)>& act) {
  test::PortScript script;
  auto device = std::make_shared<sim::Device>();
  port::PortAccess access(
      test::recording(script, [device] { return std::make_unique<sim::VirtualPort>(device); }));
  PanelLogic logic(access);
  act(logic);
  return script.accesses;
}

// Full Scale's two frames take 118 phases; meanwhile the window repaints at once, takes a click on
// a cell, shows the wait cursor after 100 ms, and the click's effect (its text box) comes after the
// frames, with the accesses exactly those of the two actions in the order the user made them.
TEST(Window, PortWorkRunsBesideTheWindowInTheOrderTheUserActed) {
  using namespace std::chrono_literals;
  WorkingWindow w(3ms);  // Full Scale: 118 accesses, some 354 ms
  auto* read_cell = w.form.findChild<QScrollBar*>("vsbBit(30)");
  auto* read_text = w.form.findChild<QLineEdit*>("txtBit(30)");
  Paints paints(&w.form);

  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(w.form.findChild<QAbstractButton*>("cmdFS"), Qt::LeftButton);
  EXPECT_LT(clock.elapsed(), 100) << "the click returns before the frames are done";
  ASSERT_GT(w.form.pending(), 0);

  const int before = paints.count;
  w.form.update();
  EXPECT_TRUE(QTest::qWaitFor([&] { return paints.count > before; }, 100)) << "repainted at once";
  EXPECT_GT(w.form.pending(), 0) << "while the frames still run";

  click_arrow(read_cell, true);
  EXPECT_EQ(read_cell->value(), 1) << "the scroll bar moves as the user moved it";
  EXPECT_NE(read_text->text(), "1") << "its effect waits behind Full Scale";
  QTest::qWait(150);
  ASSERT_GT(w.form.pending(), 0);
  EXPECT_NE(read_text->text(), "1") << "still waiting, though the window took its events";
  ASSERT_NE(QApplication::overrideCursor(), nullptr) << "a wait cursor after 100 ms";
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);

  ASSERT_TRUE(w.idle());
  EXPECT_EQ(read_text->text(), "1");
  EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the cursor back once the work is done";
  EXPECT_EQ(w.device->setting(), 255);
  EXPECT_EQ(test::to_string(w.port.accesses), test::to_string(specified([](PanelLogic& logic) {
              logic.cmdFS_Click();
              logic.user_sets_cell(30, 1);
            })));
}

// Exit during Full Scale's first frame: that frame ends whole, the second never starts, the lines
// are left idle, and the window closes at once rather than after both frames.
TEST(Window, ExitStopsTheWorkAtTheEndOfTheFrameInProgress) {
  using namespace std::chrono_literals;
  WorkingWindow w(3ms);
  QTest::mouseClick(w.form.findChild<QAbstractButton*>("cmdFS"), Qt::LeftButton);
  // Full Scale shows the slider at 255 just before its first frame, of 59 accesses (177 ms).
  auto* display = w.form.findChild<QLineEdit*>("txtDisplay1");
  ASSERT_TRUE(QTest::qWaitFor([&] { return display->text() == "255"; }, 5000));
  QTest::qWait(30);
  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(w.form.findChild<QAbstractButton*>("cmdExit"), Qt::LeftButton);
  EXPECT_FALSE(w.form.isVisible());
  w.form.finish_work();
  EXPECT_LT(clock.elapsed(), 59 * 3 + 100) << "at most the rest of one frame";
  ASSERT_EQ(w.port.accesses.size(), 59u) << "the frame in progress, whole, and no more";
  EXPECT_EQ(w.port.accesses.back(), test::write_of(0xF3)) << "SCL and SDA released: idle";
}

// A failure met on the worker is shown as before, and what the user queued behind it waits for
// the message to be answered, then runs.
TEST(Window, AFailureOnTheWorkerIsShownAndTheQueuedWorkGoesOnAfterIt) {
  using namespace std::chrono_literals;
  WorkingWindow w(1ms);
  w.port.fail_at(30, "the adapter failed");
  auto* answer = new MessageAnswerer(&w.form);
  QTest::mouseClick(w.form.findChild<QAbstractButton*>("cmdRun"), Qt::LeftButton);
  click_arrow(w.form.findChild<QScrollBar*>("vsbInputCode1"), true);
  ASSERT_TRUE(w.idle());
  EXPECT_EQ(answer->text, "the adapter failed");
  EXPECT_EQ(w.logic.slider(), 1);
  EXPECT_EQ(w.device->setting(), 1) << "the slider step queued behind it ran";
}

// The bus monitor watches the port from the window's thread while the worker makes the accesses:
// it gets every one, in order, with each action's end, once the window's thread takes them.
TEST(Window, TheMonitorSeesTheWorkersAccessesInOrder) {
  using namespace std::chrono_literals;
  WorkingWindow w(0us);
  BusMonitor monitor(w.access);
  QTest::mouseClick(w.form.findChild<QAbstractButton*>("cmdRead"), Qt::LeftButton);
  QTest::mouseClick(w.form.findChild<QAbstractButton*>("cmdRun"), Qt::LeftButton);
  ASSERT_TRUE(w.idle());
  QCoreApplication::processEvents();
  const decode::AccessRing& ring = monitor.ring();
  ASSERT_EQ(ring.end(), w.port.accesses.size());
  for (std::size_t n = 0; n < ring.end(); ++n) {
    const Access& a = w.port.accesses[n];
    ASSERT_EQ(ring.at(n).write, a.kind == 'W') << n;
    ASSERT_EQ(static_cast<std::int32_t>(ring.at(n).value), a.value) << n;
  }
  EXPECT_EQ(ring.last_action(), std::make_pair(std::size_t{107}, std::size_t{107 + 59}))
      << "Run, the last action, begins after the Read's 107 accesses";
}

// A port VX3071_PORT names that cannot be opened: the message names the variable.
TEST(Window, APortThatCannotBeOpenedIsToldWithItsVariable) {
  const auto access = backends::make_port_named({"i2c:77", "", ""}, "VX3071_PORT");
  PanelLogic logic(*access);
  Form1 form(logic);
  form.show();
  auto* answer = new MessageAnswerer(&form);
  QTest::mouseClick(form.findChild<QAbstractButton*>("cmdRun"), Qt::LeftButton);
  EXPECT_THAT(answer->text.toStdString(),
              ::testing::StartsWith("VX3071_PORT is \"i2c:77\": /dev/i2c-77 does not exist"));
}

// --- The program itself, ended by the user or by a signal ----------------------------------------

// How the real program, driven by panel_child, ended: what it printed, its wait status, and its
// trace's lines.
struct Ended {
  std::string out;
  int status = -1;
  std::vector<std::string> trace;
};

// Runs the panel program (offscreen, every access 5 ms apart, traced) doing `then`; with `signal`,
// sends it 120 ms after its Full Scale click, inside the first frame (295 ms).
Ended run_panel_child(const std::string& then, int signal = 0,
                      std::vector<std::string> environment = {}) {
  const std::string trace =
      testing::TempDir() + "panel-child-" + std::to_string(::getpid()) + ".log";
  std::remove(trace.c_str());
  // After the test's own settings, which the program's getenv finds first.
  environment.insert(environment.end(), {"QT_QPA_PLATFORM=offscreen", "VX3071_MIN_PHASE_US=5000",
                                         "VX3071_TRACE=" + trace, "PATH=/usr/bin:/bin",
                                         "XDG_RUNTIME_DIR=" + testing::TempDir()});
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = VX3071_PANEL_CHILD, flag = "--then";
  char* argv[] = {program.data(), flag.data(), const_cast<char*>(then.c_str()), nullptr};
  int out[2];
  if (::pipe(out) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  Ended ended;
  FILE* stream = ::fdopen(out[0], "r");
  char line[1024];
  while (std::fgets(line, sizeof line, stream)) {
    ended.out += line;
    if (signal && std::string(line) == "clicked cmdFS\n") {
      QTest::qSleep(120);
      ::kill(child, signal);
    }
  }
  std::fclose(stream);
  ::waitpid(child, &ended.status, 0);
  std::ifstream in(trace);
  for (std::string text; std::getline(in, text);) ended.trace.push_back(text);
  std::remove(trace.c_str());
  return ended;
}

// SIGINT, SIGTERM and SIGHUP during Full Scale's first frame: the frame ends whole, the trace is
// complete with it and nothing after, the lines idle, and the program dies of that signal, so a
// shell loop that started it stops too.
TEST(Window, ASignalEndsTheProgramAfterTheFrameInProgress) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(::strsignal(signal));
    const Ended ended = run_panel_child("full-scale", signal);
    EXPECT_TRUE(WIFSIGNALED(ended.status) && WTERMSIG(ended.status) == signal)
        << "wait status " << ended.status << "\n"
        << ended.out;
    ASSERT_EQ(ended.trace.size(), 59u) << "the frame in progress, whole";
    EXPECT_EQ(ended.trace.back(), "W 378 F3") << "SCL and SDA released: idle";
  }
}

TEST(Window, ExitInTheProgramEndsItAfterTheFrameInProgress) {
  const Ended ended = run_panel_child("full-scale-exit");
  EXPECT_TRUE(WIFEXITED(ended.status) && WEXITSTATUS(ended.status) == 0) << ended.out;
  ASSERT_EQ(ended.trace.size(), 59u) << "not the second frame: Exit came in the first";
  EXPECT_EQ(ended.trace.back(), "W 378 F3");
}

// Exit with the Characterise window open and a sweep running: the program ends within a frame
// or two (the frame in progress, then the one that puts the setting back), the part is left at
// the setting it held, and the bus idle.
TEST(Window, ExitEndsTheProgramWithTheCharacteriseWindowOpen) {
  const std::string state = testing::TempDir() + "panel-child-part-" + std::to_string(::getpid());
  std::remove(state.c_str());
  const auto start = std::chrono::steady_clock::now();
  const Ended ended = run_panel_child("characterise-exit", 0, {"VX3071_SIM_STATE=" + state});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(WIFEXITED(ended.status) && WEXITSTATUS(ended.status) == 0) << ended.status << "\n"
                                                                         << ended.out;
  EXPECT_THAT(ended.out, ::testing::HasSubstr("clicked cmdExit"));
  EXPECT_LT(took, std::chrono::seconds(15)) << "the program lived on after Exit";
  ASSERT_FALSE(ended.trace.empty());
  EXPECT_EQ(ended.trace.back(), "W 378 F3");
  EXPECT_EQ(sim::SharedPart(state).load().setting, 0x80) << "the setting found was put back";
  std::remove(state.c_str());
  std::remove((state + ".sweep").c_str());
}

// A message box about a setting names the variable: a trace that cannot be written, told once.
TEST(Window, ATraceThatCannotBeWrittenIsToldWithItsVariable) {
  const Ended ended =
      run_panel_child("full-scale-then-exit", 0, {"VX3071_TRACE=/nonexistent/vx3071/trace.log"});
  EXPECT_THAT(ended.out, ::testing::HasSubstr("box: VX3071_TRACE: cannot write the trace file "
                                              "/nonexistent/vx3071/trace.log"));
}

// Settings that name nothing are refused at start, as vx3071 refuses them, before any window.
TEST(Window, SettingsThatNameNothingAreRefusedAtStart) {
  struct Case {
    const char* setting;
    const char* message;
  };
  for (const auto& [setting, message] : {
           Case{"VX3071_PORT=bogus", "vx3071-panel: VX3071_PORT: unknown port \"bogus\""},
           Case{"VX3071_PORT=gpio:", "vx3071-panel: VX3071_PORT: unknown port \"gpio:\""},
           Case{"VX3071_PORT=SIM", "vx3071-panel: VX3071_PORT: unknown port \"SIM\""},
           Case{"VX3071_PORT=gpio:gpiochip0:2", "VX3071_PORT: the GPIO port"},
           Case{"VX3071_MIN_PHASE_US=-1", "vx3071-panel: VX3071_MIN_PHASE_US is \"-1\""},
           Case{"VX3071_MIN_PHASE_US=abc", "VX3071_MIN_PHASE_US is \"abc\""},
           Case{"VX3071_MIN_PHASE_US=0x10", "VX3071_MIN_PHASE_US is \"0x10\""},
           Case{"VX3071_MIN_PHASE_US=5.5", "VX3071_MIN_PHASE_US is \"5.5\""},
           Case{"VX3071_MIN_PHASE_US=1000001", "VX3071_MIN_PHASE_US is \"1000001\""},
       }) {
    for (const char* display : {"", "QT_QPA_PLATFORM=offscreen "}) {
      const auto [output, status] =
          run_panel_program(std::string(display) + "'" + setting + "'", "");
      EXPECT_EQ(status, 2) << display << setting << "\n" << output;
      EXPECT_THAT(output, ::testing::HasSubstr(message)) << display << setting;
    }
  }
}

// --- The Characterise window
// -----------------------------------------------------------------------

// The Characterise window on the panel's worker, measuring the panel's simulated part with the
// `sim` meter.
struct Characterising : WorkingWindow {
  Characterising() : WorkingWindow(std::chrono::microseconds(0)) {
    sim::publish(device);  // the part the `sim` meter measures
    window.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
  }
  // Sets the codes and the settle time, then presses Start.
  void start(int from, int to, int settle_ms) {
    window.findChild<QSpinBox*>("from")->setValue(from);
    window.findChild<QSpinBox*>("to")->setValue(to);
    window.findChild<QSpinBox*>("settle")->setValue(settle_ms);
    QTest::mouseClick(window.findChild<QPushButton*>("start"), Qt::LeftButton);
  }
  bool ended(int ms = 20000) {
    return QTest::qWaitFor([this] { return !window.running(); }, ms);
  }
  CharacteriseWindow window{form, logic};
};

// A sweep runs beside the panel: the plot grows as readings come, the panel refuses its actions
// (each would wait behind the whole sweep), Stop ends it mid-way with the codes measured whole and
// the setting put back, and then both windows work: the panel's buttons, and a second sweep.
TEST(CharacteriseWindow, ASweepRunsBesideThePanelAndAStopLeavesBothWorking) {
  Characterising c;
  c.logic.send_code(77);  // nothing queued: the worker is idle
  ASSERT_EQ(c.device->setting(), 77);
  c.start(0, 255, 20);
  ASSERT_TRUE(c.window.running());
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return c.window.plot_view().data().points.size() >= 10; }, 5000));
  const std::size_t earlier = c.window.plot_view().data().points.size();

  MessageAnswerer answer(&c.form);
  QTest::mouseClick(c.form.findChild<QAbstractButton*>("cmdFS"), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !answer.text.isEmpty(); }, 2000));
  EXPECT_EQ(answer.text, "a characterisation is running: stop it first");
  // A cell too: it would wait behind the whole sweep. It is put back as it was.
  MessageAnswerer answer_cell(&c.form);
  auto* cell = c.form.findChild<QScrollBar*>("vsbBit(30)");
  click_arrow(cell, true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !answer_cell.text.isEmpty(); }, 2000));
  EXPECT_EQ(answer_cell.text, "a characterisation is running: stop it first");
  EXPECT_EQ(cell->value(), 0);
  EXPECT_EQ(c.form.pending(), 0) << "nothing was queued behind the sweep";

  ASSERT_TRUE(
      QTest::qWaitFor([&] { return c.window.plot_view().data().points.size() >= 40; }, 8000));
  EXPECT_GT(c.window.plot_view().data().points.size(), earlier) << "the plot grows";
  QTest::mouseClick(c.window.findChild<QPushButton*>("stop"), Qt::LeftButton);
  ASSERT_TRUE(c.ended());
  ASSERT_TRUE(c.window.result());
  const session::Characterisation& stopped = *c.window.result();
  EXPECT_TRUE(stopped.partial);
  ASSERT_GE(stopped.codes.size(), 40u);
  ASSERT_LT(stopped.codes.size(), 256u);
  for (std::size_t i = 0; i < stopped.codes.size(); ++i) EXPECT_EQ(stopped.codes[i].code, i);
  EXPECT_TRUE(stopped.restored);
  EXPECT_EQ(c.device->setting(), 77) << "the setting found is put back";
  EXPECT_THAT(c.window.findChild<QLabel*>("status")->text().toStdString(),
              ::testing::HasSubstr("partial"));

  QTest::mouseClick(c.form.findChild<QAbstractButton*>("cmdFS"), Qt::LeftButton);
  ASSERT_TRUE(c.idle());
  EXPECT_EQ(c.device->setting(), 255) << "the panel works after the stop";
  c.start(0, 10, 0);
  ASSERT_TRUE(c.ended());
  EXPECT_FALSE(c.window.result()->partial);
  EXPECT_EQ(c.window.result()->codes.size(), 11u);
  EXPECT_EQ(c.device->setting(), 255);
  EXPECT_TRUE(c.window.findChild<QPushButton*>("savePdf")->isEnabled());
}

// The end of the program (Exit, a signal) stops a sweep at the next frame; the part is left as it
// was found, and the window goes without waiting on anything.
TEST(CharacteriseWindow, TheProgramsEndStopsASweepWithTheSettingPutBack) {
  Characterising c;
  c.logic.send_code(99);
  c.start(0, 255, 1500);
  QTest::qWait(300);  // code 0 written, its settle time running
  QElapsedTimer clock;
  clock.start();
  c.form.finish_work();
  EXPECT_LT(clock.elapsed(), 500) << "the settle time was waited out";
  EXPECT_EQ(c.device->setting(), 99);
}

// Closing the window during a sweep asks first: kept, both go on; stopped, the sweep ends at its
// next frame with the setting put back, and the window goes.
TEST(CharacteriseWindow, ClosingItDuringASweepAsksWhetherToStop) {
  Characterising c;
  c.logic.send_code(42);
  c.start(0, 255, 20);
  int asked = 0;
  bool stop = false;
  c.window.set_ask_stop([&] {
    ++asked;
    return stop;
  });
  c.window.close();
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(c.window.isVisible());
  EXPECT_TRUE(c.window.running());
  stop = true;
  c.window.close();
  EXPECT_EQ(asked, 2);
  EXPECT_FALSE(c.window.isVisible());
  ASSERT_TRUE(c.ended(5000));
  EXPECT_TRUE(c.window.result()->partial);
  EXPECT_EQ(c.device->setting(), 42);
  c.window.close();  // nothing running: not asked
  EXPECT_EQ(asked, 2);
}

TEST(CharacteriseWindow, SavesEachFileAndNamesOneThatCannotBeWritten) {
  Characterising c;
  c.start(0, 20, 0);
  ASSERT_TRUE(c.ended());
  const std::string base = ::testing::TempDir() + "vx3071-window-" + std::to_string(::getpid());
  for (const char* suffix : {".csv", ".png", ".svg", ".pdf"}) {
    const std::string path = base + suffix;
    EXPECT_EQ(c.window.save(path), "") << suffix;
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    EXPECT_GT(static_cast<long>(file.tellg()), 100) << suffix;
    std::remove(path.c_str());
  }
  EXPECT_THAT(c.window.save("/nonexistent/a.png"), ::testing::HasSubstr("/nonexistent/a.png"));
  EXPECT_THAT(c.window.save("/nonexistent/a.csv"), ::testing::HasSubstr("/nonexistent/a.csv"));
}

// Beside the panel and the monitor, never over them, where the screen has room; else over them as
// little as it can, and always on the screen.
TEST(CharacteriseWindow, IsPlacedClearOfThePanelAndTheMonitor) {
  const QRect panel(0, 0, 730, 520), monitor(731, 0, 600, 520);
  const QSize size(1000, 640);
  const auto covered = [&](QPoint at) {
    long long area = 0;
    for (const QRect& r : {panel, monitor}) {
      const QRect both = QRect(at, size).intersected(r);
      area += both.isEmpty() ? 0 : static_cast<long long>(both.width()) * both.height();
    }
    return area;
  };
  for (const QRect screen : {QRect(0, 0, 2560, 1440), QRect(0, 0, 1920, 1200)}) {
    const QPoint at = clear_place(size, screen, {panel, monitor});
    EXPECT_EQ(covered(at), 0) << screen.width();
    EXPECT_TRUE(screen.contains(QRect(at, size)));
  }
  // No room clear of both: on the screen, over them less than beside the panel would be.
  const QRect small(0, 0, 1400, 900);
  const QPoint at = clear_place(size, small, {panel, monitor});
  EXPECT_TRUE(small.contains(QRect(at, size)));
  EXPECT_LT(covered(at), covered(QPoint(400, 0)));
}

TEST(Window, ScreenReadersHearCaptionsAndPlainNames) {
  Window w;
  auto name = [](QWidget* widget) {
    return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
  };
  EXPECT_EQ(name(w.find("cmdRun")), "Run");
  EXPECT_EQ(name(w.find("cmdZS")), "Zero Scale");
  EXPECT_EQ(name(w.find("Label6")), "SDA Read Bit Indicator (Hit Read)");
  EXPECT_EQ(name(w.find("txtSDA_Data")), "Data Read");
  EXPECT_EQ(name(w.find("txtSDA_Write")), "Data Wrote");
  EXPECT_EQ(name(w.cell(13)), "write frame bit 12");  // as its caption reads
  EXPECT_EQ(name(w.cell(18)), "write frame acknowledge A3");
  EXPECT_EQ(name(w.cell(35)), "read frame bit 7");
  EXPECT_EQ(name(w.bit_text(13)), "write frame bit 12 value");
  for (QWidget* widget : w.form.findChildren<QWidget*>()) {
    if (qobject_cast<QScrollBar*>(widget) || qobject_cast<QLineEdit*>(widget)) {
      const QString n = name(widget);
      EXPECT_FALSE(n.isEmpty() || n.contains('(') || n.startsWith("txt") || n.startsWith("vsb"))
          << widget->objectName().toStdString() << " is read as \"" << n.toStdString() << "\"";
    }
  }
}

}  // namespace
}  // namespace vx::panel

int main(int argc, char** argv) {
  return vx::test::run_offscreen(argc, argv);
}
