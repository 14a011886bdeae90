#include "port/forks.h"

#include <pthread.h>

#include <atomic>

namespace vx::port {

namespace {

std::atomic<unsigned> generation{0};

// Registered before main: every fork after it, by this program or a library it loads, counts.
const bool counting = [] {
  return ::pthread_atfork(nullptr, nullptr, [] { generation.fetch_add(1); }) == 0;
}();

}  // namespace

unsigned fork_generation() {
  static_cast<void>(counting);
  return generation.load(std::memory_order_relaxed);
}

}  // namespace vx::port
