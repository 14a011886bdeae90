// Counts the live heap by standing in for the C allocator's entry points and passing each call on
// to glibc's own. A program that links this file has every allocation counted, its libraries'
// included; it cannot be combined with a sanitizer, which stands in for the same functions.
#include "heap_count.h"

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<std::int64_t> g_blocks{0};
std::atomic<std::int64_t> g_bytes{0};

void* counted(void* block) {
  if (block) {
    g_blocks.fetch_add(1, std::memory_order_relaxed);
    g_bytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(block)),
                      std::memory_order_relaxed);
  }
  return block;
}

void uncount(void* block) {
  if (!block) return;
  g_blocks.fetch_sub(1, std::memory_order_relaxed);
  g_bytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(block)),
                    std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) {
  return counted(__libc_malloc(size));
}

void* calloc(std::size_t count, std::size_t size) {
  return counted(__libc_calloc(count, size));
}

void* realloc(void* block, std::size_t size) {
  if (!block) return counted(__libc_malloc(size));
  const auto before = static_cast<std::int64_t>(malloc_usable_size(block));
  void* moved = __libc_realloc(block, size);
  if (!moved) {
    // realloc(block, 0) may free the block and give nothing back; on failure it stays as it was.
    if (size == 0) {
      g_blocks.fetch_sub(1, std::memory_order_relaxed);
      g_bytes.fetch_sub(before, std::memory_order_relaxed);
    }
    return nullptr;
  }
  g_bytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(moved)) - before,
                    std::memory_order_relaxed);
  return moved;
}

void* reallocarray(void* block, std::size_t count, std::size_t size) {
  std::size_t total = 0;
  if (__builtin_mul_overflow(count, size, &total)) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(block, total);
}

void free(void* block) {
  uncount(block);
  __libc_free(block);
}

void* memalign(std::size_t alignment, std::size_t size) {
  return counted(__libc_memalign(alignment, size));
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  return counted(__libc_memalign(alignment, size));
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* block = counted(__libc_memalign(alignment, size));
  if (!block) return ENOMEM;
  *out = block;
  return 0;
}

void* valloc(std::size_t size) {
  return counted(__libc_memalign(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), size));
}

void* pvalloc(std::size_t size) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return counted(__libc_memalign(page, (size + page - 1) / page * page));
}

}  // extern "C"

namespace vx::bench {

HeapCount live_heap() {
  return {g_blocks.load(std::memory_order_relaxed), g_bytes.load(std::memory_order_relaxed)};
}

}  // namespace vx::bench
