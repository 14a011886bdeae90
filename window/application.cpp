#include "window/application.h"

#include <QApplication>
#include <QIcon>

namespace vx::panel {

const char* const kPanelUsage =
    R"(usage: vx3071-panel [--monitor] [--characterise] [Qt's own options]

The bench panel for the VX3071 on the port that VX3071_PORT names: the simulated device when it
is unset.

options:
  --monitor      open the bus monitor (F2) at start
  --characterise open the Characterise window (F3) at start: every code against a bench
                 meter, with INL, DNL, a plot and a one-page PDF report
  --help         print this and exit
  --version      print the version and exit

environment: VX3071_PORT picks the port, VX3071_TRACE records every port access to a file,
VX3071_MIN_PHASE_US sets the shortest time between port accesses; vx3071 --help says more.

Exit, closing the window, SIGINT, SIGTERM and SIGHUP let the frame in progress finish and
complete the trace; a signal then ends the panel by that signal.

exit status: 0 the window was closed, 1 no display could be reached or the trace could not be
written at the end, 2 an argument it does not know, or a VX3071_PORT or VX3071_MIN_PHASE_US
that names nothing
)";

const char* const kVersion = VX3071_VERSION;

void present_application() {
  QApplication::setApplicationName("vx3071-panel");
  QApplication::setApplicationVersion(kVersion);
  QGuiApplication::setDesktopFileName("org.vx3071.panel");
  QApplication::setWindowIcon(QIcon(":/icons/org.vx3071.panel.png"));
}

}  // namespace vx::panel
