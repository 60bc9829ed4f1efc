#include "region_sort.h"

#include <utility>

namespace {

// suffix_max[i] = the largest size among pairs[i .. hi], for i in lo .. hi.
void fill_suffix_max(const sort_pair *pairs, uint32_t *suffix_max, std::size_t lo, std::size_t hi) {
  uint32_t largest = pairs[hi].size;
  suffix_max[hi] = largest;
  for (std::size_t i = hi; i > lo; --i) {
    if (pairs[i - 1].size > largest) {
      largest = pairs[i - 1].size;
    }
    suffix_max[i - 1] = largest;
  }
}

struct sort_range {
  std::size_t lo;
  std::size_t hi;
};

} // namespace

void sort_pairs(sort_pair *pairs, uint32_t *suffix_max, std::size_t count) {
  if (count < 2) {
    return;
  }
  // The partition of a range touches only that range, so the two parts left
  // by a partition may be finished in either order without changing the
  // result.  Going on with the smaller part and keeping the larger on the
  // stack bounds the stack by log2(count) + 1 entries.
  sort_range stack[8 * sizeof(std::size_t) + 1];
  std::size_t top = 0;
  stack[top++] = {0, count - 1};
  while (top > 0) {
    std::size_t lo = stack[top - 1].lo;
    std::size_t hi = stack[top - 1].hi;
    --top;
    if (lo >= hi) {
      continue;
    }
    fill_suffix_max(pairs, suffix_max, lo, hi);
    while (lo < hi) {
      const uint32_t pivot = pairs[lo].size;
      if (pivot >= suffix_max[lo + 1]) {
        // Nothing later in the range is larger: the partition would leave
        // the pivot where it is and the range untouched.
        ++lo;
        continue;
      }
      std::size_t m = lo;
      for (std::size_t i = lo + 1; i <= hi; ++i) {
        if (pairs[i].size > pivot) {
          ++m;
          std::swap(pairs[m], pairs[i]);
        }
      }
      std::swap(pairs[lo], pairs[m]);
      // Here m > lo: the larger sizes are in lo .. m-1, the rest in m+1 .. hi.
      const std::size_t left = m - lo;
      const std::size_t right = hi - m;
      if (left <= right) {
        if (right >= 2) {
          stack[top++] = {m + 1, hi};
        }
        hi = m - 1;
      } else {
        if (left >= 2) {
          stack[top++] = {lo, m - 1};
        }
        lo = m + 1;
      }
      if (lo < hi) {
        fill_suffix_max(pairs, suffix_max, lo, hi);
      }
    }
  }
}
