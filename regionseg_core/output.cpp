// The label image: every pixel receives the list position of its region.
#include "regionseg.h"

namespace {

void fill_block(const seg_context &ctx, int32_t *labels, const region_node *b, int32_t label) {
  const int32_t level = code_level(ctx, b->code);
  const block_origin_t o = block_origin(ctx, b->code, level);
  const block_extent_t e = block_extent(ctx, level);
  int32_t *base = labels + o.x + o.y + o.z;
  for (int32_t z = 0; z < e.depth; z += ctx.plane_stride) {
    for (int32_t y = 0; y < e.height; y += ctx.dim_x) {
      int32_t *row = base + z + y;
      for (int32_t x = 0; x < e.width; ++x) {
        row[x] = label;
      }
    }
  }
}

} // namespace

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
      fill_block(ctx, labels, b, label);
    }
    ++label;
  }
}
