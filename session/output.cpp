#include "session/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace vx::session {

namespace {

std::string folder_of(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? "." : parent.string();
}

// 0666 less the process's umask: the mode open() would give a new file.
mode_t new_file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// `text` with every `from` in it said as `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

}  // namespace

std::string cannot_write(const std::string& path) {
  const auto refused = [&](int error) {
    return "cannot write " + path + ": " + std::strerror(error);
  };
  struct stat seen {};
  if (::lstat(path.c_str(), &seen) == 0) {
    if (S_ISDIR(seen.st_mode)) return refused(EISDIR);
    if (::access(path.c_str(), W_OK) != 0) return refused(errno);
    // A regular file is replaced through its folder.
    if (S_ISREG(seen.st_mode) && ::access(folder_of(path).c_str(), W_OK | X_OK) != 0) {
      return refused(errno);
    }
    return "";
  }
  if (errno != ENOENT) return refused(errno);
  if (::access(folder_of(path).c_str(), W_OK | X_OK) != 0) return refused(errno);
  return "";
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat first {
  }, second{};
  if (::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0) {
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  }
  std::error_code error;
  const auto resolved_a = std::filesystem::weakly_canonical(std::filesystem::absolute(a), error);
  const auto resolved_b = std::filesystem::weakly_canonical(std::filesystem::absolute(b), error);
  return resolved_a == resolved_b;
}

void write_whole(const std::string& path, const std::function<void(const std::string&)>& write) {
  struct stat seen {};
  const bool exists = ::lstat(path.c_str(), &seen) == 0;
  if (exists && !S_ISREG(seen.st_mode)) {
    write(path);
    return;
  }
  const std::string name = std::filesystem::path(path).filename().string();
  const std::string folder = folder_of(path);
  std::string pattern = folder + "/.vx3071-XXXXXX-" + name;
  std::vector<char> made(pattern.begin(), pattern.end());
  made.push_back('\0');
  const int fd = ::mkostemps(made.data(), static_cast<int>(name.size() + 1), O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  const std::string temporary(made.data());
  const mode_t mode = exists ? (seen.st_mode & 07777) : new_file_mode();
  const bool moded = ::fchmod(fd, mode) == 0;
  const int mode_error = errno;
  ::close(fd);
  try {
    if (!moded) throw std::runtime_error("cannot write " + path + ": " + std::strerror(mode_error));
    try {
      write(temporary);
    } catch (const std::exception& error) {
      throw std::runtime_error(replaced(error.what(), temporary, path));
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
      throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
}

}  // namespace vx::session
