// The label image: every pixel receives the list position of its region.
// The regions are numbered in list order first; then every block, in parts
// of the record store (which follows the image closely) on the run's
// threads, writes the number of its region into its pixels.
#include "regionseg.h"

namespace {

// The live region that a block belongs to, as region_of_block finds it but
// without shortening the links on the way, so that the parts may look up
// at the same time.  After sorting, which looked up every block, each
// takes one step at most.
node_id live_region(const seg_context &ctx, node_id b) {
  while (ctx.nodes[b].last_member == 0) {
    b = ctx.links[ctx.nodes[b].nbr_head].node;
  }
  return b;
}

} // namespace

void make_output(seg_context &ctx, node_id head, int32_t *labels) {
  if (ctx.nodes[head].next_region == 0) {
    const size_t voxels = static_cast<size_t>(ctx.image_voxels);
    const part_plan plan = plan_parts(ctx, voxels / 4096 + 1, voxels);
    for_each_part(plan, [&](int32_t part, int32_t) {
      const size_t last = part_start(voxels, part + 1, plan.parts);
      for (size_t i = part_start(voxels, part, plan.parts); i < last; ++i) {
        labels[i] = 0;
      }
    });
    return;
  }
  int32_t *label_of =
      static_cast<int32_t *>(seg_alloc(sizeof(int32_t) * static_cast<size_t>(ctx.node_count)));
  if (label_of == nullptr) {
    // Without the table, region by region along the member chains, on one
    // thread: as much work.
    int32_t label = 0;
    for (node_id r = head; r != 0; r = ctx.nodes[r].next_region) {
      for (node_id b = r; b != 0 && !tick(ctx); b = ctx.nodes[b].next_block) {
        fill_leaf(ctx, labels, ctx.nodes[b].code, label);
      }
      ++label;
    }
    return;
  }
  int32_t label = 0;
  for (node_id r = head; r != 0; r = ctx.nodes[r].next_region) {
    label_of[r] = label++;
  }
  const size_t records = static_cast<size_t>(ctx.node_count) - 1;
  const part_plan plan = plan_parts(ctx, records, static_cast<size_t>(ctx.image_voxels));
  part_stop stop(plan, static_cast<size_t>(ctx.image_voxels));
  for_each_part(plan, [&](int32_t part, int32_t worker) {
    const node_id last = static_cast<node_id>(1 + part_start(records, part + 1, plan.parts));
    for (node_id b = static_cast<node_id>(1 + part_start(records, part, plan.parts));
         b < last && !stop.poll(ctx, worker, leaf_voxels(ctx, b)); ++b) {
      const region_node &block = ctx.nodes[b];
      if ((block.flags & FLAG_MERGED) == 0) {
        fill_leaf(ctx, labels, block.code, label_of[live_region(ctx, b)]);
      }
    }
  });
  seg_free(label_of);
}
