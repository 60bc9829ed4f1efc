// The first stages of a run: covering the image with start blocks, painting
// the checkerboard, merging homogeneous siblings bottom-up and splitting
// inhomogeneous start blocks top-down.
#include "regionseg.h"

namespace {

// A single pixel cannot be split.  One that failed its criterion (only
// possible with limits below zero) is kept as a leaf with the statistics of
// a homogeneous pixel, so that every block of the chain is homogeneous.
void accept_pixel(seg_context &ctx, region_node &node, int32_t x, int32_t y, int32_t z) {
  const int64_t v = ctx.image[x + y + z];
  node.stat_a = v;
  node.stat_b = variance_statistics(ctx.criterion) ? v * v : v;
}

// Splits node's block into its children at level, or keeps it when it is a
// single pixel already.
int32_t split_or_accept(seg_context &ctx, node_id node, int32_t level, int32_t x, int32_t y,
                        int32_t z, int32_t width, int32_t height, int32_t depth) {
  if (level < 0) {
    accept_pixel(ctx, ctx.nodes[node], x, y, z);
    return SEG_OK;
  }
  return split_block(ctx, node, level, x, y, z, width, height, depth);
}

} // namespace

block_table build_initial_blocks(seg_context &ctx) {
  const int32_t start = ctx.start_level;
  const int32_t cells = ctx.cube_voxels / ctx.block_voxels[start];
  block_table table =
      static_cast<block_table>(seg_calloc(static_cast<size_t>(cells), sizeof(node_id)));
  if (table == NULL) {
    return seg_fail_ptr<node_id>();
  }
  if (!reserve_region_nodes(ctx, static_cast<size_t>(cells))) {
    seg_free(table);
    return seg_fail_ptr<node_id>();
  }
  const block_extent_t extent = block_extent(ctx, start);
  node_id previous = 0;
  // Digits from start_level upward: the mixed-radix digits of i, plus 1;
  // counted up like an odometer from all ones.
  block_code code = 0;
  for (int32_t level = start; level < ctx.levels; ++level) {
    code = set_digit(1, level, code);
  }
  for (int32_t i = 0; i < cells; ++i) {
    if (i > 0) {
      code = next_code(ctx, code, start);
    }
    const node_id id = new_region_node(ctx); // reserved: cannot fail
    region_node &node = ctx.nodes[id];
    node.code = code;
    if (previous != 0) {
      ctx.nodes[previous].next_block = id;
    }
    previous = id;
    table[i] = id;
    const block_origin_t o = block_origin(ctx, code, start);
    evaluate_block(ctx, o.x, o.y, o.z, extent.width, extent.height, extent.depth, start, node);
  }
  return table;
}

void fill_checkerboard(const seg_context &ctx, int32_t *labels) {
  const int32_t s = ctx.start_level;
  const int32_t t = s < ctx.flat_levels ? 0 : s - ctx.flat_levels;
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
}

void paint_checkerboard(seg_context &ctx) {
  if (painting(ctx)) {
    fill_checkerboard(ctx, ctx.snapshot_cur->labels);
  }
  count_paint_event(ctx); // deferred, the replay paints the checkerboard first
}

void merge_blocks(seg_context &ctx, block_table table) {
  region_node *const nodes = ctx.nodes; // merging makes no records
  int32_t stride = 1;                   // start cells per block of level b
  for (int32_t b = ctx.start_level;; ++b) {
    const int32_t c = b + 1;
    const int32_t siblings = ctx.child_count[b];
    bool merged = false;
    node_id first = table[0];
    node_id r = first;
    int32_t position = 0;
    int64_t acc_a = 0;
    int64_t acc_b = 0;
    while (r != 0) {
      bool pass = false;
      if (code_level(ctx, nodes[r].code) == b) {
        ++position;
        pass = merge_test(ctx, nodes[r], acc_a, acc_b, position, b);
      }
      if (!pass) {
        // Jump over the rest of this group to the next block of level c.
        const block_code next = next_code(ctx, nodes[r].code, c);
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
        r = nodes[r].next_block;
        continue;
      }
      // All siblings present and accepted: first stands for the parent; the
      // records of the others are no longer reached.
      region_node &f = nodes[first];
      const node_id after = nodes[r].next_block;
      for (node_id m = f.next_block; m != after; m = nodes[m].next_block) {
        nodes[m].flags = FLAG_MERGED;
      }
      const int32_t i = cell_index(ctx, f.code);
      f.code = set_digit(0, b, f.code);
      f.stat_a = acc_a;
      f.stat_b = acc_b;
      f.next_block = after;
      for (int32_t j = 1; j < siblings; ++j) {
        table[i + j * stride] = 0;
      }
      const block_origin_t o = block_origin(ctx, f.code, c);
      const block_extent_t e = block_extent(ctx, c);
      paint_block(ctx, o.x, o.y, o.z, e.width, e.height, e.depth,
                  static_cast<int32_t>(code_digit(f.code, c)));
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
  node_id p = table[0];
  while (p != 0) {
    const node_id next = ctx.nodes[p].next_block;
    if (ctx.nodes[p].stat_a < 0) {
      const block_origin_t o = block_origin(ctx, ctx.nodes[p].code, start);
      if (split_or_accept(ctx, p, start - 1, o.x, o.y, o.z, e.width, e.height, e.depth) != SEG_OK) {
        return SEG_FAIL;
      }
    }
    p = next;
  }
  return SEG_OK;
}

int32_t split_block(seg_context &ctx, node_id node, int32_t level, int32_t x, int32_t y, int32_t z,
                    int32_t width, int32_t height, int32_t depth) {
  const block_code parent_code = ctx.nodes[node].code;
  const node_id saved = ctx.nodes[node].next_block;
  width >>= 1;
  height >>= 1;
  if (level >= ctx.flat_levels) {
    depth >>= 1;
  }
  const int32_t children = ctx.child_count[level];
  node_id n = node;
  for (int32_t k = 1; k <= children; ++k) {
    const int32_t bits = k - 1;
    const int32_t cx = x + ((bits & 1) ? width : 0);
    const int32_t cy = y + ((bits & 2) ? height : 0);
    const int32_t cz = z + ((bits & 4) ? depth : 0);
    ctx.nodes[n].code = set_digit(static_cast<block_code>(k), level, parent_code);
    paint_block(ctx, cx, cy, cz, width, height, depth, k);
    count_paint_event(ctx);
    evaluate_block(ctx, cx, cy, cz, width, height, depth, level, ctx.nodes[n]);
    if (k < children) {
      const node_id m = new_region_node(ctx); // may move the array
      if (m == 0) {
        ctx.nodes[n].next_block = saved;
        return SEG_FAIL;
      }
      ctx.nodes[m].next_block = saved;
      ctx.nodes[n].next_block = m;
      if (ctx.nodes[n].stat_a < 0 &&
          split_or_accept(ctx, n, level - 1, cx, cy, cz, width, height, depth) != SEG_OK) {
        return SEG_FAIL;
      }
      n = m;
    } else {
      ctx.nodes[n].next_block = saved;
      if (ctx.nodes[n].stat_a < 0) {
        return split_or_accept(ctx, n, level - 1, cx, cy, cz, width, height, depth);
      }
    }
  }
  return SEG_OK;
}
