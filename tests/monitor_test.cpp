// The bus monitor window beside the panel, on the offscreen platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QWheelEvent>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/virtual_port.h"
#include "support/files.h"
#include "support/offscreen.h"
#include "window/bus_monitor.h"
#include "window/main_window.h"
#include "window/widgets.h"

namespace vx::panel {
namespace {

namespace fs = std::filesystem;

using test::slurp;

struct Monitored {
  explicit Monitored(const std::string& trace = "")
      : access(
            [device = std::make_shared<sim::Device>()] {
              return std::make_unique<sim::VirtualPort>(device);
            },
            trace) {
    bind_monitor_key(form, monitor);
    form.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
  }
  void click(const char* button) {
    QTest::mouseClick(form.findChild<QAbstractButton*>(button), Qt::LeftButton);
  }
  port::PortAccess access;
  PanelLogic logic{access};
  Form1 form{logic};
  BusMonitor monitor{access};
};

TEST(Monitor, F2OpensAndClosesIt) {
  Monitored m;
  EXPECT_FALSE(m.monitor.isVisible());
  QTest::keyClick(&m.form, Qt::Key_F2);
  EXPECT_TRUE(m.monitor.isVisible());
  QTest::keyClick(&m.form, Qt::Key_F2);
  EXPECT_FALSE(m.monitor.isVisible());
  QTest::keyClick(&m.form, Qt::Key_F2);
  QTest::keyClick(&m.monitor, Qt::Key_F2);
  EXPECT_FALSE(m.monitor.isVisible()) << "F2 in the monitor closes it too";
}

TEST(Monitor, ShowsTheDecodedFramesOfMidScaleAndRead) {
  Monitored m;
  QTest::keyClick(&m.form, Qt::Key_F2);
  m.click("cmdMS");
  m.click("cmdRead");
  const std::vector<std::string> frame = {"S", "2C W", "A", "00", "A", "80", "A", "P"};
  std::vector<std::string> expected;
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), frame.begin(), frame.end());
  for (const char* label : {"S", "2C R", "A", "80", "A", "P"}) expected.push_back(label);
  EXPECT_EQ(m.monitor.diagram().labels(), expected);
  EXPECT_EQ(m.monitor.ring().end(), 118u + 107u);
}

TEST(Monitor, ZoomAndPanKeepThePointersAccessUnderThePointer) {
  Monitored m;
  QTest::keyClick(&m.form, Qt::Key_F2);
  m.click("cmdMS");
  m.click("cmdRead");
  BusDiagram& diagram = m.monitor.diagram();
  diagram.show_last_action();
  for (double x : {30.0, 200.0, 511.5}) {
    for (int delta : {120, -240, 360}) {
      const double before = diagram.access_at(x);
      const double pitch = diagram.pitch();
      QWheelEvent wheel(QPointF(x, 60), diagram.mapToGlobal(QPointF(x, 60)), {}, {0, delta},
                        Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
      QApplication::sendEvent(&diagram, &wheel);
      EXPECT_NE(diagram.pitch(), pitch) << "the wheel zooms";
      EXPECT_NEAR(diagram.access_at(x), before, 1e-9) << "at x " << x;
    }
  }
  const double grabbed = diagram.access_at(300);
  QTest::mousePress(&diagram, Qt::LeftButton, {}, QPoint(300, 60));
  QTest::mouseMove(&diagram, QPoint(250, 60));
  QTest::mouseRelease(&diagram, Qt::LeftButton, {}, QPoint(250, 60));
  EXPECT_NEAR(diagram.access_at(250), grabbed, 1e-9) << "a drag carries the access with it";
  EXPECT_FALSE(diagram.following()) << "scrolled back, it stays where it was put";
}

TEST(Monitor, SavesAVcdEqualToTheTraceOfTheSameRun) {
  const fs::path dir = fs::temp_directory_path() / ("vx3071-monitor-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  {
    Monitored m((dir / "live.vcd").string());
    m.click("cmdMS");
    m.click("cmdRead");
    QScrollBar* cell = m.form.findChild<QScrollBar*>("vsbBit(3)");
    QTest::mouseClick(cell, Qt::LeftButton, {}, QPoint(cell->width() / 2, cell->height() - 4));
    m.click("cmdRun");
    QString error;
    ASSERT_TRUE(m.monitor.save_vcd(QString::fromStdString((dir / "saved.vcd").string()), error))
        << error.toStdString();
    EXPECT_EQ(slurp(dir / "saved.vcd"), slurp(dir / "live.vcd"));
    EXPECT_TRUE(m.monitor.save_png(QString::fromStdString((dir / "diagram.png").string()), error))
        << error.toStdString();
    EXPECT_GT(fs::file_size(dir / "diagram.png"), 1000u);
  }
  fs::remove_all(dir);
}

TEST(Monitor, ASaveThatFailsSaysTheFileWasNotSavedAndWhy) {
  Monitored m;
  m.click("cmdMS");
  for (const bool vcd : {true, false}) {
    const QString path = vcd ? "/no/such/folder/bus.vcd" : "/no/such/folder/bus.png";
    QString error;
    EXPECT_FALSE(vcd ? m.monitor.save_vcd(path, error) : m.monitor.save_png(path, error));
    EXPECT_THAT(error.toStdString(),
                ::testing::StartsWith(path.toStdString() + " was not saved: "));
    EXPECT_THAT(error.toStdString(), ::testing::HasSubstr("o such file or directory"));
    EXPECT_THAT(error.toStdString(), ::testing::Not(::testing::HasSubstr("port goes on")));
  }
}

// The monitor opens beside the panel, never over it, and on the screen.
TEST(Monitor, OpensBesideThePanelWithinTheScreen) {
  Monitored m;
  const QRect screen = m.form.screen()->availableGeometry();
  struct Case {
    QPoint panel_at;
    QSize monitor;
  };
  for (const auto& [panel_at, monitor] : {
           Case{{0, 0}, {60, 100}},     // fits to the right
           Case{{0, 0}, {400, 100}},    // only below
           Case{{0, 400}, {400, 300}},  // nowhere whole: on the screen all the same
       }) {
    m.form.move(panel_at);
    m.monitor.resize(monitor);
    QTest::keyClick(&m.form, Qt::Key_F2);
    ASSERT_TRUE(m.monitor.isVisible());
    const QRect panel = m.form.frameGeometry(), placed = m.monitor.frameGeometry();
    EXPECT_TRUE(screen.contains(placed)) << placed.x() << "," << placed.y();
    const bool fits = panel.width() + placed.width() <= screen.width() ||
                      panel.bottom() + placed.height() < screen.bottom();
    if (fits) {
      EXPECT_FALSE(panel.intersects(placed)) << placed.x() << "," << placed.y();
      EXPECT_TRUE(placed.left() == panel.right() + 1 || placed.top() == panel.bottom() + 1);
    }
    QTest::keyClick(&m.form, Qt::Key_F2);
  }
}

// At the zoom it opens at and at Home, every frame's texts are written, START, STOP and the
// acknowledges as letters in boxes that hold them, and the channel names stand apart.
TEST(Monitor, WritesEveryAnnotationAndTheChannelNamesInAColumnOfTheirOwn) {
  Monitored m;
  QTest::keyClick(&m.form, Qt::Key_F2);
  m.click("cmdMS");
  m.click("cmdRead");
  BusDiagram& diagram = m.monitor.diagram();
  for (const bool home : {false, true}) {
    SCOPED_TRACE(home ? "Home" : "as it opens");
    if (home) diagram.show_last_action();
    diagram.grab();  // paints
    std::vector<std::string> texts;

    for (const auto& drawn : diagram.drawn()) {
      texts.push_back(drawn.text);
      const bool name = drawn.text == "SCL" || drawn.text == "SDA" || drawn.text == "SDA_OUT";
      if (name) {
        EXPECT_LE(drawn.box.right(), BusDiagram::kNameColumn) << drawn.text;
      } else {
        EXPECT_GE(drawn.box.left(), BusDiagram::kNameColumn) << drawn.text;
        EXPECT_GT(drawn.box.width(), 4) << drawn.text << ": written, not an empty box";
      }
    }
    // The Read's read transaction is in view either way.
    const std::vector<std::string> read = {"S", "2C R", "A", "80", "A", "P"};
    ASSERT_GE(texts.size(), 3 + read.size());
    EXPECT_EQ(std::vector<std::string>(texts.end() - 6, texts.end()), read);
    EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 3),
              (std::vector<std::string>{"SCL", "SDA", "SDA_OUT"}));
  }
}

TEST(Monitor, TheHoverTextClearsWhenThePointerLeaves) {
  Monitored m;
  QTest::keyClick(&m.form, Qt::Key_F2);
  m.click("cmdMS");
  BusDiagram& diagram = m.monitor.diagram();
  auto* hover = m.monitor.findChild<QLabel*>("busHover");
  const QPoint at(diagram.width() / 2, 60);
  QMouseEvent move(QEvent::MouseMove, at, diagram.mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                   Qt::NoModifier);
  QApplication::sendEvent(&diagram, &move);
  EXPECT_THAT(hover->text().toStdString(), ::testing::StartsWith("access "));
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(&diagram, &leave);
  EXPECT_EQ(hover->text(), "");
}

}  // namespace
}  // namespace vx::panel

int main(int argc, char** argv) {
  return vx::test::run_offscreen(argc, argv);
}
