#pragma once

namespace vx::session {

// The signals that stop a program between two frames: Ctrl-C, `kill`, and a terminal or ssh
// session that hangs up. SIGQUIT is left at its default, a core dump for debugging.
inline constexpr int kStopSignals[] = {2 /* SIGINT */, 15 /* SIGTERM */, 1 /* SIGHUP */};

// Installs `handler` for each stop signal, with interrupted system calls restarted, except where
// the signal was ignored when the program started (a background job's SIGINT stays ignored).
void catch_stop_signals(void (*handler)(int));

// Ends the program by signal `number`, as if it had never been caught, so that a shell loop or
// make that started it sees the signal and stops too.
[[noreturn]] void die_of(int number);

// Descriptors 0, 1 and 2 closed at start are held on /dev/null, so that no file the program
// opens (a trace, a port) becomes its standard output or error. They stay as unusable as closed
// ones: reading standard input or writing standard output and error fails (EBADF).
void hold_standard_descriptors();

}  // namespace vx::session
