// A bench multimeter for the tests, its own program and none of the code under test: it speaks
// SCPI as Keysight's 34465A does over LAN (raw socket) and as the 34401A does over RS-232, from
// their manuals' command references: *IDN?, *CLS, SYST:REM, SYST:LOC, CONF:RES and CONF:VOLT:DC with a
// range, READ? (a fresh reading, "+1.00000000E+04" form), SYST:ERR? ("+0,\"No error\"" when
// empty, else the oldest error), and Ctrl-C on RS-232, which discards pending output.
//
//   meter_emulator (--tcp | --pty) [--model 34465A|34401A] [--value V] [--fault F]
//                  [--line BAUD,FRAME,lf|crlf] [--log FILE]
//
// On a pseudo-terminal --line is the serial setting the meter is set to: a client whose line
// settings differ (as the terminal's own termios shows them) gets garbled bytes, as on a real
// line, and a line that does not end as the meter wants is not taken (its manual: the 34401A ends
// commands at its chosen terminator).
//
// It prints "tcp PORT" (on 127.0.0.1) or "pty PATH" on its first line, then serves one client at a
// time until killed. With VX3071_SIM_STATE set it measures the simulated part in that file, through
// the part's own analog side (VX3071_SIM_ANALOG), as a meter on the bench measures the chip;
// else it reads --value. Faults, each a way real meters and links fail:
//   no-answer      READ? is never answered
//   garbage        READ? is answered with bytes that are no number
//   empty          READ? is answered with an empty line
//   hang-up        half an answer, then the connection closes
//   split          the answer in two segments 5 ms apart
//   slow           the answer 300 ms late
//   late-once      the first READ? answered 1.5 s late, with another value; the rest at once
//   overload       READ? gives 9.9E37, as beyond the range
//   infinite       READ? gives 1E999, a number no double holds (a meter's firmware fault, or a
//                  stranger on the port)
//   error-queue    CONF is refused: -222,"Data out of range" waits in the error queue
//   wrong-identity *IDN? is answered with a reading
//   silent-after-N the first N READ? are answered, then none (a cable pulled, a meter switched
//                  off: no answer, no error)
//   overload-at-N  the READ? numbered N (from 0) gives 9.9E37, as a transient beyond the range
//   overload-from-N every READ? from the one numbered N gives 9.9E37
//   negative-overload READ? gives -9.9E37, beyond the range below zero (SCPI-99 7.2.1)
//   not-a-number   READ? gives 9.91E37, SCPI's not-a-number, which is no overload
//   garbage-error  READ? is answered with bytes that are no number, and -230,"Data corrupt or
//                  stale" waits in the error queue
//   two-lines      each READ? is answered with the reading and then a second line, 1111.0,
//                  that nothing asked for
//   counting       the READ? numbered N answers 1000 + N: every answer differs
//   stale-error    each connection finds -410,"Query INTERRUPTED" in the error queue, left by
//                  the client before (IEEE 488.2 11.5.2), until *CLS clears it
//   half-once      the first READ? sends its first 6 bytes at once and the rest 1.5 s later (a
//                  device clear drops the rest)
//   short-identity *IDN? gives three fields, no serial number, as some GW Instek meters do
//                  (libsigrok's sr_scpi_get_hw_id)
//   telnet         the connection opens as Keysight's telnet port 5024 does: a welcome line, then
//                  a "34465A> " prompt after each answer (the 34465A's operating guide, "Telnet")
//
// With --log FILE every command taken is appended to FILE, a line each, so a test can see what
// the meter was told and in which order.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "sim/analog.h"
#include "sim/shared_part.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string model = "34465A";
std::string fault;
std::string line_setting;  // BAUD,FRAME,ENDING; empty: take whatever comes
std::string log_path;      // where each command taken is written, or empty
int slave_fd = -1;
double value = 4321.5;
bool first_read = true;
long fault_number = 0;  // N of a fault that ends in one: silent-after-N, overload-at-N, ...

std::string identity() {
  if (fault == "short-identity") return "GWInstek,GDM8341,FW1.00";
  if (model == "34401A") return "HEWLETT-PACKARD,34401A,0,11-5-2";
  return "Keysight Technologies,34465A,MY54500001,A.02.14-02.40-02.14-00.49-01-01";
}

// What the meter measures now: the shared part, where there is one.
double measured() {
  static const std::shared_ptr<vx::sim::SharedPart> part = vx::sim::shared_part_from_environment();
  if (!part) return value;
  static const vx::sim::Potentiometer potentiometer(vx::sim::analog_from_environment());
  static std::mt19937 random(99);
  const vx::sim::PartState state = part->load();
  return potentiometer.reading(state.setting, state.before,
                               std::chrono::nanoseconds(vx::sim::monotonic_ns() - state.written_ns),
                               random);
}

std::string reading(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%+.8E", v);
  return text;
}

// Output waiting for its time: a late answer, cancelled by a device clear.
struct Pending {
  Clock::time_point due;
  std::string bytes;
  bool then_close = false;
};

class Session {
 public:
  explicit Session(int fd) : fd_(fd) {
    if (fault == "stale-error") errors_.push_back("-410,\"Query INTERRUPTED\"");
    if (fault == "telnet") {
      out_.push_back({Clock::now(), "Welcome to Keysight's 34465A Multimeter\r\n\r\n34465A> "});
    }
  }

  // Serves until the client goes, or a fault hangs up.
  void serve() {
    std::string input;
    for (;;) {
      int wait_ms = -1;
      if (!out_.empty()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(out_.front().due - Clock::now())
                .count();
        wait_ms = static_cast<int>(left < 0 ? 0 : left);
      }
      pollfd p{fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, wait_ms);
      if (ready < 0) return;
      if (ready > 0) {
        char buffer[512];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) return;
        for (ssize_t i = 0; i < n; ++i) {
          if (buffer[i] == 0x03) {
            out_.clear();  // RS-232 device clear
            input.clear();
          } else if (buffer[i] == '\n') {
            take(input);
            input.clear();
          } else {
            input += buffer[i];
          }
        }
      }
      while (!out_.empty() && out_.front().due <= Clock::now()) {
        const Pending next = out_.front();
        out_.pop_front();
        if (!next.bytes.empty() && ::write(fd_, next.bytes.data(), next.bytes.size()) < 0) return;
        if (next.then_close) return;
      }
    }
  }

 private:
  void answer(const std::string& line, int after_ms = 0) {
    const std::string prompt = fault == "telnet" ? "\r\n34465A> " : "\n";
    out_.push_back({Clock::now() + std::chrono::milliseconds(after_ms), line + prompt});
  }

  // A line as the meter's serial setting takes it: garbled at other line settings, not taken
  // without the terminator it wants.
  void take(std::string line) {
    const bool cr = !line.empty() && line.back() == '\r';
    if (cr) line.pop_back();
    if (!line_setting.empty()) {
      if (!line_matches()) return answer("\xff\xfe\x80");
      const bool wants_crlf =
          line_setting.size() > 5 && line_setting.substr(line_setting.size() - 4) == "crlf";
      if (wants_crlf != cr) return;
    }
    handle(line);
  }

  static bool line_matches() {
    termios t{};
    if (slave_fd < 0 || ::tcgetattr(slave_fd, &t) != 0) return false;
    unsigned baud = 0;
    int data = 0, stop = 0;
    char parity = 0;
    std::sscanf(line_setting.c_str(), "%u,%d%c%d", &baud, &data, &parity, &stop);
    const speed_t speeds[][2] = {
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {115200, B115200}};
    speed_t expected = B0;
    for (const auto& [number, code] : speeds) expected = number == baud ? code : expected;
    // Data bits and parity cannot be seen here: the kernel's pty driver sets CS8 and clears PARENB
    // whatever a client asks (pty_set_termios in drivers/tty/pty.c). Baud and stop bits stay.
    (void)data;
    (void)parity;
    return ::cfgetospeed(&t) == expected && ((t.c_cflag & CSTOPB) != 0) == (stop == 2);
  }

  void handle(const std::string& command) {
    if (!log_path.empty()) {
      if (FILE* log = std::fopen(log_path.c_str(), "a")) {
        std::fprintf(log, "%s\n", command.c_str());
        std::fclose(log);
      }
    }
    if (command == "*IDN?") {
      answer(fault == "wrong-identity" ? reading(value) : identity());
    } else if (command == "*CLS") {
      errors_.clear();
    } else if (command == "SYST:REM" || command == "SYST:LOC") {
    } else if (command.rfind("CONF:RES", 0) == 0 || command.rfind("CONF:VOLT:DC", 0) == 0) {
      if (fault == "error-queue") errors_.push_back("-222,\"Data out of range\"");
    } else if (command == "SYST:ERR?") {
      if (errors_.empty()) {
        answer("+0,\"No error\"");
      } else {
        answer(errors_.front());
        errors_.pop_front();
      }
    } else if (command == "READ?") {
      read();
    } else {
      errors_.push_back("-113,\"Undefined header\"");
    }
  }

  void read() {
    const std::string text = reading(measured());
    const long n = reads++;
    if (fault == "no-answer") return;
    if (numbered("silent-after-") && n >= fault_number) return;
    if ((numbered("overload-at-") && n == fault_number) ||
        (numbered("overload-from-") && n >= fault_number)) {
      return answer("+9.90000000E+37");
    }
    if (fault == "garbage") return answer("+4.3#15E+0\x7f");
    if (fault == "garbage-error") {
      errors_.push_back("-230,\"Data corrupt or stale\"");
      return answer("+4.3#15E+0");
    }
    if (fault == "negative-overload") return answer("-9.90000000E+37");
    if (fault == "not-a-number") return answer("+9.91000000E+37");
    if (fault == "counting") return answer(reading(1000.0 + static_cast<double>(n)));
    if (fault == "two-lines") {
      answer(text);
      return answer(reading(1111));
    }
    if (fault == "half-once" && first_read) {
      first_read = false;
      out_.push_back({Clock::now(), text.substr(0, 6)});
      out_.push_back({Clock::now() + std::chrono::milliseconds(1500), text.substr(6) + "\n"});
      return;
    }
    if (fault == "empty") return answer("");
    if (fault == "overload") return answer("+9.90000000E+37");
    if (fault == "infinite") return answer("+1.00000000E+999");
    if (fault == "slow") return answer(text, 300);
    if (fault == "late-once" && first_read) {
      first_read = false;
      return answer(reading(1111), 1500);
    }
    if (fault == "hang-up") {
      out_.push_back({Clock::now(), text.substr(0, 6), true});
      return;
    }
    if (fault == "split") {
      out_.push_back({Clock::now(), text.substr(0, 7)});
      out_.push_back({Clock::now() + std::chrono::milliseconds(5), text.substr(7) + "\n"});
      return;
    }
    answer(text);
  }

  // Whether the fault is `prefix` followed by its number.
  static bool numbered(const std::string& prefix) { return fault.rfind(prefix, 0) == 0; }

  static inline long reads = 0;  // READ? taken, over every client
  int fd_;
  std::deque<Pending> out_;
  std::deque<std::string> errors_;
};

void serve_tcp() {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 4) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("meter_emulator: listen");
    std::exit(1);
  }
  std::printf("tcp %d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  for (;;) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const int one = 1;  // each write its own segment, as the split fault needs
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Session(client).serve();
    ::close(client);
  }
}

void serve_pty() {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    std::perror("meter_emulator: pty");
    std::exit(1);
  }
  termios t{};
  ::tcgetattr(master, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(master, TCSANOW, &t);
  // Held open here too, raw, so that the line never echoes and a client's close is no hang-up.
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    std::perror("meter_emulator: pty slave");
    std::exit(1);
  }
  ::tcgetattr(slave, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave, TCSANOW, &t);
  slave_fd = slave;
  std::printf("pty %s\n", ::ptsname(master));
  std::fflush(stdout);
  // The master sees the client's bytes whenever a client has the slave open; a hang-up ends the
  // emulator, as the cable pulled out ends a serial link.
  Session(master).serve();
}

}  // namespace

int main(int argc, char** argv) {
  bool tcp = false, pty = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--tcp") {
      tcp = true;
    } else if (arg == "--pty") {
      pty = true;
    } else if (arg == "--model" && i + 1 < argc) {
      model = argv[++i];
    } else if (arg == "--fault" && i + 1 < argc) {
      fault = argv[++i];
      if (const std::size_t digits = fault.find_last_not_of("0123456789") + 1;
          digits < fault.size()) {
        fault_number = std::atol(fault.c_str() + digits);
      }
    } else if (arg == "--log" && i + 1 < argc) {
      log_path = argv[++i];
    } else if (arg == "--line" && i + 1 < argc) {
      line_setting = argv[++i];
    } else if (arg == "--value" && i + 1 < argc) {
      value = std::strtod(argv[++i], nullptr);
    } else {
      std::fprintf(stderr, "meter_emulator: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  if (tcp == pty) {
    std::fprintf(stderr, "meter_emulator: --tcp or --pty\n");
    return 2;
  }
  if (tcp) serve_tcp();
  serve_pty();
}
