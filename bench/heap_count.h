#pragma once

#include <cstdint>

namespace vx::bench {

// The heap blocks this process holds and their usable bytes, counted at every allocation and
// release of the C allocator, through which operator new, Qt and the standard library all go.
struct HeapCount {
  std::int64_t blocks = 0;
  std::int64_t bytes = 0;
};
HeapCount live_heap();

// What a long run added to the heap after its warm-up: the target is nothing at all.
struct HeapGrowth {
  HeapCount after_warmup;
  HeapCount after_run;
  std::int64_t blocks() const { return after_run.blocks - after_warmup.blocks; }
  std::int64_t bytes() const { return after_run.bytes - after_warmup.bytes; }
  bool none() const { return blocks() <= 0 && bytes() <= 0; }
};

// Runs `act(n)` for n actions twice, `warmup` then `run` more, counting the heap after each.
template <class Act>
HeapGrowth heap_growth(Act&& act, long warmup, long run) {
  HeapGrowth growth;
  act(warmup);
  growth.after_warmup = live_heap();
  act(run);
  growth.after_run = live_heap();
  return growth;
}

}  // namespace vx::bench
