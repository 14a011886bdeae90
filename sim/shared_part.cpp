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
