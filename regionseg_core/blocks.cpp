// The first stages of a run: covering the image with start blocks, painting
// the checkerboard, merging homogeneous siblings bottom-up and splitting
// inhomogeneous start blocks top-down.  Only present blocks (those whose
// first pixel lies in the image) are ever made, judged or painted: a block
// is judged on its present part, and a group of siblings is the present
// children of their parent.
#include <math.h>
#include <string.h>

#include "stages.h"

namespace {

// A single pixel cannot be split.  One that failed its criterion (only
// possible with limits below zero) is kept as a leaf with the statistics of
// a homogeneous pixel, so that every block of the chain is homogeneous.
void accept_pixel(const seg_context &ctx, block_record &node) {
  const block_origin_t o = block_origin(ctx, node.code, 0);
  const int64_t v = ctx.image[o.x + o.y + o.z];
  node.stat_a = v;
  node.stat_b = variance_statistics(ctx.criterion) ? v * v : v;
}

// evaluate_block for the record of a block of the given level, by its code.
void evaluate_code(const seg_context &ctx, block_record &node, int32_t level, int32_t worker) {
  evaluate_block(ctx, present_box(ctx, node.code, level), level, node, worker);
}

// The present children of the parent of level c of the block code, and the
// parent's present pixels.
sibling_group siblings_of(const seg_context &ctx, block_code code, int32_t c) {
  if (ctx.whole) {
    return sibling_group{ctx.child_count[c - 1], static_cast<int32_t>(ctx.block_voxels[c])};
  }
  const block_origin_t s = block_steps(ctx, code, c, ctx.levels);
  return sibling_group{child_total(present_children(ctx, s.x, s.y, s.z, c - 1)),
                       box_at(ctx, s.x, s.y, s.z, c).voxels};
}

} // namespace

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
  const size_t count = static_cast<size_t>(cells);
  const part_plan plan = plan_parts(ctx, count, static_cast<size_t>(ctx.image_voxels));
  part_stop stop(plan, static_cast<size_t>(ctx.image_voxels));
  for_each_part(plan, [&](int32_t part, int32_t worker) {
    const size_t last = part_start(count, part + 1, plan.parts);
    // The pixels of a start block, on average.
    const size_t voxels = static_cast<size_t>(ctx.image_voxels) / count;
    for (size_t i = part_start(count, part, plan.parts);
         i < last && !stop.poll(ctx, worker, voxels); ++i) {
      evaluate_code(ctx, records[i], start, worker);
    }
  });
  if (stop.ended()) {
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

void merge_blocks(seg_context &ctx, block_table table) {
  block_record *const nodes = ctx.blocks; // merging makes no blocks
  for (int32_t b = ctx.start_level;; ++b) {
    const int32_t c = b + 1;
    bool merged = false;
    block_id first = table[0];
    block_id r = first;
    int32_t position = 0;
    int64_t acc_a = 0;
    int64_t acc_b = 0;
    sibling_group group = {0, 0};
    while (r != 0 && !tick(ctx)) {
      bool pass = false;
      if (code_level(ctx, nodes[r].code) == b) {
        if (++position == 1) {
          group = siblings_of(ctx, nodes[r].code, c);
        }
        pass = merge_test(ctx, nodes[r], acc_a, acc_b, position, b, group);
      }
      if (!pass) {
        // Jump over the rest of this group to the next present block of
        // level c, whose first start cell's slot holds its first record.
        const block_code next = next_present_code(ctx, nodes[r].code, c);
        if (next == 0) {
          break;
        }
        r = table[start_slot(ctx, next, c)];
        first = r;
        position = 0;
        acc_a = acc_b = 0;
        continue;
      }
      if (position < group.children) {
        r = nodes[r].next_block;
        continue;
      }
      // Every present sibling at level b and accepted: first stands for the
      // parent; the records of the others are no longer reached (nor are
      // their slots, which no group begins at).
      block_record &f = nodes[first];
      const block_id after = nodes[r].next_block;
      for (block_id m = f.next_block; m != after; m = nodes[m].next_block) {
        nodes[m].merged = true;
      }
      f.code = set_digit(0, b, f.code);
      f.stat_a = acc_a;
      f.stat_b = acc_b;
      f.next_block = after;
      paint_block(ctx, f.code, c, static_cast<int32_t>(code_digit(f.code, c)));
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
// which are the blocks to split at the next level.  A part's new records
// and its stretch start after the present children of the parts before
// it.  Failing single pixels are kept as they are (accept_pixel).
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
        accept_pixel(ctx, ctx.blocks[p]);
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
    const int32_t side = int32_t{1} << level;
    const int32_t planes = level_planes(ctx, level);
    const bool whole = ctx.whole;
    const int32_t step_x = side;
    const int32_t step_y = side * ctx.dim_x;
    const int32_t step_z = planes * ctx.plane_stride;
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
    for_each_part(plan, [&](int32_t part, int32_t worker) {
      const size_t first = part_start(count, part, parts);
      const size_t last = part_start(count, part + 1, parts);
      block_id *out = failed + children_before[part];
      // The next new record: each earlier block took one per present child
      // but its first.
      block_id fresh = first_new + static_cast<block_id>(children_before[part] - first);
      size_t made = 0;
      const size_t voxels = work / count; // the pixels of a block split, on average
      for (size_t j = first; j < last && !stop.poll(ctx, worker, voxels); ++j) {
        const block_id p = splitting[j];
        const block_code parent = ctx.blocks[p].code;
        const block_id after = ctx.blocks[p].next_block;
        const block_origin_t s = block_steps(ctx, parent, level + 1, ctx.levels);
        const uint32_t present = present_children(ctx, s.x, s.y, s.z, level);
        // In an image that fills the tree every child is child 1 moved.
        const block_box first_child = box_at(ctx, s.x, s.y, s.z, level);
        block_id id = p;
        for (int32_t k = 1; k <= children; ++k) {
          // Bit 0 of k - 1: the upper half in x, bit 1 in y, bit 2 in z.
          const int32_t bits = k - 1;
          if (((present >> bits) & 1u) == 0) {
            continue;
          }
          if (k > 1) {
            const block_id next = fresh++;
            ctx.blocks[next] = block_record{};
            ctx.blocks[id].next_block = next;
            id = next;
          }
          block_record &c = ctx.blocks[id];
          c.code = set_digit(static_cast<block_code>(k), level, parent);
          block_box box = first_child;
          if (!whole) {
            box =
                box_at(ctx, s.x + ((bits & 1) != 0 ? side : 0), s.y + ((bits & 2) != 0 ? side : 0),
                       s.z + ((bits & 4) != 0 ? planes : 0), level);
          } else {
            box.start += ((bits & 1) != 0 ? step_x : 0) + ((bits & 2) != 0 ? step_y : 0) +
                         ((bits & 4) != 0 ? step_z : 0);
          }
          evaluate_block(ctx, box, level, c, worker);
          if (!is_homogeneous(c)) {
            if (level > 0) {
              out[made++] = id;
            } else {
              accept_pixel(ctx, c);
            }
          }
        }
        ctx.blocks[id].next_block = after;
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
