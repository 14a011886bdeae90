// The bus monitor window beside the panel, on the offscreen platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
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
    EXPECT_TRUE(m.monitor.save_png(QString::fromStdString((dir / "diagram.png").string())));
    EXPECT_GT(fs::file_size(dir / "diagram.png"), 1000u);
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace vx::panel

int main(int argc, char** argv) {
  return vx::test::run_offscreen(argc, argv);
}
