#include "window/program.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backends/backends.h"
#include "port/trace.h"
#include "session/arguments.h"
#include "session/process.h"
#include "window/application.h"
#include "window/bus_monitor.h"
#include "window/characterise_window.h"
#include "window/main_window.h"
#include "window/widgets.h"

namespace vx::panel {

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

// A stop signal: noted for the worker's stop check and told to the window's thread through a
// pipe, the one thing a handler may do to wake an event loop.
std::atomic<int> stop_signal{0};
int signal_pipe[2] = {-1, -1};

void on_stop_signal(int number) {
  const int saved = errno;
  int expected = 0;
  stop_signal.compare_exchange_strong(expected, number);
  const char byte = 1;
  (void)!::write(signal_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

int run_panel(int argc, char** argv, const std::function<void(Form1&)>& shown) {
  // Answered before any display is looked for: these need none.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kPanelUsage, stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("vx3071-panel %s\n", kVersion);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
  }
  // Settings that name nothing are told now, as vx3071 tells them, not at the first click.
  backends::Settings settings;
  try {
    settings = session::checked_settings(backends::settings_from_environment(), false);
  } catch (const session::UsageError& error) {
    std::fprintf(stderr, "vx3071-panel: %s\n", error.what());
    return 2;
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
  bool monitor_at_start = false, characterise_at_start = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--monitor") == 0) {
      monitor_at_start = true;
    } else if (std::strcmp(argv[i], "--characterise") == 0) {
      characterise_at_start = true;
    } else {
      std::fprintf(stderr,
                   "vx3071-panel: unknown argument \"%s\": the panel takes --monitor (open the "
                   "bus monitor at start), --characterise (open the Characterise window at "
                   "start), --help, --version and Qt's own options\n",
                   argv[i]);
      return 2;
    }
  }
  QApplication::setStyle(new PanelStyle);
  present_application();

  if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::fprintf(stderr, "vx3071-panel: cannot make a pipe for signals: %s\n",
                 std::strerror(errno));
    return 1;
  }
  session::catch_stop_signals(on_stop_signal);

  const auto port = backends::make_port_named(settings, "VX3071_PORT");
  int status = 0;
  {
    PanelLogic logic(*port);
    Form1 window(logic);
    BusMonitor monitor(*port);
    bind_monitor_key(window, monitor);
    window.use_worker();
    CharacteriseWindow characterise(window, logic);
    bind_characterise_key(window, characterise, monitor);
    logic.set_stop_check([&window] { return window.stopping() || stop_signal != 0; });
    // The panel is the program: closing it ends the program, the Characterise window open or not
    // (a sweep stops at its next frame or meter exchange and puts the setting back).
    window.set_closed([] { QApplication::exit(0); });
    if (!settings.trace.empty()) {
      window.set_failure_words([](const std::exception& error) -> std::string {
        if (dynamic_cast<const port::TraceError*>(&error)) {
          return std::string("VX3071_TRACE: ") + error.what();
        }
        return error.what();
      });
    }
    QSocketNotifier signalled(signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(&signalled, &QSocketNotifier::activated, &window, [&window] {
      char drained[16];
      while (::read(signal_pipe[0], drained, sizeof drained) > 0) {
      }
      window.stop_work();
      QApplication::exit(0);  // also from inside a message box's loop
    });
    window.show();
    if (monitor_at_start) {
      place_beside(monitor, window);
      monitor.show();
    }
    if (characterise_at_start) {
      place_clear_of(characterise, {&window, &monitor});
      characterise.show();
    }
    if (shown) QTimer::singleShot(0, &window, [&window, &shown] { shown(window); });
    status = QApplication::exec();
    // The frame in progress ends before the monitor that watches the port goes.
    window.finish_work();
  }
  port->close_trace();
  if (auto error = port->take_trace_error()) {
    std::fprintf(stderr, "vx3071-panel: %s\n", error->c_str());
    if (status == 0) status = 1;
  }
  if (const int number = stop_signal) {
    std::fflush(nullptr);
    session::die_of(number);
  }
  return status;
}

}  // namespace vx::panel
