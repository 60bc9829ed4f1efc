// The label image: every pixel receives the list position of its region.
#include "regionseg.h"

void make_output(seg_context &ctx, node_id head, int32_t *labels) {
  if (ctx.nodes[head].next_region == 0) {
    for (int32_t i = 0; i < ctx.cube_voxels; ++i) {
      labels[i] = 0;
    }
    return;
  }
  int32_t label = 0;
  for (node_id r = head; r != 0; r = ctx.nodes[r].next_region) {
    for (node_id b = r; b != 0; b = ctx.nodes[b].next_block) {
      fill_leaf(ctx, labels, ctx.nodes[b].code, label);
    }
    ++label;
  }
}
