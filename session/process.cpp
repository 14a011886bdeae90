#include "session/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace vx::session {

static_assert(kStopSignals[0] == SIGINT && kStopSignals[1] == SIGTERM && kStopSignals[2] == SIGHUP);

void catch_stop_signals(void (*handler)(int)) {
  for (const int number : kStopSignals) {
    struct sigaction old {};
    if (::sigaction(number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Each stop signal waits while another's handler runs, so one of them decides how it ends.
    for (const int other : kStopSignals) sigaddset(&action.sa_mask, other);
    action.sa_flags = SA_RESTART;
    ::sigaction(number, &action, nullptr);
  }
}

void die_of(int number) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(number, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, number);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(number);
  ::_exit(128 + number);  // a signal whose default is not to end the program
}

void hold_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Open for the other direction: what the program would do with the descriptor still fails.
    const int held = ::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

}  // namespace vx::session
