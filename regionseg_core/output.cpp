// The label image: every pixel receives the list position of its region.
// The regions are numbered in list order first; then every block, in the
// order of the record store (which follows the image closely), is written
// with the number of the region it belongs to.
#include "regionseg.h"

void make_output(seg_context &ctx, node_id head, int32_t *labels) {
  if (ctx.nodes[head].next_region == 0) {
    for (int32_t i = 0; i < ctx.cube_voxels; ++i) {
      labels[i] = 0;
    }
    return;
  }
  int32_t *label_of =
      static_cast<int32_t *>(seg_alloc(sizeof(int32_t) * static_cast<size_t>(ctx.node_count)));
  if (label_of == nullptr) {
    // Without the table, region by region along the member chains.
    int32_t label = 0;
    for (node_id r = head; r != 0; r = ctx.nodes[r].next_region) {
      for (node_id b = r; b != 0; b = ctx.nodes[b].next_block) {
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
  for (node_id b = 1; b < ctx.node_count; ++b) {
    if ((ctx.nodes[b].flags & FLAG_MERGED) == 0) {
      fill_leaf(ctx, labels, ctx.nodes[b].code, label_of[region_of_block(ctx, b)]);
    }
  }
  seg_free(label_of);
}
