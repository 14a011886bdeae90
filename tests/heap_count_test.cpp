// The measuring code behind the benchmark's memory rows: it must see a leak as small as one byte
// per Read, and see none where there is none.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>

#include "heap_count.h"
#include "panel/panel_logic.h"
#include "sim/virtual_port.h"

namespace vx::bench {
namespace {

char* volatile g_leaked = nullptr;  // overwritten at every Read: the old byte is lost

// Random panel actions, each Read leaking one byte when asked to.
struct RandomPanel {
  port::PortAccess access{[] { return std::make_unique<sim::VirtualPort>(); }};
  panel::PanelLogic logic{access};
  std::mt19937 random{7};
  bool leak = false;

  void act(long count) {
    std::uniform_int_distribution<int> kind(0, 6), cell(0, 44), code(0, 255);
    for (long i = 0; i < count; ++i) {
      switch (kind(random)) {
        case 0:
          logic.user_sets_cell(cell(random), 1 - logic.cell(cell(random)));
          break;
        case 1:
          logic.user_sets_slider(code(random));
          break;
        case 2:
          logic.cmdZS_Click();
          break;
        case 3:
          logic.cmdMS_Click();
          break;
        case 4:
          logic.cmdFS_Click();
          break;
        case 5:
          logic.cmdRun_Click();
          break;
        default:
          logic.cmdRead_Click();
          if (leak) g_leaked = static_cast<char*>(std::malloc(1));
      }
    }
  }
};

TEST(HeapCount, SeesOneByteLeakedPerReadAndNothingWithoutIt) {
  for (bool leak : {false, true}) {
    RandomPanel panel;
    panel.leak = leak;
    const HeapGrowth growth = heap_growth([&](long n) { panel.act(n); }, 1'000, 9'000);
    if (leak) {
      EXPECT_FALSE(growth.none());
      EXPECT_GT(growth.blocks(), 9'000 / 7 / 2) << "one per Read, about one action in seven";
      EXPECT_GT(growth.bytes(), 0);
    } else {
      EXPECT_TRUE(growth.none()) << growth.blocks() << " blocks, " << growth.bytes() << " bytes";
    }
  }
}

// Keeps the compiler from pairing an allocation with its release and dropping both.
void* escape(void* block) {
  asm volatile("" : : "g"(block) : "memory");
  return block;
}

TEST(HeapCount, CountsEveryWayOfAllocating) {
  const HeapCount before = live_heap();
  void* blocks[7] = {};
  blocks[0] = escape(std::malloc(100));
  blocks[1] = escape(std::calloc(10, 10));
  blocks[2] = escape(std::realloc(nullptr, 50));
  blocks[2] = escape(std::realloc(blocks[2], 5000));
  ASSERT_EQ(posix_memalign(&blocks[3], 64, 100), 0);
  blocks[4] = escape(std::aligned_alloc(64, 128));
  blocks[5] = escape(::operator new(200));
  blocks[6] = escape(std::realloc(escape(std::malloc(10)), 0));  // freed: nothing left
  const HeapCount held = live_heap();
  ::operator delete(escape(blocks[5]));
  blocks[5] = nullptr;
  for (void* block : blocks) std::free(escape(block));
  const HeapCount after = live_heap();

  EXPECT_EQ(held.blocks - before.blocks, 6);
  EXPECT_GE(held.bytes - before.bytes, 100 + 100 + 5000 + 100 + 128 + 200);
  EXPECT_EQ(after.blocks, before.blocks);
  EXPECT_EQ(after.bytes, before.bytes);
}

}  // namespace
}  // namespace vx::bench
