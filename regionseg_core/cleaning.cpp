// Cleaning and sorting of the region list before the labels are written:
// absorbed regions leave the list, the live ones are counted, and they are
// ordered largest first, which fixes their label numbers.
#include "region_sort.h"
#include "regionseg.h"

node_id clean_region_list(seg_context &ctx, node_id head) {
  // Only the region list and its count are read after cleaning: sorting
  // and the labels never look at an adjacency list again, so the lists are
  // left as grouping and elimination left them.
  region_node *const nodes = ctx.nodes;
  ctx.region_count = 0;
  node_id r = head;
  while (r != 0 && nodes[r].last_member == 0) {
    r = nodes[r].next_region;
  }
  const node_id result = r;
  for (; r != 0 && !tick(ctx, static_cast<size_t>(ctx.region_count), ctx.region_total);
       r = nodes[r].next_region) {
    ++ctx.region_count;
    region_node &region = nodes[r];
    while (region.next_region != 0 && nodes[region.next_region].last_member == 0 && !tick(ctx)) {
      region.next_region = nodes[region.next_region].next_region;
    }
  }
  ctx.region_count -= 1;
  return result;
}

node_id sort_region_list(seg_context &ctx, node_id head) {
  const size_t count = static_cast<size_t>(ctx.region_count) + 1;
  sort_pair *pairs = static_cast<sort_pair *>(seg_calloc(count, sizeof(sort_pair)));
  if (pairs == nullptr) {
    note_shortage(ctx, "the sort table");
    return node_failed;
  }
  uint32_t *suffix_max = static_cast<uint32_t *>(seg_calloc(count, sizeof(uint32_t)));
  if (suffix_max == nullptr) {
    note_shortage(ctx, "the sort table");
    seg_free(pairs);
    return node_failed;
  }
  // Every block adds its pixels to its region, in the order of the store;
  // without room for the sums, each region walks its member chain (as
  // quick: every block is in one chain).
  uint32_t *sizes =
      static_cast<uint32_t *>(seg_calloc(static_cast<size_t>(ctx.node_count), sizeof(uint32_t)));
  if (sizes != nullptr) {
    for (node_id b = 1; b < ctx.node_count && !tick(ctx, b, ctx.node_count); ++b) {
      const region_node &block = ctx.nodes[b];
      if ((block.flags & FLAG_MERGED) == 0) {
        sizes[region_of_block(ctx, b)] +=
            static_cast<uint32_t>(present_voxels(ctx, block.code, code_level(ctx, block.code)));
      }
    }
  }
  size_t filled = 0;
  for (node_id r = head; r != 0 && filled < count && !tick(ctx); r = ctx.nodes[r].next_region) {
    pairs[filled].region = r;
    pairs[filled].size = sizes != nullptr ? sizes[r] : static_cast<uint32_t>(region_size(ctx, r));
    ++filled;
  }
  seg_free(sizes);
  if (ctx.ending != SEG_OK) {
    seg_free(suffix_max);
    seg_free(pairs);
    return node_failed;
  }
  sort_pairs(pairs, suffix_max, filled);
  for (size_t i = 0; i + 1 < filled; ++i) {
    ctx.nodes[pairs[i].region].next_region = pairs[i + 1].region;
  }
  const node_id first = filled > 0 ? pairs[0].region : head;
  if (filled > 0) {
    ctx.nodes[pairs[filled - 1].region].next_region = 0;
  }
  seg_free(suffix_max);
  seg_free(pairs);
  return first;
}
