// Cleaning and sorting of the region list before the labels are written:
// the live regions are counted, and they are ordered largest first, which
// fixes their label numbers.  Only the list and its count are read after
// cleaning: sorting and the labels never look at an adjacency list again,
// so the lists are left as grouping and elimination left them.
#include "region_sort.h"
#include "stages.h"

void clean_region_list(seg_context &ctx) {
  const region_store &s = ctx.regions;
  int32_t live = 0;
  for (region_id r = 1; r <= s.count && !tick(ctx, r, ctx.region_total); ++r) {
    live += !is_absorbed(s, r);
  }
  ctx.region_count = live - 1;
}

int32_t sort_region_list(seg_context &ctx) {
  const region_store &s = ctx.regions;
  const size_t count = static_cast<size_t>(ctx.region_count) + 1;
  sort_pair *pairs = static_cast<sort_pair *>(seg_calloc(count, sizeof(sort_pair)));
  if (pairs == nullptr) {
    return note_shortage(ctx, "the sort table");
  }
  uint32_t *suffix_max = static_cast<uint32_t *>(seg_calloc(count, sizeof(uint32_t)));
  if (suffix_max == nullptr) {
    seg_free(pairs);
    return note_shortage(ctx, "the sort table");
  }
  size_t filled = 0;
  for (region_id r = 1; r <= s.count && filled < count && !tick(ctx); ++r) {
    if (!is_absorbed(s, r)) {
      pairs[filled].region = r;
      pairs[filled].size = static_cast<uint32_t>(s.size[r]);
      ++filled;
    }
  }
  if (ctx.ending != SEG_OK) {
    seg_free(suffix_max);
    seg_free(pairs);
    return SEG_FAIL;
  }
  sort_pairs(pairs, suffix_max, filled);
  seg_free(suffix_max);
  // Each live region's label is its place in the sorted list.
  int32_t *label_of =
      static_cast<int32_t *>(seg_alloc(sizeof(int32_t) * (static_cast<size_t>(s.count) + 1)));
  if (label_of == nullptr) {
    seg_free(pairs);
    return note_shortage(ctx, "the sort table");
  }
  for (size_t i = 0; i < filled; ++i) {
    label_of[pairs[i].region] = static_cast<int32_t>(i);
  }
  seg_free(pairs);
  ctx.label_of = label_of;
  return SEG_OK;
}
