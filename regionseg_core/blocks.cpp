// The first stages of a run: covering the image with start blocks, painting
// the checkerboard, merging homogeneous siblings bottom-up and splitting
// inhomogeneous start blocks top-down.
#include <string.h>

#include "regionseg.h"

namespace {

// A single pixel cannot be split.  One that failed its criterion (only
// possible with limits below zero) is kept as a leaf with the statistics of
// a homogeneous pixel, so that every block of the chain is homogeneous.
void accept_pixel(const seg_context &ctx, region_node &node) {
  const block_origin_t o = block_origin(ctx, node.code, 0);
  const int64_t v = ctx.image[o.x + o.y + o.z];
  node.stat_a = v;
  node.stat_b = variance_statistics(ctx.criterion) ? v * v : v;
}

// evaluate_block for the record of a block of the given level, by its code.
void evaluate_code(const seg_context &ctx, region_node &node, int32_t level, int32_t worker) {
  const block_origin_t o = block_origin(ctx, node.code, level);
  const block_extent_t e = block_extent(ctx, level);
  evaluate_block(ctx, o.x, o.y, o.z, e.width, e.height, e.depth, level, node, worker);
}

} // namespace

block_table build_initial_blocks(seg_context &ctx) {
  const int32_t start = ctx.start_level;
  const int32_t cells = ctx.cube_voxels / ctx.block_voxels[start];
  block_table table =
      static_cast<block_table>(seg_calloc(static_cast<size_t>(cells), sizeof(node_id)));
  if (table == NULL) {
    note_shortage(ctx, "the block table");
    return seg_fail_ptr<node_id>();
  }
  if (!reserve_region_nodes(ctx, static_cast<size_t>(cells))) {
    note_shortage(ctx, "the block records");
    seg_free(table);
    return seg_fail_ptr<node_id>();
  }
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
    ctx.nodes[id].code = code;
    if (previous != 0) {
      ctx.nodes[previous].next_block = id;
    }
    previous = id;
    table[i] = id;
  }
  // Each start block judged on its own.
  const size_t count = static_cast<size_t>(cells);
  const part_plan plan = plan_parts(ctx, count, static_cast<size_t>(ctx.cube_voxels));
  part_stop stop;
  for_each_part(plan, [&](int32_t part, int32_t worker) {
    const size_t last = part_start(count, part + 1, plan.parts);
    const size_t voxels = static_cast<size_t>(ctx.block_voxels[start]);
    for (size_t i = part_start(count, part, plan.parts);
         i < last && !stop.poll(ctx, worker, voxels); ++i) {
      evaluate_code(ctx, ctx.nodes[table[i]], start, worker);
    }
  });
  if (stop.ended()) {
    seg_free(table);
    return seg_fail_ptr<node_id>();
  }
  return table;
}

void fill_checkerboard(seg_context &ctx, int32_t *labels) {
  const int32_t s = ctx.start_level;
  const int32_t t = s < ctx.flat_levels ? 0 : s - ctx.flat_levels;
  for (int32_t z = 0; z < ctx.dim_z; ++z) {
    const int32_t zv = 4 * ((z >> t) & 1);
    for (int32_t y = 0; y < ctx.dim_x; ++y) {
      if (tick(ctx)) {
        return;
      }
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
    while (r != 0 && !tick(ctx)) {
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
    if (c == ctx.levels || !merged || ctx.ending != SEG_OK) {
      return;
    }
    stride *= siblings;
  }
}

namespace {

// The leaves of the chain below the start level in the order splitting
// makes them, painted: every split block's children in child order, each
// followed by the children of its own split.  Walking the leaves in code
// order, a leaf of level l is the first leaf of its ancestor of level m
// (l < m < start_level) exactly when its digits l .. m-1 are all 1; that
// ancestor was made, and painted, just before the leaf's own line of
// blocks.  Each block is painted with its child index, one paint event each.
void paint_splits(seg_context &ctx, node_id first) {
  const int32_t start = ctx.start_level;
  for (node_id b = first; b != 0 && !tick(ctx); b = ctx.nodes[b].next_block) {
    const block_code code = ctx.nodes[b].code;
    const int32_t leaf = code_level(ctx, code);
    if (leaf >= start) {
      continue; // not split
    }
    int32_t top = leaf; // the highest level made with this leaf
    while (top + 1 < start && code_digit(code, top) == 1) {
      ++top;
    }
    for (int32_t m = top; m >= leaf; --m) {
      const block_code block = clear_digits_below(code, m);
      const block_origin_t o = block_origin(ctx, block, m);
      const block_extent_t e = block_extent(ctx, m);
      paint_block(ctx, o.x, o.y, o.z, e.width, e.height, e.depth,
                  static_cast<int32_t>(code_digit(code, m)));
      count_paint_event(ctx);
    }
  }
}

} // namespace

// Level by level: each block to split at one level (the list in chain
// order) becomes its first child and gets its other children, new records,
// linked after it; each child is judged at once.  The blocks are split in
// parts on several threads, each part writing only its blocks' records
// and its own stretch of the next list: the children that fail, which are
// the blocks to split at the next level.  Failing single pixels are kept as
// they are (accept_pixel).
//
// The lists live in the labels output, which holds nothing yet.  A list
// holds blocks of level 1 or more, of four pixels or more, so at most
// cube_voxels / 4 of them, and so does the room a level's parts need for
// their failing children (one entry for every child); two fit side by side.
int32_t split_blocks(seg_context &ctx, block_table table) {
  const int32_t start = ctx.start_level;
  if (start == 0) {
    for (node_id p = table[0]; p != 0; p = ctx.nodes[p].next_block) {
      if (ctx.nodes[p].stat_a < 0) {
        accept_pixel(ctx, ctx.nodes[p]);
      }
    }
    return SEG_OK;
  }
  const size_t half = static_cast<size_t>(ctx.cube_voxels) / 2;
  node_id *own_lists = NULL;
  node_id *lists = reinterpret_cast<node_id *>(ctx.scratch);
  if (lists == NULL) {
    own_lists = static_cast<node_id *>(seg_alloc(sizeof(node_id) * 2 * half));
    if (own_lists == NULL) {
      return note_shortage(ctx, "the lists of blocks to split");
    }
    lists = own_lists;
  }
  node_id *splitting = lists;
  node_id *failed = lists + half;
  size_t count = 0;
  for (node_id p = table[0]; p != 0; p = ctx.nodes[p].next_block) {
    if (ctx.nodes[p].stat_a < 0) {
      splitting[count++] = p;
    }
  }
  size_t failed_in_part[max_parts];
  for (int32_t level = start - 1; count > 0; --level) {
    const int32_t children = ctx.child_count[level];
    const size_t others = static_cast<size_t>(children) - 1;
    if (!reserve_region_nodes(ctx, static_cast<size_t>(ctx.node_count) - 1 + count * others)) {
      seg_free(own_lists);
      return note_shortage(ctx, "the block records");
    }
    // Child k > 1 of the j-th block is record first_new + j x others + k - 2.
    const node_id first_new = take_reserved_nodes(ctx, count * others);
    const block_extent_t e = block_extent(ctx, level);
    // The work: every pixel of the blocks split, read once or twice.
    const part_plan plan =
        plan_parts(ctx, count, count * static_cast<size_t>(ctx.block_voxels[level + 1]));
    const int32_t parts = plan.parts;
    part_stop stop;
    for_each_part(plan, [&](int32_t part, int32_t worker) {
      const size_t first = part_start(count, part, parts);
      const size_t last = part_start(count, part + 1, parts);
      node_id *out = failed + first * static_cast<size_t>(children);
      size_t made = 0;
      const size_t voxels = static_cast<size_t>(ctx.block_voxels[level + 1]);
      for (size_t j = first; j < last && !stop.poll(ctx, worker, voxels); ++j) {
        const node_id p = splitting[j];
        const block_code parent = ctx.nodes[p].code;
        const node_id after = ctx.nodes[p].next_block;
        const block_origin_t o = block_origin(ctx, parent, level + 1);
        node_id id = p;
        for (int32_t k = 1; k <= children; ++k) {
          if (k > 1) {
            const node_id next = first_new + static_cast<node_id>(j * others) + (k - 2);
            ctx.nodes[next] = region_node{};
            ctx.nodes[id].next_block = next;
            id = next;
          }
          region_node &c = ctx.nodes[id];
          c.code = set_digit(static_cast<block_code>(k), level, parent);
          // Bit 0 of k - 1: the upper half in x, bit 1 in y, bit 2 in z.
          const int32_t bits = k - 1;
          evaluate_block(
              ctx, o.x + ((bits & 1) != 0 ? e.width : 0), o.y + ((bits & 2) != 0 ? e.height : 0),
              o.z + ((bits & 4) != 0 ? e.depth : 0), e.width, e.height, e.depth, level, c, worker);
          if (c.stat_a < 0) {
            if (level > 0) {
              out[made++] = id;
            } else {
              accept_pixel(ctx, c);
            }
          }
        }
        ctx.nodes[id].next_block = after;
      }
      failed_in_part[part] = made;
    });
    if (stop.ended()) {
      seg_free(own_lists);
      return SEG_FAIL;
    }
    // The failing children, part after part: the next list.
    size_t next = 0;
    for (int32_t part = 0; part < parts; ++part) {
      const node_id *from = failed + part_start(count, part, parts) * static_cast<size_t>(children);
      memmove(failed + next, from, sizeof(node_id) * failed_in_part[part]);
      next += failed_in_part[part];
    }
    node_id *swap = splitting;
    splitting = failed;
    failed = swap;
    count = next;
  }
  seg_free(own_lists);
  // Painted now, or noted for the snapshots made after the split.
  if (painting(ctx) || ctx.deferred_paints.active) {
    paint_splits(ctx, table[0]);
  }
  return ctx.ending == SEG_OK ? SEG_OK : SEG_FAIL;
}
