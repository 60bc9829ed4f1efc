// The run's allocator: blocks carved out of the spans of a heap and the
// pool of spans kept between runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "seg_context.h"

namespace {

// Every block of the sequence holds its own byte pattern.
struct Held {
  unsigned char *p;
  size_t bytes;
  unsigned char value;
};

bool holds(const Held &h) {
  for (size_t i = 0; i < h.bytes; ++i) {
    if (h.p[i] != h.value) {
      return false;
    }
  }
  return true;
}

// Random allocations, zero-filled ones, resizes and frees of small and
// large blocks on a heap: no block overlaps another, a zero-filled block
// is all zeros even on pages an earlier round wrote, and a resize keeps
// the bytes it keeps.  The second and third rounds run on the spans the
// first left in the pool.
TEST(Allocator, BlocksOfSpansKeepTheirBytes) {
  std::mt19937 rng(5);
  const long live_before = seg_live_allocations();
  for (int round = 0; round < 3; ++round) {
    seg_heap heap;
    seg_heap *const outer = seg_use_heap(&heap);
    std::vector<Held> held;
    for (int step = 0; step < 600; ++step) {
      const uint32_t what = rng() % 8;
      // Sizes from a few bytes to 512 KiB, most of them large.
      const size_t bytes = rng() % 4 == 0 ? 1 + rng() % 4000 : 1 + rng() % (512u << 10);
      const unsigned char value = static_cast<unsigned char>(1 + step % 250);
      if (what < 3 || held.empty()) {
        const bool zero = what == 1;
        unsigned char *p =
            static_cast<unsigned char *>(zero ? seg_calloc(bytes, 1) : seg_alloc(bytes));
        ASSERT_NE(p, nullptr);
        if (zero) {
          for (size_t i = 0; i < bytes; ++i) {
            ASSERT_EQ(p[i], 0) << "round " << round << " step " << step << " byte " << i;
          }
        }
        std::memset(p, value, bytes);
        held.push_back({p, bytes, value});
      } else if (what < 5) {
        Held &h = held[rng() % held.size()];
        unsigned char *p = static_cast<unsigned char *>(seg_resize(h.p, bytes));
        ASSERT_NE(p, nullptr);
        const Held kept{p, bytes < h.bytes ? bytes : h.bytes, h.value};
        ASSERT_TRUE(holds(kept)) << "round " << round << " step " << step;
        std::memset(p, h.value, bytes);
        h = {p, bytes, h.value};
      } else {
        const size_t k = rng() % held.size();
        ASSERT_TRUE(holds(held[k])) << "round " << round << " step " << step;
        seg_free(held[k].p);
        held[k] = held.back();
        held.pop_back();
      }
    }
    for (const Held &h : held) {
      ASSERT_TRUE(holds(h));
    }
    // Half freed by hand, the rest with the heap.
    for (size_t k = 0; k < held.size(); k += 2) {
      seg_free(held[k].p);
    }
    seg_use_heap(outer);
    seg_release_heap(heap);
    EXPECT_EQ(heap.live, nullptr);
    EXPECT_EQ(heap.spans, nullptr);
    EXPECT_EQ(seg_live_allocations(), live_before);
    EXPECT_LE(seg_pool_bytes(), pool_limit_bytes());
  }
  seg_release_pool();
  EXPECT_EQ(seg_pool_bytes(), 0u);
}

// The pool keeps spans up to its limit, whatever the runs held, and the
// runs after take them: two runs over the same image give the same
// labels, the second on the first's pages.
TEST(Allocator, ThePoolIsBoundedAndServesTheNextRuns) {
  seg_release_pool();
  {
    seg_heap heap;
    seg_heap *const outer = seg_use_heap(&heap);
    // Large blocks never written: their pages are never faulted in.
    const size_t big = pool_limit_bytes() / 2 + (1u << 20);
    ASSERT_NE(seg_alloc(big), nullptr);
    ASSERT_NE(seg_alloc(big), nullptr);
    ASSERT_NE(seg_alloc(big), nullptr);
    seg_use_heap(outer);
    seg_release_heap(heap);
  }
  EXPECT_GT(seg_pool_bytes(), 0u);
  EXPECT_LE(seg_pool_bytes(), pool_limit_bytes());
  seg_release_pool();

  const int32_t side = 64;
  std::vector<int32_t> image(static_cast<size_t>(side) * side * side);
  std::mt19937 rng(3);
  for (size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<int32_t>((i / 3 + rng() % 6) % 200);
  }
  seg_params params;
  params.levels = 6;
  params.flat_levels = 0;
  params.start_level = 1;
  params.threshold = 8;
  params.min_region_size = 4;
  params.progress = [](const char *) {};
  std::vector<int32_t> first(image.size()), second(image.size());
  ASSERT_EQ(split_merge(image.data(), side, side, side, params, first.data(), nullptr), SEG_OK);
  const size_t pooled = seg_pool_bytes();
  EXPECT_GT(pooled, 0u);
  ASSERT_EQ(split_merge(image.data(), side, side, side, params, second.data(), nullptr), SEG_OK);
  EXPECT_EQ(seg_pool_bytes(), pooled); // the same spans, no new one
  EXPECT_EQ(first, second);
  EXPECT_EQ(seg_live_allocations(), 0);
  seg_release_pool();
  EXPECT_EQ(seg_pool_bytes(), 0u);
}

} // namespace
