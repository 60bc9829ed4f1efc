// The label image: every pixel receives the list position of its region.
#include "regionseg.h"

void make_output(seg_context &ctx, region_node *head, int32_t *labels) {
  if (head->next_region == nullptr) {
    for (int32_t i = 0; i < ctx.cube_voxels; ++i) {
      labels[i] = 0;
    }
    return;
  }
  int32_t label = 0;
  for (const region_node *r = head; r != nullptr; r = r->next_region) {
    for (const region_node *b = r; b != nullptr; b = b->next_block) {
      fill_leaf(ctx, labels, b->code, label);
    }
    ++label;
  }
}
