// The first stages of a run: covering the image with start blocks, painting
// the checkerboard, merging homogeneous siblings bottom-up and splitting
// inhomogeneous start blocks top-down.  Only present blocks (those whose
// first pixel lies in the image) are ever made, judged or painted: a block
// is judged on its present part, and a group of siblings is the present
// children of their parent.
#include <math.h>
#include <string.h>

#include "blocks_loops.h"

int32_t build_initial_blocks(seg_context &ctx, block_table &table) {
  const int32_t start = ctx.start_level;
  const int32_t cells = ctx.cells_x * ctx.cells_y * ctx.cells_z;
  table = static_cast<block_table>(seg_calloc(static_cast<size_t>(cells), sizeof(block_id)));
  if (table == NULL) {
    return note_shortage(ctx, "the block table");
  }
  if (!reserve_blocks(ctx, static_cast<size_t>(cells))) {
    seg_free(table);
    table = NULL;
    return note_shortage(ctx, "the block records");
  }
  // The present start blocks in code order, their records one after
  // another in the chain, each in the slot of its cell: the present children
  // of every present block of the level above, whose cells are the cell of
  // child 1 and its neighbours along x, y and z.
  const block_id first = take_reserved_blocks(ctx, static_cast<size_t>(cells));
  block_record *const records = ctx.blocks + first;
  const int32_t side = start;
  const int32_t thick = start <= ctx.flat_levels ? 0 : start - ctx.flat_levels;
  const int32_t cells_x = ctx.cells_x;
  const int32_t cells_y = ctx.cells_y;
  int32_t step[8];
  for (int32_t k = 0; k < 8; ++k) {
    step[k] = (k & 1) + ((k & 2) != 0 ? cells_x : 0) + ((k & 4) != 0 ? cells_x * cells_y : 0);
  }
  block_id id = first;
  for_each_present_block(ctx, start + 1, [&](block_code code, int32_t x, int32_t y, int32_t z) {
    const int32_t slot = (x >> side) + cells_x * ((y >> side) + cells_y * (z >> thick));
    for (uint32_t left = present_children(ctx, x, y, z, start); left != 0; left &= left - 1) {
      const int32_t k = lowest_child(left); // child k + 1
      block_record &r = records[id - first];
      r = block_record{};
      r.code = set_digit(static_cast<block_code>(k + 1), start, code);
      r.next_block = id + 1;
      table[slot + step[k]] = id++;
    }
  });
  records[cells - 1].next_block = 0;
  // Each start block judged on its own, in the order of the records.
  if (!ctx.rules->evaluate_start_blocks(ctx, records, static_cast<size_t>(cells))) {
    seg_free(table);
    table = NULL;
    return SEG_FAIL;
  }
  return SEG_OK;
}

void fill_checkerboard(seg_context &ctx, int32_t *labels) {
  const int32_t s = ctx.start_level;
  const int32_t t = s < ctx.flat_levels ? 0 : s - ctx.flat_levels;
  for (int32_t z = 0; z < ctx.dim_z; ++z) {
    const int32_t zv = 4 * ((z >> t) & 1);
    for (int32_t y = 0; y < ctx.dim_y; ++y) {
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

void merge_blocks(seg_context &ctx, block_table table) { ctx.rules->merge_blocks(ctx, table); }

namespace {

// The leaves of the chain below the start level in the order splitting
// makes them, painted: every split block's children in child order, each
// followed by the children of its own split.  Walking the leaves in code
// order, a leaf of level l is the first leaf of its ancestor of level m
// (l < m < start_level) exactly when its digits l .. m-1 are all 1; that
// ancestor was made, and painted, just before the leaf's own line of
// blocks.  Each block is painted with its child index, one paint event each.
void paint_splits(seg_context &ctx, block_id first) {
  const int32_t start = ctx.start_level;
  for (block_id b = first; b != 0 && !tick(ctx); b = ctx.blocks[b].next_block) {
    const block_code code = ctx.blocks[b].code;
    const int32_t leaf = code_level(ctx, code);
    if (leaf >= start) {
      continue; // not split
    }
    int32_t top = leaf; // the highest level made with this leaf
    while (top + 1 < start && code_digit(code, top) == 1) {
      ++top;
    }
    for (int32_t m = top; m >= leaf; --m) {
      paint_block(ctx, clear_digits_below(code, m), m, static_cast<int32_t>(code_digit(code, m)));
      count_paint_event(ctx);
    }
  }
}

} // namespace

// Level by level: each block to split at one level (the list in chain
// order) becomes its first child and gets its other present children, new
// records, linked after it; each child is judged at once.  The blocks are
// split in parts on several threads, each part writing only its blocks'
// records and its own stretch of the next list: the children that fail,
// which are the blocks to split at the next level (split_part,
// blocks_loops.h).  A part's new records and its stretch start after the
// present children of the parts before it.
//
// The lists live in the labels output, which holds nothing yet, when two
// fit there.  A list holds present blocks of level 1 or more, so at most as
// many as the image has present level-1 blocks, and so does the room a
// level's parts need for their failing children (one entry for every
// present child of level 1 or more).
int32_t split_blocks(seg_context &ctx, block_table table) {
  const int32_t start = ctx.start_level;
  if (start == 0) {
    for (block_id p = table[0]; p != 0; p = ctx.blocks[p].next_block) {
      if (!is_homogeneous(ctx.blocks[p])) {
        ctx.rules->accept_pixel(ctx, ctx.blocks[p]);
      }
    }
    return SEG_OK;
  }
  const int64_t level_one = int64_t{(ctx.dim_x + 1) / 2} * ((ctx.dim_y + 1) / 2) *
                            ((ctx.dim_z + level_planes(ctx, 1) - 1) / level_planes(ctx, 1));
  const size_t half = static_cast<size_t>(level_one);
  block_id *own_lists = NULL;
  block_id *lists = reinterpret_cast<block_id *>(ctx.scratch);
  if (lists == NULL || 2 * level_one > ctx.image_voxels) {
    own_lists = static_cast<block_id *>(seg_alloc(sizeof(block_id) * 2 * half));
    if (own_lists == NULL) {
      return note_shortage(ctx, "the lists of blocks to split");
    }
    lists = own_lists;
  }
  block_id *splitting = lists;
  block_id *failed = lists + half;
  size_t count = 0;
  for (block_id p = table[0]; p != 0; p = ctx.blocks[p].next_block) {
    if (!is_homogeneous(ctx.blocks[p])) {
      splitting[count++] = p;
    }
  }
  size_t failed_in_part[max_parts];
  size_t children_before[max_parts + 1]; // present children of the earlier parts' blocks
  for (int32_t level = start - 1; count > 0; --level) {
    const int32_t children = ctx.child_count[level];
    // The work: every pixel of the blocks split, read once or twice.
    const uint64_t cube_work = static_cast<uint64_t>(count) * ctx.block_voxels[level + 1];
    const size_t work = cube_work < static_cast<uint64_t>(ctx.image_voxels)
                            ? static_cast<size_t>(cube_work)
                            : static_cast<size_t>(ctx.image_voxels);
    const part_plan plan = plan_parts(ctx, count, work);
    const int32_t parts = plan.parts;
    // Each level half the share of the one before (the first has the most
    // blocks to split), of the whole stage or, when the snapshots are kept,
    // of the part before their painting is replayed.
    const double levels_part = ctx.keep_snapshots ? snapshot_replay_start : 1.0;
    const double share = levels_part * ldexp(1.0, level - start);
    enter_phase(ctx, levels_part - 2 * share, share);
    children_before[0] = 0;
    for (int32_t part = 0; part < parts; ++part) {
      const size_t first = part_start(count, part, parts);
      const size_t last = part_start(count, part + 1, parts);
      size_t made = (last - first) * static_cast<size_t>(children);
      if (!ctx.whole) {
        made = 0;
        for (size_t j = first; j < last; ++j) {
          made += static_cast<size_t>(
              siblings_of(ctx, ctx.blocks[splitting[j]].code, level + 1).children);
        }
      }
      children_before[part + 1] = children_before[part] + made;
    }
    // Every block but its first child gets new records.
    const size_t added = children_before[parts] - count;
    if (!reserve_blocks(ctx, static_cast<size_t>(ctx.block_count) - 1 + added)) {
      seg_free(own_lists);
      return note_shortage(ctx, "the block records");
    }
    const block_id first_new = take_reserved_blocks(ctx, added);
    part_stop stop(plan, work);
    const split_job job = {level,           parts,          splitting, count, failed,
                           children_before, failed_in_part, first_new, work,  &stop};
    for_each_part(
        plan, [&](int32_t part, int32_t worker) { ctx.rules->split_part(ctx, job, part, worker); });
    if (stop.ended()) {
      seg_free(own_lists);
      return SEG_FAIL;
    }
    // The failing children, part after part: the next list.
    size_t next = 0;
    for (int32_t part = 0; part < parts; ++part) {
      memmove(failed + next, failed + children_before[part],
              sizeof(block_id) * failed_in_part[part]);
      next += failed_in_part[part];
    }
    block_id *swap = splitting;
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
