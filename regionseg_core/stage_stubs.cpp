// Stand-ins for the region stages until they land: a run whose image is
// one homogeneous block completes; any other run ends after splitting, with
// everything released, as a failed run.
#include "regionseg.h"

region_node *order_region_list(seg_context &ctx, block_table table) {
  release_block_chain(ctx, table);
  return seg_fail_ptr<region_node>();
}

void set_region_statistics(seg_context &ctx, region_node *block) {
  const int32_t level = code_level(ctx, block->code);
  if (ctx.criterion == 2) {
    const block_origin_t o = block_origin(ctx, block->code, level);
    const block_extent_t e = block_extent(ctx, level);
    int64_t sum = 0;
    for (int32_t plane = 0; plane < e.depth; plane += ctx.plane_stride) {
      for (int32_t row = 0; row < e.height; row += ctx.dim_x) {
        const int32_t *run = ctx.image + o.x + o.y + o.z + plane + row;
        for (int32_t i = 0; i < e.width; ++i) {
          sum += run[i];
        }
      }
    }
    block->stat_a = sum;
    block->stat_b = ctx.block_voxels[level];
  } else if (ctx.criterion >= 4) {
    block->stat_b = ctx.block_voxels[level];
  }
  block->flags = 0;
}

region_node *group_sequential(seg_context &ctx, region_node *head) {
  (void)ctx;
  return head;
}

region_node *group_parallel(seg_context &ctx, region_node *head) {
  return group_sequential(ctx, head);
}

void eliminate_small_regions(seg_context &ctx, region_node *head) {
  (void)ctx;
  (void)head;
}

region_node *clean_region_list(seg_context &ctx, region_node *head) {
  (void)ctx;
  return head;
}

region_node *sort_region_list(seg_context &ctx, region_node *head) {
  (void)ctx;
  return head;
}

void make_output(seg_context &ctx, region_node *head, int32_t *labels) {
  const int32_t voxels = ctx.dim_x * ctx.dim_x * ctx.dim_z;
  for (int32_t i = 0; i < voxels; ++i) {
    labels[i] = 0;
  }
  (void)head;
}
