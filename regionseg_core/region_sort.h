// Ordering of the sort table of the region list: largest regions first.
#ifndef KALMEX_REGIONSEG_CORE_REGION_SORT_H
#define KALMEX_REGIONSEG_CORE_REGION_SORT_H

#include <cstddef>
#include <cstdint>

// One entry of the sort table: a region (its record) and its size in pixels.
struct sort_pair {
  uint32_t region;
  uint32_t size;
};

// Sorts pairs[0 .. count-1] by size, largest first, into exactly the
// permutation that this partition sort gives:
//
//   sort(lo, hi): while lo < hi:
//     pivot = pairs[lo]; m = lo;
//     for i = lo+1 .. hi: if pairs[i].size > pivot.size: ++m, swap(pairs[m], pairs[i]);
//     swap(pairs[lo], pairs[m]);
//     sort(lo, m-1); lo = m+1;
//
// (the order of equal sizes, and so the label numbers, depend on it).  The
// ranges are kept on a small stack of our own instead of the call stack, and
// a pivot that is not smaller than any later size of its range, which would
// move nothing, is passed over in constant time through suffix_max, a work
// array of count entries.  Already descending lists and long runs of equal
// sizes then take linear time.
void sort_pairs(sort_pair *pairs, uint32_t *suffix_max, std::size_t count);

#endif
