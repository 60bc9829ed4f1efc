// Region list ordering: every leaf block of the split phase becomes a
// one-block region, the regions are numbered largest blocks first (code
// order within a level), which is the order of the region list, and every
// two blocks that share a face get an entry in each other's adjacency list.
//
// The leaves are visited in code order, by a walk down the tree over a map
// of the region at every pixel of the image.  Each block B looks for its
// neighbours on its low side only (x, then y, then z): the block of B's own
// level across that face starts one block before B, and the leaves there
// are read from the map.  Only present leaves are ever met: the face search
// skips the absent parts of a subdivided block.  B's list holds the
// neighbours it found, the last found first, followed by the blocks that
// found B, in the order they were visited, which is the order that
// grouping and small-region elimination rely on.  The walk runs twice:
// once to count every list's cells, once to put them in place, so that
// every list starts as one run of cells closed by its end cell and the
// runs lie one after another in the order of the regions.
#include "criterion.h"

namespace {

// Whether child digit k lies in the upper half along direction d.
inline bool upper_side(block_code k, int32_t d) { return k != 0 && (((k - 1) >> d) & 1u) != 0; }

// One walk over the leaves while block B is being visited.  Counting,
// lists[].first and lists[].resume count B's neighbours found and the
// blocks that found it; placing, lists[].resume is where a list's next
// cell goes.
struct ordering {
  region_store &s;
  const int32_t *map; // the region of every pixel
  region_id block;    // B
  bool place;         // the second walk
  cell_id found;      // B's neighbours found so far (placing)
};

// Enters n in front of what B found before, and B at the end of n's list.
inline void link_neighbours(ordering &o, region_id n) {
  region_store &s = o.s;
  if (!o.place) {
    ++s.lists[o.block].first;
    ++s.lists[n].resume;
    return;
  }
  // The blocks that find B come after it in code order, so B's own cells
  // are still untouched: its neighbours go just before where they end.
  s.cells[s.lists[o.block].resume - 1 - o.found++] = n;
  s.cells[s.lists[n].resume++] = o.block;
}

void subdivided_face(ordering &o, const seg_context &ctx, int32_t first, int32_t x, int32_t y,
                     int32_t z, int32_t level, int32_t d);

// Links B with the leaves of the block of the given level at pixel x, row y
// and plane z (present, at pixel offset first) that lies on B's low side
// across direction d, as far as they touch B, in code order.  The leaf at
// the block's first pixel either covers the whole block (it is the block,
// or a larger leaf around it: one link; always so for B a single pixel) or
// is smaller, and then the block is subdivided.
inline void face_leaves(ordering &o, const seg_context &ctx, int32_t first, int32_t x, int32_t y,
                        int32_t z, int32_t level, int32_t d) {
  const region_id leaf = static_cast<region_id>(o.map[first]);
  if (region_level(o.s, leaf) >= level) {
    link_neighbours(o, leaf);
  } else {
    subdivided_face(o, ctx, first, x, y, z, level, d);
  }
}

// The present children of a subdivided block that touch B, in child order.
void subdivided_face(ordering &o, const seg_context &ctx, int32_t first, int32_t x, int32_t y,
                     int32_t z, int32_t level, int32_t d) {
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
    face_leaves(o, ctx, child, x + dx, y + dy, z + dz, k_level, d);
  }
}

// Calls visit(r, x, y, z, level, first) for every leaf in code order: its
// region, where it starts (pixel, row, plane and pixel offset) and its
// level; a walk down the present blocks that stops at each leaf.  False
// when the run must end.
template <typename Visit> bool for_each_leaf(seg_context &ctx, const int32_t *map, Visit visit) {
  const region_store &s = ctx.regions;
  struct entered {
    int32_t x, y, z;
    uint32_t children; // present children not yet entered
  };
  entered path[max_levels + 1];
  path[0] = entered{0, 0, 0, present_children(ctx, 0, 0, 0, ctx.levels - 1)};
  int32_t depth = 0; // path[depth] is a block of level levels - depth
  size_t visited = 0;
  while (depth >= 0) {
    entered &parent = path[depth];
    if (parent.children == 0) {
      --depth;
      continue;
    }
    const int32_t level = ctx.levels - depth - 1;
    const int32_t k = lowest_child(parent.children);
    parent.children &= parent.children - 1;
    const int32_t x = parent.x + ((k & 1) != 0 ? int32_t{1} << level : 0);
    const int32_t y = parent.y + ((k & 2) != 0 ? int32_t{1} << level : 0);
    const int32_t z = parent.z + ((k & 4) != 0 ? level_planes(ctx, level) : 0);
    const int32_t first = x + y * ctx.dim_x + z * ctx.plane_stride;
    const region_id r = static_cast<region_id>(map[first]);
    if (region_level(s, r) >= level) {
      if (tick(ctx, ++visited, ctx.region_total)) {
        return false;
      }
      visit(r, x, y, z, level, first);
    } else {
      path[++depth] = entered{x, y, z, present_children(ctx, x, y, z, level - 1)};
    }
  }
  return true;
}

// Finds the neighbours of every leaf on its low sides, counting (place
// false) or placing them.
bool walk_faces(seg_context &ctx, const int32_t *map, bool place) {
  ordering o{ctx.regions, map, 0, place, 0};
  return for_each_leaf(
      ctx, map, [&](region_id r, int32_t x, int32_t y, int32_t z, int32_t level, int32_t first) {
        o.block = r;
        o.found = 0;
        // The block of B's own level across each low face starts one block
        // side, or one block's planes, before B (and is present, as B is);
        // none on the image border.
        const int32_t side = int32_t{1} << level;
        const int32_t planes = level_planes(ctx, level);
        if (x > 0) {
          face_leaves(o, ctx, first - side, x - side, y, z, level, DIR_X);
        }
        if (y > 0) {
          face_leaves(o, ctx, first - side * ctx.dim_x, x, y - side, z, level, DIR_Y);
        }
        if (z > 0) {
          face_leaves(o, ctx, first - planes * ctx.plane_stride, x, y, z - planes, level, DIR_Z);
        }
      });
}

} // namespace

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

int32_t order_region_list(seg_context &ctx, block_table table) {
  // Each leaf's place among the leaves of its level, along the chain in
  // code order.
  size_t at_level[max_levels + 1] = {};
  // How far the stage is: the chain, the map, then two walks over the
  // leaves (their cells counted, then placed).
  enter_phase(ctx, 0.0, 0.1);
  size_t walked = 0;
  for (block_id b = table[0]; b != 0;) {
    if (tick(ctx, ++walked, ctx.block_count)) {
      return SEG_FAIL;
    }
    block_record &block = ctx.blocks[b];
    const block_id next = block.next_block;
    block.rank = static_cast<uint32_t>(at_level[code_level(ctx, block.code)]++);
    b = next;
  }
  // Largest blocks first: the highest level starts at region 1.
  region_store &s = ctx.regions;
  size_t leaves = 0;
  for (int32_t level = ctx.levels; level >= 0; --level) {
    s.level_first[level] = static_cast<region_id>(1 + leaves);
    leaves += at_level[level];
  }
  if (make_region_store(ctx, static_cast<region_id>(leaves)) != SEG_OK) {
    return SEG_FAIL;
  }
  ctx.region_total = leaves;
  ctx.live_regions = leaves;
  // The map of the region at every pixel goes into the labels output when
  // the caller gave one.
  int32_t *map = ctx.scratch;
  int32_t *own_map = NULL;
  if (map == NULL) {
    own_map =
        static_cast<int32_t *>(seg_alloc(sizeof(int32_t) * static_cast<size_t>(ctx.image_voxels)));
    if (own_map == NULL) {
      return note_shortage(ctx, "the map of the leaves");
    }
    map = own_map;
  }
  // The map and the regions, in parts of the block store.
  enter_phase(ctx, 0.1, 0.2);
  const bool made = ctx.rules->make_regions(ctx, map);
  release_blocks(ctx);
  if (!made) {
    seg_free(own_map);
    return SEG_FAIL;
  }
  // Every list's cells, counted: first the neighbours a block finds,
  // resume the blocks that find it.  Then each list's run, in the order of
  // the regions: first its first cell, resume where the cells of the
  // blocks that find it begin; a run with cells has its end cell after
  // them.
  enter_phase(ctx, 0.3, 0.35);
  if (!walk_faces(ctx, map, false)) {
    seg_free(own_map);
    return SEG_FAIL;
  }
  size_t cells = 0;
  for (region_id r = 1; r <= s.count; ++r) {
    const size_t found = s.lists[r].first;
    const size_t finders = s.lists[r].resume;
    s.lists[r].first = static_cast<cell_id>(1 + cells);
    s.lists[r].resume = static_cast<cell_id>(1 + cells + found);
    cells += found + finders + (found + finders != 0 ? 1 : 0);
  }
  enter_phase(ctx, 0.65, 0.35);
  if (reserve_cells(ctx, cells) != SEG_OK || !walk_faces(ctx, map, true)) {
    seg_free(own_map);
    return SEG_FAIL;
  }
  seg_free(own_map);
  // resume is now where each run's end cell goes; a live region's list
  // ends there.
  for (region_id r = 1; r <= s.count; ++r) {
    region_lists &list = s.lists[r];
    if (list.first == list.resume) {
      list.first = 0; // no cells
    } else {
      s.cells[list.resume] = cell_end + (r - 1);
    }
    list.resume = 0;
  }
  return ctx.ending == SEG_OK ? SEG_OK : SEG_FAIL;
}
