// The loops of the block stages that judge blocks (blocks.cpp), compiled
// for each criterion C (see criterion.h): the start blocks judged in parts,
// merging, and one part of a level of splitting.
#ifndef KALMEX_REGIONSEG_BLOCKS_LOOPS_H
#define KALMEX_REGIONSEG_BLOCKS_LOOPS_H

#include "criterion.h"

// The present children of the parent of level c of the block code, and the
// parent's present pixels.
inline sibling_group siblings_of(const run_config &ctx, block_code code, int32_t c) {
  if (ctx.whole) {
    return sibling_group{ctx.child_count[c - 1], static_cast<int32_t>(ctx.block_voxels[c])};
  }
  const block_origin_t s = block_steps(ctx, code, c, ctx.levels);
  return sibling_group{child_total(present_children(ctx, s.x, s.y, s.z, c - 1)),
                       box_at(ctx, s.x, s.y, s.z, c).voxels};
}

// A single pixel cannot be split.  One that failed its criterion (only
// possible with limits below zero) is kept as a leaf with the statistics of
// a homogeneous pixel, so that every block of the chain is homogeneous.
template <typename C> void accept_pixel(const run_config &ctx, block_record &node) {
  const block_origin_t o = block_origin(ctx, node.code, 0);
  C::accept(node, ctx.image[o.x + o.y + o.z]);
}

template <typename C>
bool evaluate_start_blocks(seg_context &ctx, block_record *records, size_t count) {
  const int32_t start = ctx.start_level;
  const part_plan plan = plan_parts(ctx, count, static_cast<size_t>(ctx.image_voxels));
  part_stop stop(plan, static_cast<size_t>(ctx.image_voxels));
  for_each_part(plan, [&](int32_t part, int32_t worker) {
    const size_t last = part_start(count, part + 1, plan.parts);
    // The pixels of a start block, on average.
    const size_t voxels = static_cast<size_t>(ctx.image_voxels) / count;
    for (size_t i = part_start(count, part, plan.parts);
         i < last && !stop.poll(ctx, worker, voxels); ++i) {
      C::evaluate(ctx, present_box(ctx, records[i].code, start), start, records[i], worker);
    }
  });
  return !stop.ended();
}

template <typename C> void merge_blocks(seg_context &ctx, block_table table) {
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
        pass = C::merge(ctx, nodes[r], acc_a, acc_b, position, b, group);
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

// Part part of one level of splitting: each block of the part's stretch of
// the list becomes its first child and gets its other present children,
// new records, linked after it; each child is judged at once, and those
// that fail go into the part's stretch of the next list (failing single
// pixels are kept as they are, accept_pixel).
template <typename C>
void split_part(seg_context &ctx, const split_job &job, int32_t part, int32_t worker) {
  const int32_t level = job.level;
  const int32_t children = ctx.child_count[level];
  const int32_t side = int32_t{1} << level;
  const int32_t planes = level_planes(ctx, level);
  const bool whole = ctx.whole;
  const int32_t step_x = side;
  const int32_t step_y = side * ctx.dim_x;
  const int32_t step_z = planes * ctx.plane_stride;
  const size_t first = part_start(job.count, part, job.parts);
  const size_t last = part_start(job.count, part + 1, job.parts);
  block_id *out = job.failed + job.children_before[part];
  // The next new record: each earlier block took one per present child
  // but its first.
  block_id fresh = job.first_new + static_cast<block_id>(job.children_before[part] - first);
  size_t made = 0;
  const size_t voxels = job.work / job.count; // the pixels of a block split, on average
  for (size_t j = first; j < last && !job.stop->poll(ctx, worker, voxels); ++j) {
    const block_id p = job.splitting[j];
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
        box = box_at(ctx, s.x + ((bits & 1) != 0 ? side : 0), s.y + ((bits & 2) != 0 ? side : 0),
                     s.z + ((bits & 4) != 0 ? planes : 0), level);
      } else {
        box.start += ((bits & 1) != 0 ? step_x : 0) + ((bits & 2) != 0 ? step_y : 0) +
                     ((bits & 4) != 0 ? step_z : 0);
      }
      C::evaluate(ctx, box, level, c, worker);
      if (!is_homogeneous(c)) {
        if (level > 0) {
          out[made++] = id;
        } else {
          accept_pixel<C>(ctx, c);
        }
      }
    }
    ctx.blocks[id].next_block = after;
  }
  job.failed_in_part[part] = made;
}

#endif
