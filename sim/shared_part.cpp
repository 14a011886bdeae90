#include "sim/shared_part.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <stdexcept>

#include "port/port.h"

namespace vx::sim {

namespace {

class Locked {
 public:
  Locked(const std::string& path, int lock) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) fail("open");
    while (::flock(fd_, lock) != 0) {
      if (errno != EINTR) fail("lock");
    }
  }
  ~Locked() {
    if (fd_ >= 0) ::close(fd_);  // lets go of the lock too
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  int fd() const { return fd_; }
  [[noreturn]] void fail(const char* doing) const {
    throw port::PortError("cannot " + std::string(doing) + " the simulated part's state file " +
                          path_ + " (VX3071_SIM_STATE): " + std::strerror(errno));
  }

 private:
  std::string path_;
  int fd_ = -1;
};

PartState read_state(const Locked& file) {
  char text[128] = {};
  const ssize_t n = ::pread(file.fd(), text, sizeof text - 1, 0);
  if (n < 0) file.fail("read");
  PartState state;
  long long written = 0;
  int setting = 0, before = 0;
  if (n > 0 && std::sscanf(text, "%d %d %lld", &setting, &before, &written) == 3 && setting >= 0 &&
      setting <= 255 && before >= 0 && before <= 255) {
    state = {setting, before, written};
  }
  return state;
}

// The sweep's lock file beside the state file, and the processes that hold it; this process's
// own holds, which its stores pass (flock refuses a second open file even in the same process).
std::string sweep_path(const std::string& path) {
  return path + ".sweep";
}
std::mutex holds_mutex;
std::multiset<std::string> held_here;

// The refusal when another process's sweep holds the part, naming the process its lock file
// names ("process 1234").
[[noreturn]] void held_by(int fd, const std::string& path, const std::string& then) {
  char text[32] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  ::close(fd);
  const long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
  throw port::PortError("the simulated part (VX3071_SIM_STATE=" + path + ") is held by " +
                        (pid > 0 ? "process " + std::to_string(pid) : "another process") +
                        "'s sweep: " + then);
}

std::mutex published_mutex;
std::weak_ptr<Device> published_device;

}  // namespace

std::int64_t monotonic_ns() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

SharedPart::SharedPart(std::string path) : path_(std::move(path)) {}

PartState SharedPart::load() const {
  const Locked file(path_, LOCK_SH);
  return read_state(file);
}

void SharedPart::store(int setting) const {
  bool mine = false;
  {
    const std::lock_guard lock(holds_mutex);
    mine = held_here.count(path_) > 0;
  }
  if (!mine) {
    // Held for a sweep by another process: its readings would belong to our code.
    const int fd = ::open(sweep_path(path_).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        held_by(fd, path_, "writing waits until it ends; reading is allowed");
      }
      ::close(fd);
    }
  }
  const Locked file(path_, LOCK_EX);
  const PartState old = read_state(file);
  char text[128];
  const int n = std::snprintf(text, sizeof text, "%d %d %lld\n", setting, old.setting,
                              static_cast<long long>(monotonic_ns()));
  if (::ftruncate(file.fd(), 0) != 0 ||
      ::pwrite(file.fd(), text, static_cast<std::size_t>(n), 0) != n) {
    file.fail("write");
  }
}

std::shared_ptr<void> SharedPart::hold() const {
  const std::string path = sweep_path(path_);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    throw port::PortError("cannot open the simulated part's sweep lock " + path + ": " +
                          std::strerror(errno));
  }
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) held_by(fd, path_, "one sweep at a time on one part");
    const int error = errno;
    ::close(fd);
    throw port::PortError("cannot lock " + path + ": " + std::strerror(error));
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
    // The lock holds all the same; only the holder's name is missing.
  }
  {
    const std::lock_guard lock(holds_mutex);
    held_here.insert(path_);
  }
  return std::shared_ptr<void>(nullptr, [fd, key = path_](void*) {
    {
      const std::lock_guard lock(holds_mutex);
      held_here.erase(held_here.find(key));
    }
    ::close(fd);  // lets go of the lock
  });
}

std::shared_ptr<SharedPart> shared_part_from_environment() {
  const char* path = std::getenv("VX3071_SIM_STATE");
  if (!path || !*path) return nullptr;
  return std::make_shared<SharedPart>(path);
}

void publish(const std::shared_ptr<Device>& device) {
  const std::lock_guard lock(published_mutex);
  published_device = device;
}

std::shared_ptr<Device> published() {
  const std::lock_guard lock(published_mutex);
  return published_device.lock();
}

}  // namespace vx::sim
