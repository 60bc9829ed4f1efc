// The first stages of a run: covering the image with start blocks, painting
// the checkerboard, merging homogeneous siblings bottom-up and splitting
// inhomogeneous start blocks top-down.
#include "regionseg.h"

namespace {

// A single pixel cannot be split.  One that failed its criterion (only
// possible with limits below zero) is kept as a leaf with the statistics of
// a homogeneous pixel, so that every block of the chain is homogeneous.
void accept_pixel(seg_context &ctx, region_node *node, int32_t x, int32_t y, int32_t z) {
  const int64_t v = ctx.image[x + y + z];
  node->stat_a = v;
  node->stat_b = variance_statistics(ctx.criterion) ? v * v : v;
}

// Splits node's block into its children at level, or keeps it when it is a
// single pixel already.
int32_t split_or_accept(seg_context &ctx, region_node *node, int32_t level, int32_t x, int32_t y,
                        int32_t z, int32_t width, int32_t height, int32_t depth) {
  if (level < 0) {
    accept_pixel(ctx, node, x, y, z);
    return SEG_OK;
  }
  return split_block(ctx, node, level, x, y, z, width, height, depth);
}

} // namespace

block_table build_initial_blocks(seg_context &ctx) {
  const int32_t start = ctx.start_level;
  const int32_t cells = ctx.cube_voxels / ctx.block_voxels[start];
  block_table table =
      static_cast<block_table>(seg_calloc(static_cast<size_t>(cells), sizeof(region_node *)));
  if (table == NULL) {
    return seg_fail_ptr<region_node *>();
  }
  const block_extent_t extent = block_extent(ctx, start);
  region_node *previous = NULL;
  for (int32_t i = 0; i < cells; ++i) {
    region_node *node = new_region_node();
    if (node == NULL) {
      release_block_chain(ctx, table);
      return seg_fail_ptr<region_node *>();
    }
    // Digits from start_level upward: the mixed-radix digits of i, plus 1.
    block_code code = 0;
    int32_t rest = i;
    for (int32_t level = start; level < ctx.levels; ++level) {
      const int32_t radix = ctx.child_count[level];
      code = set_digit(static_cast<block_code>(rest % radix + 1), level, code);
      rest /= radix;
    }
    node->code = code;
    if (previous != NULL) {
      previous->next_block = node;
    }
    previous = node;
    table[i] = node;
    const block_origin_t o = block_origin(ctx, code, start);
    evaluate_block(ctx, o.x, o.y, o.z, extent.width, extent.height, extent.depth, start, node);
  }
  return table;
}

void paint_checkerboard(seg_context &ctx) {
  const int32_t s = ctx.start_level;
  const int32_t t = s < ctx.flat_levels ? 0 : s - ctx.flat_levels;
  if (!painting(ctx)) {
    return;
  }
  int32_t *labels = ctx.snapshot_cur->labels;
  for (int32_t z = 0; z < ctx.dim_z; ++z) {
    const int32_t zv = 4 * ((z >> t) & 1);
    for (int32_t y = 0; y < ctx.dim_x; ++y) {
      const int32_t yzv = 1 + 2 * ((y >> s) & 1) + zv;
      int32_t *row = labels + z * ctx.plane_stride + y * ctx.dim_x;
      for (int32_t x = 0; x < ctx.dim_x; ++x) {
        row[x] = yzv + ((x >> s) & 1);
      }
    }
  }
  count_paint_event(ctx);
}

void merge_blocks(seg_context &ctx, block_table table) {
  int32_t stride = 1; // start cells per block of level b
  for (int32_t b = ctx.start_level;; ++b) {
    const int32_t c = b + 1;
    const int32_t siblings = ctx.child_count[b];
    bool merged = false;
    region_node *first = table[0];
    region_node *r = first;
    int32_t position = 0;
    int64_t acc_a = 0;
    int64_t acc_b = 0;
    while (r != NULL) {
      bool pass = false;
      if (code_level(ctx, r->code) == b) {
        ++position;
        pass = merge_test(ctx, r, acc_a, acc_b, position, b);
      }
      if (!pass) {
        // Jump over the rest of this group to the next block of level c.
        const block_code next = next_code(ctx, r->code, c);
        if (next == 0) {
          break;
        }
        r = table[cell_index(ctx, next)];
        first = r;
        position = 0;
        acc_a = acc_b = 0;
        continue;
      }
      if (position < siblings) {
        r = r->next_block;
        continue;
      }
      // All siblings present and accepted: first stands for the parent.
      region_node *after = r->next_block;
      const int32_t i = cell_index(ctx, first->code);
      first->code = set_digit(0, b, first->code);
      first->stat_a = acc_a;
      first->stat_b = acc_b;
      region_node *sibling = first->next_block;
      while (sibling != after) {
        region_node *next = sibling->next_block;
        free_region_node(sibling);
        sibling = next;
      }
      first->next_block = after;
      for (int32_t j = 1; j < siblings; ++j) {
        table[i + j * stride] = NULL;
      }
      const block_origin_t o = block_origin(ctx, first->code, c);
      const block_extent_t e = block_extent(ctx, c);
      paint_block(ctx, o.x, o.y, o.z, e.width, e.height, e.depth,
                  static_cast<int32_t>(code_digit(first->code, c)));
      count_paint_event(ctx);
      merged = true;
      r = after;
      first = r;
      position = 0;
      acc_a = acc_b = 0;
    }
    if (c == ctx.levels || !merged) {
      return;
    }
    stride *= siblings;
  }
}

int32_t split_blocks(seg_context &ctx, block_table table) {
  const int32_t start = ctx.start_level;
  const block_extent_t e = block_extent(ctx, start);
  region_node *p = table[0];
  while (p != NULL) {
    region_node *next = p->next_block;
    if (p->stat_a < 0) {
      const block_origin_t o = block_origin(ctx, p->code, start);
      if (split_or_accept(ctx, p, start - 1, o.x, o.y, o.z, e.width, e.height, e.depth) != SEG_OK) {
        return release_block_chain(ctx, table);
      }
    }
    p = next;
  }
  return SEG_OK;
}

int32_t split_block(seg_context &ctx, region_node *node, int32_t level, int32_t x, int32_t y,
                    int32_t z, int32_t width, int32_t height, int32_t depth) {
  const block_code parent_code = node->code;
  region_node *saved = node->next_block;
  width >>= 1;
  height >>= 1;
  if (level >= ctx.flat_levels) {
    depth >>= 1;
  }
  const int32_t children = ctx.child_count[level];
  region_node *n = node;
  for (int32_t k = 1; k <= children; ++k) {
    const int32_t bits = k - 1;
    const int32_t cx = x + ((bits & 1) ? width : 0);
    const int32_t cy = y + ((bits & 2) ? height : 0);
    const int32_t cz = z + ((bits & 4) ? depth : 0);
    n->code = set_digit(static_cast<block_code>(k), level, parent_code);
    paint_block(ctx, cx, cy, cz, width, height, depth, k);
    count_paint_event(ctx);
    evaluate_block(ctx, cx, cy, cz, width, height, depth, level, n);
    if (k < children) {
      region_node *m = new_region_node();
      if (m == NULL) {
        n->next_block = saved;
        return SEG_FAIL;
      }
      // The new record links on to the rest of the chain at once, so the
      // chain stays whole should a deeper split fail.
      m->next_block = saved;
      n->next_block = m;
      if (n->stat_a < 0 &&
          split_or_accept(ctx, n, level - 1, cx, cy, cz, width, height, depth) != SEG_OK) {
        return SEG_FAIL;
      }
      n = m;
    } else {
      n->next_block = saved;
      if (n->stat_a < 0) {
        return split_or_accept(ctx, n, level - 1, cx, cy, cz, width, height, depth);
      }
    }
  }
  return SEG_OK;
}
