// vx3071-panel: the bench panel on the port that VX3071_PORT names (the simulated device by
// default).
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "backends/backends.h"
#include "panel/main_window.h"
#include "panel/widgets.h"

namespace {

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace

int main(int argc, char** argv) {
  if (!set("QT_QPA_PLATFORM") && !set("DISPLAY") && !set("WAYLAND_DISPLAY")) {
    std::fputs(
        "vx3071-panel: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are unset); "
        "start it from a desktop, or run QT_QPA_PLATFORM=vnc vx3071-panel and point a VNC viewer "
        "at port 5900\n",
        stderr);
    return 1;
  }
  QApplication app(argc, argv);
  QApplication::setStyle(new vx::panel::PanelStyle);

  const auto port = vx::backends::port_from_environment();
  vx::panel::PanelLogic logic(*port);
  vx::panel::Form1 window(logic);
  window.show();
  return QApplication::exec();
}
