// The loop of region list ordering that gives the leaves their regions
// (region_list.cpp), compiled for each criterion C (see criterion.h).
#ifndef KALMEX_REGIONSEG_REGION_LIST_LOOPS_H
#define KALMEX_REGIONSEG_REGION_LIST_LOOPS_H

#include "criterion.h"

// The region r of a leaf block whose present part is box: its statistics
// as grouping reads them, its size and its first pixel.
template <typename C>
void make_region(seg_context &ctx, const block_record &block, const block_box &box, region_id r) {
  region_store &s = ctx.regions;
  region_hot &h = s.hot[r];
  C::region(ctx, block, box, h);
  h.mark = 0;
  s.lists[r] = region_lists{0, 0};
  s.size[r] = box.voxels;
  s.origin[r] = box.start;
  if (s.next_member != NULL) {
    s.next_member[r] = 0;
    s.last_member[r] = r;
  }
}

// Every leaf of the block store (its rank among the leaves of its level
// set) becomes its region, and its pixels in the map name it; in parts of
// the block store.  False when the run must end.
template <typename C> bool make_regions(seg_context &ctx, int32_t *map) {
  const region_store &s = ctx.regions;
  const size_t records = static_cast<size_t>(ctx.block_count) - 1;
  const part_plan plan = plan_parts(ctx, records, static_cast<size_t>(ctx.image_voxels));
  part_stop stop(plan, static_cast<size_t>(ctx.image_voxels));
  for_each_part(plan, [&](int32_t part, int32_t worker) {
    const block_id last = static_cast<block_id>(1 + part_start(records, part + 1, plan.parts));
    for (block_id b = static_cast<block_id>(1 + part_start(records, part, plan.parts)); b < last;
         ++b) {
      const block_record &block = ctx.blocks[b];
      if (block.merged) {
        continue;
      }
      const int32_t level = code_level(ctx, block.code);
      const block_box box = present_box(ctx, block.code, level);
      if (stop.poll(ctx, worker, static_cast<size_t>(box.voxels))) {
        break;
      }
      const region_id r = s.level_first[level] + block.rank;
      fill_pixels(ctx, map, box, static_cast<int32_t>(r));
      make_region<C>(ctx, block, box, r);
    }
  });
  return !stop.ended();
}

#endif
