#pragma once

#include <functional>

namespace vx::panel {

class Form1;

// The panel program, `vx3071-panel`: its arguments and settings checked before any window shows
// (status 2 for one it does not know or a setting that names nothing), the window on the port the
// settings name, its actions on a worker, the bus monitor beside it. Ending it (Exit, closing the
// window, SIGINT, SIGTERM, SIGHUP) lets the frame in progress end, drops what is queued and
// completes the trace; a signal then ends the program by that signal. Gives the exit status.
// `shown` runs once the window shows, on the window's thread: tests act there as a user would.
int run_panel(int argc, char** argv, const std::function<void(Form1&)>& shown = {});

}  // namespace vx::panel
