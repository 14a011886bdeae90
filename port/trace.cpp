#include "port/trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

#include "frame/line_protocol.h"
#include "port/forks.h"
#include "port/port.h"

namespace vx::port {

namespace {

// A write to a FIFO whose reader has gone raises SIGPIPE, which would end the program. While the
// trace writes to a FIFO, the signal is held back and, if it came, taken: the write then fails
// with EPIPE like any other, and the trace stops there.
class SigpipeHeld {
 public:
  explicit SigpipeHeld(bool hold) : hold_(hold) {
    if (!hold_) return;
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigpending(&before_);
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeHeld() {
    if (!hold_) return;
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE) && !sigismember(&before_, SIGPIPE)) {
      const timespec now{};
      sigtimedwait(&pipe_, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

 private:
  bool hold_;
  sigset_t pipe_{}, old_{}, before_{};
};

bool ends_with_vcd(const std::string& path) {
  constexpr std::size_t kLength = 4;
  return path.size() >= kLength && ::strcasecmp(path.c_str() + path.size() - kLength, ".vcd") == 0;
}

class TextTrace final : public TraceRecorder {
 public:
  TextTrace(int fd, std::string path, bool fifo, Use use)
      : TraceRecorder(fd, std::move(path), fifo, use) {}

  void record_write(std::int16_t address, std::int16_t value, std::optional<bool>) override {
    print("W %X %X\n", static_cast<unsigned>(static_cast<std::uint16_t>(address)),
          static_cast<unsigned>(static_cast<std::uint16_t>(value)));
  }
  void record_read(std::int16_t address, std::int32_t value, std::optional<bool>) override {
    print("R %X %X\n", static_cast<unsigned>(static_cast<std::uint16_t>(address)),
          static_cast<unsigned>(static_cast<std::uint32_t>(value)));
  }
};

// Single-bit wires only: common logic-analyser tools read no vectors. Each access is one
// microsecond after the previous one; the lines start idle (pulled high).
class VcdTrace final : public TraceRecorder {
 public:
  VcdTrace(int fd, std::string path, bool fifo, Use use)
      : TraceRecorder(fd, std::move(path), fifo, use) {
    print(
        "$comment VX3071 bench panel: one port access per microsecond $end\n"
        "$timescale 1 us $end\n"
        "$scope module vx3071 $end\n"
        "$var wire 1 ! SCL $end\n"
        "$var wire 1 \" SDA $end\n"
        "$var wire 1 # SDA_OUT $end\n"
        "$upscope $end\n"
        "$enddefinitions $end\n"
        "#0\n"
        "$dumpvars\n1!\n1\"\n1#\n$end\n");
  }

  void record_write(std::int16_t, std::int16_t value, std::optional<bool> bus_sda) override {
    const bool scl = frame::scl_of(value);
    const bool sda_out = frame::sda_drive_of(value);
    // Without the back end's view, the bus shows what the panel drives.
    step(scl, bus_sda.value_or(sda_out), sda_out);
  }

  void record_read(std::int16_t, std::int32_t value, std::optional<bool> bus_sda) override {
    step(scl_, bus_sda.value_or(frame::sda_of_status(value)), sda_out_);
  }

 private:
  // A reader takes the last change as lasting only up to the last timestamp in the file, so one
  // more timestamp, that of the next access, makes the closing STOP readable. The next access's
  // changes then follow it.
  void mark_end() override {
    if (marked_ != time_ + 1) print("#%llu\n", time_ + 1);
    marked_ = time_ + 1;
  }

  void step(bool scl, bool sda, bool sda_out) {
    ++time_;
    if (scl == scl_ && sda == sda_ && sda_out == sda_out_) return;
    if (marked_ != time_) print("#%llu\n", time_);
    marked_ = time_;
    if (scl != scl_) print("%d!\n", scl ? 1 : 0);
    if (sda != sda_) print("%d\"\n", sda ? 1 : 0);
    if (sda_out != sda_out_) print("%d#\n", sda_out ? 1 : 0);
    scl_ = scl;
    sda_ = sda;
    sda_out_ = sda_out;
  }

  unsigned long long time_ = 0;
  unsigned long long marked_ = 0;  // the last timestamp written
  bool scl_ = true;
  bool sda_ = true;
  bool sda_out_ = true;
};

}  // namespace

namespace {

// Why `path` could not be written, in the words of what it was for.
std::string failure(const std::string& path, TraceRecorder::Use use, const std::string& reason) {
  if (use == TraceRecorder::Use::saved) return path + " was not saved: " + reason;
  return "cannot write the trace file " + path + ": " + reason +
         "; the port goes on without a trace";
}

}  // namespace

std::unique_ptr<TraceRecorder> TraceRecorder::create(const std::string& path, Use use) {
  // Without blocking: a FIFO that nobody reads would otherwise hold the program at the open. Not
  // emptied yet: another writer's file is left alone.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int error = errno;
    if (error == ENXIO) {
      throw TraceError(failure(path, use,
                               "no program is reading the FIFO, so nothing can be written to it: "
                               "start its reader first"));
    }
    throw TraceError(failure(path, use, std::strerror(error)));
  }
  // One writer a file: two that interleave their lines would make a trace that lies. The lock is
  // advisory and goes with the descriptor, so it holds between devices of one process too.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    throw TraceError(failure(path, use,
                             error == EWOULDBLOCK
                                 ? "it is being written by another program or device; give each "
                                   "its own trace file"
                                 : std::strerror(error)));
  }
  struct stat status {};
  const bool fifo = ::fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode);
  if (!fifo && S_ISREG(status.st_mode) && ::ftruncate(fd, 0) != 0) {
    const int error = errno;
    ::close(fd);
    throw TraceError(failure(path, use, std::strerror(error)));
  }
  // Once open, a FIFO's reader sets the pace, as for any other writer: nothing is dropped.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (ends_with_vcd(path)) return std::make_unique<VcdTrace>(fd, path, fifo, use);
  return std::make_unique<TextTrace>(fd, path, fifo, use);
}

namespace {
// Records wait in the buffer until a flush, or until this much has gathered.
constexpr std::size_t kBufferLimit = 64 * 1024;
}  // namespace

TraceRecorder::TraceRecorder(int fd, std::string path, bool fifo, Use use)
    : fd_(fd), writer_(fork_generation()), path_(std::move(path)), fifo_(fifo), use_(use) {}

TraceRecorder::~TraceRecorder() {
  // What is left unflushed is dropped: a destructor has no one to tell a failure to.
  if (fd_ >= 0) ::close(fd_);
}

bool TraceRecorder::writing() const {
  return fd_ >= 0 && !failed_;
}

void TraceRecorder::print(const char* format, ...) {
  if (!writing()) return;
  // A record fits the line; only the VCD's header is formatted a second time, at its length.
  char line[128];
  std::va_list arguments, again;
  va_start(arguments, format);
  va_copy(again, arguments);
  const int length = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (length > 0 && static_cast<std::size_t>(length) < sizeof line) {
    buffer_.append(line, static_cast<std::size_t>(length));
  } else if (length > 0) {
    const std::size_t start = buffer_.size();
    buffer_.resize(start + static_cast<std::size_t>(length) + 1);
    std::vsnprintf(buffer_.data() + start, static_cast<std::size_t>(length) + 1, format, again);
    buffer_.pop_back();  // the terminating NUL
  }
  va_end(again);
  if (buffer_.size() >= kBufferLimit) write_out();
}

bool TraceRecorder::write_out() {
  // A forked copy drops what it gathered: the file is its parent's.
  if (fork_generation() != writer_) {
    buffer_.clear();
    return false;
  }
  const SigpipeHeld held(fifo_);
  std::size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t written = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (written < 0 && errno == EINTR) continue;  // a signal's handler ran: nothing was written
    if (written <= 0) {
      fail(written < 0 ? errno : EIO, "writing");
      buffer_.clear();
      return false;
    }
    done += static_cast<std::size_t>(written);
  }
  buffer_.clear();
  return true;
}

void TraceRecorder::flush() {
  if (!writing()) return;
  mark_end();
  if (writing()) write_out();
}

void TraceRecorder::close() {
  flush();
  if (fd_ < 0) return;
  // A forked process closes its copy of the descriptor and nothing more.
  const bool own = fork_generation() == writer_;
  const bool was_good = !failed_;
  const int result = ::close(fd_);
  const int error = errno;
  fd_ = -1;
  if (own && result != 0 && was_good && error != EINTR) fail(error, "closing");
}

std::optional<std::string> TraceRecorder::take_error() {
  return std::exchange(error_, std::nullopt);
}

void TraceRecorder::fail(int error, const char* doing) {
  failed_ = true;
  if (use_ == Use::saved) {
    error_ = path_ + " was not saved: " + doing + " it failed: " + std::strerror(error);
    return;
  }
  error_ = std::string(doing) + " the trace file " + path_ + " failed: " + std::strerror(error) +
           "; the trace stops here, the port goes on";
}

}  // namespace vx::port
