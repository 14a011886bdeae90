// vx3071-panel: the bench panel on the port that VX3071_PORT names (the simulated device by
// default).
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backends/backends.h"
#include "window/application.h"
#include "window/bus_monitor.h"
#include "window/main_window.h"
#include "window/widgets.h"

namespace {

const char* variable(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

QtMessageHandler qt_handler = nullptr;
QString missing_plugin;  // Qt's own words when the platform asked for (-platform) does not exist

// Qt aborts, with advice to reinstall, when no platform plugin starts. A plugin that does not
// exist is the command line's doing: Qt's own words say which and what there is. Otherwise, with a
// display named but out of reach, that is the display's doing, and a person needs to hear which.
void on_qt_message(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtFatalMsg && message.contains("Could not find the Qt platform plugin")) {
    missing_plugin = message;
    return;
  }
  if (type == QtFatalMsg && message.contains("platform plugin")) {
    if (!missing_plugin.isEmpty()) {
      const qsizetype available = message.indexOf("Available platform plugins are:");
      std::fprintf(stderr, "vx3071-panel: %s; %s\n", qPrintable(missing_plugin),
                   available >= 0 ? qPrintable(message.mid(available).trimmed())
                                  : "see -platform in Qt's documentation");
      std::_Exit(1);
    }
    const char* x11 = variable("DISPLAY");
    const char* wayland = variable("WAYLAND_DISPLAY");
    std::fprintf(stderr,
                 "vx3071-panel: the display cannot be reached (DISPLAY=%s, WAYLAND_DISPLAY=%s): "
                 "check that the desktop session is running and that this user may use it, or "
                 "start the panel from a terminal inside that session\n",
                 x11 ? x11 : "", wayland ? wayland : "");
    std::_Exit(1);
  }
  qt_handler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before any display is looked for: these need none.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(vx::panel::kPanelUsage, stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("vx3071-panel %s\n", vx::panel::kVersion);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
  }
  if (!variable("QT_QPA_PLATFORM") && !variable("DISPLAY") && !variable("WAYLAND_DISPLAY")) {
    std::fputs(
        "vx3071-panel: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are unset); "
        "start it from a desktop session, or from another machine over ssh -X\n",
        stderr);
    return 1;
  }
  qt_handler = qInstallMessageHandler(on_qt_message);
  QApplication app(argc, argv);  // takes Qt's own arguments out of argv
  bool monitor_at_start = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--monitor") == 0) {
      monitor_at_start = true;
    } else {
      std::fprintf(stderr,
                   "vx3071-panel: unknown argument \"%s\": the panel takes --monitor (open the "
                   "bus monitor at start), --help, --version and Qt's own options\n",
                   argv[i]);
      return 2;
    }
  }
  QApplication::setStyle(new vx::panel::PanelStyle);
  vx::panel::present_application();

  const auto port = vx::backends::port_from_environment();
  int status = 0;
  {
    vx::panel::PanelLogic logic(*port);
    vx::panel::Form1 window(logic);
    vx::panel::BusMonitor monitor(*port);
    vx::panel::bind_monitor_key(window, monitor);
    window.show();
    if (monitor_at_start) {
      vx::panel::place_beside(monitor, window);
      monitor.show();
    }
    status = QApplication::exec();
  }
  port->close_trace();
  if (auto error = port->take_trace_error()) {
    std::fprintf(stderr, "vx3071-panel: %s\n", error->c_str());
    if (status == 0) status = 1;
  }
  return status;
}
