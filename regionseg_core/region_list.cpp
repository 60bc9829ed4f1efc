// Region list ordering: every leaf block of the split phase becomes a
// one-block region, the regions are linked largest blocks first, and every
// two blocks that share a face get an entry in each other's adjacency list.
//
// The blocks are visited once, in code order.  Each block B looks for its
// neighbours on its low side only (x, then y, then z): the block of B's own
// level across that face starts one block before B, and the leaves there are
// read from a map of the leaf at every pixel of the image.  Only present
// leaves are ever met: the face search skips the absent parts of a
// subdivided block.  B collects those neighbours at
// the front of its own list and is appended at the end of theirs, which
// gives every list the order that grouping and small-region elimination rely
// on.
#include "regionseg.h"

namespace {

// Whether child digit k lies in the upper half along direction d.
inline bool upper_side(block_code k, int32_t d) { return k != 0 && (((k - 1) >> d) & 1u) != 0; }

// The state of one ordering pass while block B is being processed.  The map
// holds, for each pixel, the record of the leaf that covers it, so a block
// on a low side is found with one read at its first pixel, whatever the size
// of the leaves around it.
struct ordering {
  seg_context &ctx;
  const int32_t *map; // image_voxels record ids
  node_id block;      // B
};

// Enters n in front of what B found before, and B at the end of n's list.
bool link_neighbours(ordering &o, node_id n) {
  seg_context &ctx = o.ctx;
  const link_id cell = new_node_link(ctx);
  if (cell == 0) {
    return false;
  }
  region_node &b = ctx.nodes[o.block];
  ctx.links[cell].node = n;
  ctx.links[cell].next = b.nbr_head;
  b.nbr_head = cell;
  if (b.nbr_tail == 0) {
    b.nbr_tail = cell;
  }
  return append_neighbour(ctx, n, o.block);
}

// Links B with the leaves of the block of the given level at pixel x, row y
// and plane z (present, at pixel offset first) that lies on B's low side
// across direction d, as far as they touch B, in code order.  The leaf at
// the block's first pixel either covers the whole block (it is the block,
// or a larger leaf around it: one link) or is smaller, and then the block
// is subdivided and its present children that touch B are visited in
// child order.  False on a failed link.
bool face_leaves(ordering &o, int32_t first, int32_t x, int32_t y, int32_t z, int32_t level,
                 int32_t d) {
  const seg_context &ctx = o.ctx;
  const node_id leaf = static_cast<node_id>(o.map[first]);
  if (code_level(ctx, ctx.nodes[leaf].code) >= level) {
    return link_neighbours(o, leaf);
  }
  const int32_t k_level = level - 1;
  const int32_t side = int32_t{1} << k_level;
  const int32_t planes = level_planes(ctx, k_level);
  const uint32_t present = present_children(ctx, x, y, z, k_level);
  // Across z, a block one plane thick touches B with all its children.
  const bool every_child = d == DIR_Z && k_level < ctx.flat_levels;
  const int32_t children = ctx.child_count[k_level];
  for (int32_t k = 0; k < children; ++k) {
    if ((!every_child && ((k >> d) & 1) == 0) || ((present >> k) & 1u) == 0) {
      continue; // child k + 1 lies on the far side from B, or is absent
    }
    const int32_t dx = (k & 1) != 0 ? side : 0;
    const int32_t dy = (k & 2) != 0 ? side : 0;
    const int32_t dz = (k & 4) != 0 ? planes : 0;
    const int32_t child = first + dx + dy * ctx.dim_x + dz * ctx.plane_stride;
    if (!face_leaves(o, child, x + dx, y + dy, z + dz, k_level, d)) {
      return false;
    }
  }
  return true;
}

} // namespace

bool append_neighbour(seg_context &ctx, node_id r, node_id n) {
  const link_id cell = new_node_link(ctx);
  if (cell == 0) {
    return false;
  }
  ctx.links[cell].node = n;
  region_node &owner = ctx.nodes[r];
  if (owner.nbr_tail != 0) {
    ctx.links[owner.nbr_tail].next = cell;
  } else {
    owner.nbr_head = cell;
  }
  owner.nbr_tail = cell;
  return true;
}

block_code low_neighbour_code(const seg_context &ctx, block_code code, int32_t level,
                              int32_t direction) {
  // Climb to the first ancestor (or the block itself) that lies in the upper
  // half of its parent along the direction: its low neighbour is a sibling.
  // No such ancestor below the root means the block is on the image border.
  int32_t top = level;
  block_code ancestor = code;
  block_code k = 0;
  for (;;) {
    if (ancestor == 0) {
      return 0;
    }
    k = code_digit(ancestor, top);
    if (upper_side(k, direction)) {
      break;
    }
    ancestor = clear_digits_below(ancestor, top + 1);
    ++top;
  }
  block_code result = set_digit(k - (block_code{1} << direction), top, ancestor);
  // Back down: below that sibling, the child on the high side of each level
  // the block's own digits pass through.
  for (int32_t l = top - 1; l >= level; --l) {
    block_code step = block_code{1} << direction;
    if (direction == DIR_Z && l < ctx.flat_levels) {
      step = 0; // flat children: the same place in the plane below
    }
    result = set_digit(code_digit(code, l) + step, l, result);
  }
  return result;
}

void set_region_statistics(const seg_context &ctx, region_node &block) {
  const int32_t level = code_level(ctx, block.code);
  switch (ctx.criterion) {
  case CRITERION_RANGE_MEAN: {
    const block_box box = present_box(ctx, block.code, level);
    int64_t sum = 0;
    for_each_pixel(ctx, ctx.image, box, [&](int32_t v) { sum += v; });
    block.stat_a = sum;
    block.stat_b = box.voxels;
    break;
  }
  case CRITERION_CHI2_VARIANCE:
  case CRITERION_SCALED_VARIANCE:
    block.stat_b = present_voxels(ctx, block.code, level);
    break;
  default:
    break;
  }
  block.flags = 0;
}

node_id order_region_list(seg_context &ctx, block_table table) {
  // The map of the leaf at every pixel goes into the labels output when the
  // caller gave one.
  int32_t *map = ctx.scratch;
  int32_t *own_map = NULL;
  if (map == NULL) {
    own_map =
        static_cast<int32_t *>(seg_alloc(sizeof(int32_t) * static_cast<size_t>(ctx.image_voxels)));
    if (own_map == NULL) {
      note_shortage(ctx, "the map of the leaves");
      return node_failed;
    }
    map = own_map;
  }
  // Every record that merging did not take is a leaf of the chain: the map
  // and the region statistics of the leaves, in parts of the store.
  const size_t records = static_cast<size_t>(ctx.node_count) - 1;
  const part_plan plan = plan_parts(ctx, records, static_cast<size_t>(ctx.image_voxels));
  const int32_t parts = plan.parts;
  size_t leaves_of_part[max_parts] = {};
  // The map takes about a fifth of the stage, the list the rest.
  enter_phase(ctx, 0.0, 0.2);
  part_stop stop(plan, static_cast<size_t>(ctx.image_voxels));
  for_each_part(plan, [&](int32_t part, int32_t worker) {
    const node_id last = static_cast<node_id>(1 + part_start(records, part + 1, parts));
    size_t leaves = 0;
    for (node_id b = static_cast<node_id>(1 + part_start(records, part, parts));
         b < last && !stop.poll(ctx, worker, leaf_voxels(ctx, b)); ++b) {
      region_node &block = ctx.nodes[b];
      if ((block.flags & FLAG_MERGED) == 0) {
        fill_leaf(ctx, map, block.code, static_cast<int32_t>(b));
        set_region_statistics(ctx, block);
        ++leaves;
      }
    }
    leaves_of_part[part] = leaves;
  });
  if (stop.ended()) {
    seg_free(own_map);
    return node_failed;
  }
  size_t leaves = 0;
  for (int32_t part = 0; part < parts; ++part) {
    leaves += leaves_of_part[part];
  }
  // About two faces a leaf on the low side in a plane, three in a volume,
  // each two cells; more are made as they are needed.
  const size_t per_leaf = ctx.dim_z > 1 ? 6 : 4;
  if (!reserve_node_links(ctx, leaves * per_leaf)) {
    note_shortage(ctx, "the adjacency cells");
    seg_free(own_map);
    return node_failed;
  }

  ctx.region_total = leaves;
  ctx.live_regions = leaves;
  const node_id first = table[0];
  region_node &f = ctx.nodes[first];
  f.last_member = first;
  f.next_region = 0;
  node_id level_tail[max_levels] = {};
  level_tail[code_level(ctx, f.code)] = first;
  node_id head = first;

  ordering o{ctx, map, 0};
  enter_phase(ctx, 0.2, 0.8);
  size_t done = 0;
  for (node_id b = f.next_block; b != 0; b = ctx.nodes[b].next_block) {
    if (tick(ctx, ++done, leaves)) {
      seg_free(own_map);
      return node_failed;
    }
    region_node &block = ctx.nodes[b];
    const int32_t level = code_level(ctx, block.code);

    // Behind the last region of its level, or else behind the last region
    // of the nearest larger level present, or else at the front.
    node_id after = level_tail[level];
    for (int32_t m = level + 1; after == 0 && m < ctx.levels; ++m) {
      after = level_tail[m];
    }
    if (after != 0) {
      block.next_region = ctx.nodes[after].next_region;
      ctx.nodes[after].next_region = b;
    } else {
      block.next_region = head;
      head = b;
    }
    level_tail[level] = b;
    block.last_member = b;

    o.block = b;
    // The block of B's own level across each low face starts one block
    // side, or one block's planes, before B (and is present, as B is);
    // none on the image border.
    const block_origin_t at = block_steps(ctx, block.code, level, ctx.levels);
    const int32_t side = int32_t{1} << level;
    const int32_t planes = level_planes(ctx, level);
    const int32_t start = at.x + at.y * ctx.dim_x + at.z * ctx.plane_stride;
    if ((at.x > 0 && !face_leaves(o, start - side, at.x - side, at.y, at.z, level, DIR_X)) ||
        (at.y > 0 &&
         !face_leaves(o, start - side * ctx.dim_x, at.x, at.y - side, at.z, level, DIR_Y)) ||
        (at.z > 0 && !face_leaves(o, start - planes * ctx.plane_stride, at.x, at.y, at.z - planes,
                                  level, DIR_Z))) {
      note_shortage(ctx, "the adjacency cells");
      seg_free(own_map);
      return node_failed;
    }
  }
  for (node_id r = head; r != 0 && !tick(ctx); r = ctx.nodes[r].next_region) {
    ctx.nodes[r].next_block = 0;
  }
  if (ctx.ending != SEG_OK) {
    seg_free(own_map);
    return node_failed;
  }
  seg_free(own_map);
  return head;
}
