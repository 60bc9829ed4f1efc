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
#include <algorithm>

#include "criterion.h"
#include "stages.h"

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

// Calls link(n, x, y, z) for every leaf n of the block of the given level at pixel x,
// row y and plane z (present, at pixel offset first) that touches the
// block on its side across direction d, in code order: on the block's low
// side (the children in the upper half along d touch it; upper set) or on
// its high side (those in the lower half).  The leaf at the block's first
// pixel either covers the whole block (it is the block, or a larger leaf
// around it: one link; always so for a single pixel) or is smaller, and
// then the block is subdivided: its present children that touch, each in
// turn.  Across z, a block one plane thick touches with all its children.
// x, y and z of link: where the leaf was met, one of its pixels.
template <bool upper, typename Link>
void face_leaves(const seg_context &ctx, const int32_t *map, int32_t first, int32_t x, int32_t y,
                 int32_t z, int32_t level, int32_t d, Link &link) {
  const region_id leaf = static_cast<region_id>(map[first]);
  if (region_level(ctx.regions, leaf) >= level) {
    link(leaf, x, y, z);
    return;
  }
  const int32_t k_level = level - 1;
  const int32_t side = int32_t{1} << k_level;
  const int32_t planes = level_planes(ctx, k_level);
  const uint32_t present = present_children(ctx, x, y, z, k_level);
  const bool every_child = d == DIR_Z && k_level < ctx.flat_levels;
  const int32_t children = ctx.child_count[k_level];
  for (int32_t k = 0; k < children; ++k) {
    if ((!every_child && ((k >> d) & 1) != (upper ? 1 : 0)) || ((present >> k) & 1u) == 0) {
      continue; // child k + 1 lies on the far side, or is absent
    }
    const int32_t dx = (k & 1) != 0 ? side : 0;
    const int32_t dy = (k & 2) != 0 ? side : 0;
    const int32_t dz = (k & 4) != 0 ? planes : 0;
    const int32_t child = first + dx + dy * ctx.dim_x + dz * ctx.plane_stride;
    face_leaves<upper>(ctx, map, child, x + dx, y + dy, z + dz, k_level, d, link);
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

// Calls link(n, ...) for every leaf n on the low sides of the leaf of the given
// level at pixel x, row y and plane z (first): across x, then y, then z.
// The block of the leaf's own level across each low face starts one block
// side, or one block's planes, before it (and is present, as the leaf is);
// none on the image border.
template <typename Link>
void low_faces(const seg_context &ctx, const int32_t *map, int32_t x, int32_t y, int32_t z,
               int32_t level, int32_t first, Link &link) {
  const int32_t side = int32_t{1} << level;
  const int32_t planes = level_planes(ctx, level);
  if (x > 0) {
    face_leaves<true>(ctx, map, first - side, x - side, y, z, level, DIR_X, link);
  }
  if (y > 0) {
    face_leaves<true>(ctx, map, first - side * ctx.dim_x, x, y - side, z, level, DIR_Y, link);
  }
  if (z > 0) {
    face_leaves<true>(ctx, map, first - planes * ctx.plane_stride, x, y, z - planes, level, DIR_Z,
                      link);
  }
}

// The same on the high sides: the leaves that find the leaf on their low
// sides.  The block of the leaf's level across a high face is present when
// its first pixel is in the image.
template <typename Link>
void high_faces(const seg_context &ctx, const int32_t *map, int32_t x, int32_t y, int32_t z,
                int32_t level, int32_t first, Link &link) {
  const int32_t side = int32_t{1} << level;
  const int32_t planes = level_planes(ctx, level);
  if (x + side < ctx.dim_x) {
    face_leaves<false>(ctx, map, first + side, x + side, y, z, level, DIR_X, link);
  }
  if (y + side < ctx.dim_y) {
    face_leaves<false>(ctx, map, first + side * ctx.dim_x, x, y + side, z, level, DIR_Y, link);
  }
  if (z + planes < ctx.dim_z) {
    face_leaves<false>(ctx, map, first + planes * ctx.plane_stride, x, y, z + planes, level, DIR_Z,
                       link);
  }
}

// Finds the neighbours of every leaf on its low sides, counting (place
// false) or placing them.
bool walk_faces(seg_context &ctx, const int32_t *map, bool place) {
  ordering o{ctx.regions, map, 0, place, 0};
  auto link = [&](region_id n, int32_t, int32_t, int32_t) { link_neighbours(o, n); };
  return for_each_leaf(
      ctx, map, [&](region_id r, int32_t x, int32_t y, int32_t z, int32_t level, int32_t first) {
        o.block = r;
        o.found = 0;
        low_faces(ctx, map, x, y, z, level, first, link);
      });
}

// Bits 0 .. 15 of v at bits 0, 4, 8, .. 60.
inline uint64_t spread_nibbles(uint32_t v) {
  uint64_t w = v & 0xFFFFu;
  w = (w | (w << 24)) & 0x000000FF000000FFu;
  w = (w | (w << 12)) & 0x000F000F000F000Fu;
  w = (w | (w << 6)) & 0x0303030303030303u;
  w = (w | (w << 3)) & 0x1111111111111111u;
  return w;
}
// A key of the pixel x, y, z that orders pixels as their codes at level 0
// do: digit i less one is bit i of x, 2 x bit i of y and 4 x bit i -
// flat_levels of z.  Leaves never overlap, and a block's pixels come one
// after another in code order, so any pixel of each of two leaves orders
// them as their codes do.
inline uint64_t pixel_key(const seg_context &ctx, int32_t x, int32_t y, int32_t z) {
  return spread_nibbles(static_cast<uint32_t>(x)) |
         (spread_nibbles(static_cast<uint32_t>(y)) << 1) |
         (spread_nibbles(static_cast<uint32_t>(z) << ctx.flat_levels) << 2);
}

// The key of the first pixel of leaf region r.
inline uint64_t leaf_key(const seg_context &ctx, region_id r) {
  const int32_t start = ctx.regions.origin[r];
  const int32_t z = start / ctx.plane_stride;
  const int32_t in_plane = start - z * ctx.plane_stride;
  const int32_t y = in_plane / ctx.dim_x;
  return pixel_key(ctx, in_plane - y * ctx.dim_x, y, z);
}

// A leaf met on a face, with the key of a pixel of it.
struct keyed_leaf {
  uint64_t key;
  region_id region;
};
// The two walks of walk_faces over the regions, in parts on threads, each
// part writing only its own regions' counts and cells.  A leaf B finds on
// its low sides what walk_faces finds for it, into its own cells in the
// same places; and on its high sides the leaves that find B there, which
// walk_faces enters in B's list in the order it visits them, code order:
// so they are put in code order.  Every adjacency is found twice, once
// from each side: a third more work in all, which two threads more than
// pay for.
bool walk_faces_in_parts(seg_context &ctx, const int32_t *map, bool place, const part_plan &plan) {
  region_store &s = ctx.regions;
  const size_t regions = s.count;
  part_stop stop(plan, regions);
  for_each_part(plan, [&](int32_t part, int32_t worker) {
    const region_id last = static_cast<region_id>(1 + part_start(regions, part + 1, plan.parts));
    for (region_id r = static_cast<region_id>(1 + part_start(regions, part, plan.parts)); r < last;
         ++r) {
      if (stop.poll(ctx, worker, 1)) {
        break;
      }
      const int32_t level = region_level(s, r);
      const int32_t first = s.origin[r];
      const int32_t z = first / ctx.plane_stride;
      const int32_t in_plane = first - z * ctx.plane_stride;
      const int32_t y = in_plane / ctx.dim_x;
      const int32_t x = in_plane - y * ctx.dim_x;
      if (!place) {
        cell_id found = 0;
        cell_id finders = 0;
        auto count_found = [&](region_id, int32_t, int32_t, int32_t) { ++found; };
        auto count_finder = [&](region_id, int32_t, int32_t, int32_t) { ++finders; };
        low_faces(ctx, map, x, y, z, level, first, count_found);
        high_faces(ctx, map, x, y, z, level, first, count_finder);
        s.lists[r] = region_lists{found, finders};
        continue;
      }
      // Its neighbours found end where the cells of the leaves that find
      // it begin; those go in code order, sorted by the keys of the pixels
      // where they were met (most lists are short; a long one is sorted by
      // the keys of its leaves' first pixels).
      const cell_id at = s.lists[r].resume;
      cell_id found = 0;
      auto put_found = [&](region_id n, int32_t, int32_t, int32_t) {
        s.cells[at - 1 - found++] = n;
      };
      low_faces(ctx, map, x, y, z, level, first, put_found);
      constexpr cell_id few = 32;
      keyed_leaf met[few];
      cell_id finders = 0;
      auto put_finder = [&](region_id n, int32_t nx, int32_t ny, int32_t nz) {
        s.cells[at + finders] = n;
        if (finders < few) {
          keyed_leaf next{pixel_key(ctx, nx, ny, nz), n};
          cell_id j = finders;
          for (; j > 0 && met[j - 1].key > next.key; --j) {
            met[j] = met[j - 1];
          }
          met[j] = next;
        }
        ++finders;
      };
      high_faces(ctx, map, x, y, z, level, first, put_finder);
      if (finders <= few) {
        for (cell_id i = 0; i < finders; ++i) {
          s.cells[at + i] = met[i].region;
        }
      } else {
        std::sort(s.cells + at, s.cells + at + finders,
                  [&](uint32_t a, uint32_t b) { return leaf_key(ctx, a) < leaf_key(ctx, b); });
      }
      s.lists[r].resume = at + finders;
    }
  });
  return !stop.ended();
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
  // The walks in parts of the regions when there are threads for them.
  const part_plan walk_plan = plan_parts(ctx, s.count, static_cast<size_t>(ctx.image_voxels));
  const bool in_parts = walk_plan.threads > 1;
  enter_phase(ctx, 0.3, 0.35);
  if (!(in_parts ? walk_faces_in_parts(ctx, map, false, walk_plan) : walk_faces(ctx, map, false))) {
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
  if (reserve_cells(ctx, cells) != SEG_OK ||
      !(in_parts ? walk_faces_in_parts(ctx, map, true, walk_plan) : walk_faces(ctx, map, true))) {
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
