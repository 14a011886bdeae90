#include "support/offscreen.h"

#include <gmock/gmock.h>

#include <QApplication>

#include "window/widgets.h"

namespace vx::test {

int run_offscreen(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The offscreen platform says this of every message box; it says nothing about the panel.
  static const QtMessageHandler previous = qInstallMessageHandler(
      [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (message.contains("does not support propagateSizeHints")) return;
        previous(type, context, message);
      });
  QApplication app(argc, argv);
  QApplication::setStyle(new vx::panel::PanelStyle);
  QApplication::setQuitOnLastWindowClosed(true);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}

}  // namespace vx::test
