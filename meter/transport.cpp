#include "meter/transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace vx::meter {

namespace {

// Waits until `fd` is ready for `events` or the deadline passes; false at the deadline. `check`
// runs before each slice of the wait and may throw to end it.
bool wait_for(int fd, short events, Clock::time_point deadline,
              const std::function<void()>& check = {}) {
  for (;;) {
    if (check) check();
    const auto slice = std::min(deadline, Clock::now() + Transport::kInterruptPoll);
    pollfd one{fd, events, 0};
    const int ready = ::poll(&one, 1, milliseconds_left(slice));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
    if (ready == 0 && Clock::now() >= deadline) return false;
  }
}

// A descriptor and the bytes read past the last line, for either transport.
class LineTransport : public Transport {
 public:
  ~LineTransport() override { close_fd(); }

  void send(const std::string& line, Clock::time_point deadline) override {
    const std::string out = line + ending_;
    std::size_t sent = 0;
    while (sent < out.size()) {
      if (!wait_for(fd_, POLLOUT, deadline, [this] { interrupt_point(); })) {
        throw MeterTimeout(where() + " took nothing for " + quoted(line) + " in time");
      }
      const ssize_t n = write_some(out.data() + sent, out.size() - sent);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        lost("sending " + quoted(line));
      }
      sent += static_cast<std::size_t>(n);
    }
  }

  std::string receive(Clock::time_point deadline) override {
    for (;;) {
      if (const std::size_t end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      if (!wait_for(fd_, POLLIN, deadline, [this] { interrupt_point(); })) {
        throw MeterTimeout(where() + " did not answer in time" +
                           (pending_.empty() ? "" : " (an answer began but never ended)"));
      }
      char buffer[4096];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        if (errno != EIO) lost("reading");  // EIO: a terminal's other end has closed
      }
      if (n <= 0) {
        throw MeterError(where() + " hung up" +
                         (pending_.empty() ? "" : " in the middle of an answer"));
      }
      pending_.append(buffer, static_cast<std::size_t>(n));
      if (pending_.size() > kLongest) {
        throw MeterError(where() + " sent more than " + std::to_string(kLongest) +
                         " bytes without ending a line");
      }
    }
  }

  std::string where() const override { return where_; }

  void drain() override {
    char buffer[4096];
    while (fd_ >= 0) {
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, 0) != 1 || (ready.revents & POLLIN) == 0) break;
      if (::read(fd_, buffer, sizeof buffer) <= 0) break;  // a hang-up is told by the next read
    }
    pending_.clear();
  }

 protected:
  static constexpr std::size_t kLongest = 1 << 20;

  static std::string quoted(const std::string& text) { return "\"" + text + "\""; }
  virtual ssize_t write_some(const char* data, std::size_t size) {
    return ::write(fd_, data, size);
  }
  [[noreturn]] void lost(const std::string& doing) {
    throw MeterError(where() + ": " + doing + " failed: " + std::strerror(errno));
  }
  void close_fd() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending_.clear();
  }

  int fd_ = -1;
  std::string where_;
  std::string ending_ = "\n";
  std::string pending_;  // read, not yet a whole line
};

class Socket final : public LineTransport {
 public:
  Socket(const Resource& resource, Clock::time_point deadline) : resource_(resource) {
    where_ = "the meter at " + resource.text;
    connect(deadline);
  }

  void clear() override {
    close_fd();
    connect(Clock::now() + std::chrono::seconds(5));
  }

 private:
  ssize_t write_some(const char* data, std::size_t size) override {
    return ::send(fd_, data, size, MSG_NOSIGNAL);
  }

  void connect(Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = AF_UNSPEC;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(resource_.port);
    if (const int error = ::getaddrinfo(resource_.host.c_str(), port.c_str(), &hints, &found)) {
      throw MeterError("cannot find the meter's host " + quoted(resource_.host) + ": " +
                       ::gai_strerror(error));
    }
    int last_error = 0;
    for (addrinfo* a = found; a && fd_ < 0; a = a->ai_next) {
      const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) continue;
      int error = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
      if (error == EINPROGRESS) {
        if (!wait_for(fd, POLLOUT, deadline)) {
          error = ETIMEDOUT;
        } else {
          socklen_t length = sizeof error;
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        }
      }
      if (error == 0) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fd_ = fd;
      } else {
        ::close(fd);
        last_error = error;
      }
    }
    ::freeaddrinfo(found);
    if (fd_ >= 0) return;
    if (last_error == ETIMEDOUT) throw MeterTimeout("cannot reach " + where_ + " in time");
    throw MeterError("cannot connect to " + where_ + ": " + std::strerror(last_error) +
                     (last_error == ECONNREFUSED
                          ? " (is it on, and is the port right? LXI meters listen on 5025)"
                          : ""));
  }

  Resource resource_;
};

speed_t speed_of(unsigned baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return B0;
  }
}

class Serial final : public LineTransport {
 public:
  Serial(const Resource& resource, const SerialSettings& settings) {
    where_ = "the meter on " + resource.path;
    ending_ = settings.ending;
    fd_ = ::open(resource.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
      const int error = errno;
      throw MeterError("cannot open " + resource.path + ": " + std::strerror(error) +
                       (error == EACCES ? " (join group dialout, then log in again)" : ""));
    }
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) lost("reading its line settings");
    ::cfmakeraw(&t);
    const speed_t speed = speed_of(settings.baud);
    if (speed == B0)
      throw MeterError("a serial meter's baud rate cannot be " + std::to_string(settings.baud));
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | (settings.data_bits == 7 ? CS7 : CS8);
    if (settings.parity != 'N') t.c_cflag |= PARENB | (settings.parity == 'O' ? PARODD : 0);
    if (settings.stop_bits == 2) t.c_cflag |= CSTOPB;
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) lost("setting its line");
    ::tcflush(fd_, TCIOFLUSH);
  }

  // The 34401A's SYSTem:LOCal ("All keys on the front panel are fully functional"), the way back
  // from the SYST:REM its manual asks for before any RS-232 command.
  void go_to_local(Clock::time_point deadline) override { send("SYST:LOC", deadline); }

  // The 34401A's RS-232 device clear is Ctrl-C (its manual: it clears the operation in progress
  // and discards pending output); then whatever still arrives is let go until the line is quiet.
  void clear() override {
    const char clear_device = 0x03;
    (void)!::write(fd_, &clear_device, 1);
    const auto give_up = Clock::now() + std::chrono::seconds(2);
    char buffer[256];
    while (
        Clock::now() < give_up &&
        wait_for(fd_, POLLIN, std::min(give_up, Clock::now() + std::chrono::milliseconds(200)))) {
      if (::read(fd_, buffer, sizeof buffer) <= 0) break;
    }
    ::tcflush(fd_, TCIFLUSH);
    pending_.clear();
  }
};

}  // namespace

SerialSettings parse_serial(const std::string& text) {
  const auto wrong = [&](const std::string& why) -> SerialSettings {
    throw MeterError("the serial settings \"" + text + "\" " + why +
                     ": they are BAUD,FRAME[,lf|crlf], as 9600,8N2 or 19200,7E1,crlf");
  };
  SerialSettings settings;
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    const std::size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (parts.size() < 2 || parts.size() > 3) return wrong("are not two or three parts");
  const std::string& baud = parts[0];
  if (baud.empty() || baud.size() > 6 ||
      baud.find_first_not_of("0123456789") != std::string::npos ||
      speed_of(static_cast<unsigned>(std::stoul(baud))) == B0) {
    return wrong("have no baud rate a serial port offers (1200 to 115200)");
  }
  settings.baud = static_cast<unsigned>(std::stoul(baud));
  const std::string& frame = parts[1];
  if (frame.size() != 3 || (frame[0] != '7' && frame[0] != '8') ||
      std::string("NEO").find(frame[1]) == std::string::npos ||
      (frame[2] != '1' && frame[2] != '2')) {
    return wrong("have no frame of 7 or 8 data bits, parity N, E or O, and 1 or 2 stop bits");
  }
  settings.data_bits = frame[0] - '0';
  settings.parity = frame[1];
  settings.stop_bits = frame[2] - '0';
  if (parts.size() == 3) {
    if (parts[2] == "crlf") {
      settings.ending = "\r\n";
    } else if (parts[2] != "lf") {
      return wrong("end lines with neither lf nor crlf");
    }
  }
  return settings;
}

std::unique_ptr<Transport> open_socket(const Resource& resource, Clock::time_point deadline) {
  return std::make_unique<Socket>(resource, deadline);
}

std::unique_ptr<Transport> open_serial(const Resource& resource, const SerialSettings& settings) {
  return std::make_unique<Serial>(resource, settings);
}

}  // namespace vx::meter
