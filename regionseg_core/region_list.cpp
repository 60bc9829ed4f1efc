// Region list ordering: every leaf block of the split phase becomes a
// one-block region, the regions are linked largest blocks first, and every
// two blocks that share a face get an entry in each other's adjacency list.
//
// The blocks are visited once, in code order.  Each block B looks for its
// neighbours on its low side only (x, then y, then z): the block of B's own
// level across that face starts one block before B, and the leaves there are
// read from a map of the leaf at every pixel.  B collects those neighbours at the front
// of its own list and is appended at the end of theirs, which gives every
// list the order that grouping and small-region elimination rely on.
#include "regionseg.h"

namespace {

// Whether child digit k lies in the upper half along direction d.
inline bool upper_side(block_code k, int32_t d) { return k != 0 && (((k - 1) >> d) & 1u) != 0; }

// The leaf at every pixel: the map holds, for each pixel, the ordinal of the
// leaf that covers it, and leaves[ordinal] is that leaf's record.  A block on
// a low side is then found with one read at its first pixel, whatever the
// size of the leaves around it.
struct leaf_map {
  int32_t *at = nullptr;          // cube_voxels ordinals
  region_node **leaves = nullptr; // one record per ordinal
  bool own_map = false;           // at was allocated here (no scratch given)
};

// The state of one ordering pass while block B is being processed.
struct ordering {
  seg_context &ctx;
  leaf_map map;
  region_node *block; // B
  node_link *pending; // B's pending cell: the front of B's list so far
};

void release_leaf_map(leaf_map &m) {
  if (m.own_map) {
    seg_free(m.at);
  }
  seg_free(m.leaves);
  m = leaf_map{};
}

// Builds the map over the chain from first; false when memory runs out
// (nothing is then left allocated by it).  The map goes into ctx.scratch
// when the caller gave one.
bool build_leaf_map(ordering &o, region_node *first) {
  const seg_context &ctx = o.ctx;
  size_t count = 0;
  for (const region_node *p = first; p != nullptr; p = p->next_block) {
    ++count;
  }
  leaf_map &m = o.map;
  m.leaves = static_cast<region_node **>(seg_alloc(sizeof(region_node *) * count));
  if (m.leaves == nullptr) {
    return false;
  }
  if (ctx.scratch != nullptr) {
    m.at = ctx.scratch;
  } else {
    m.at =
        static_cast<int32_t *>(seg_alloc(sizeof(int32_t) * static_cast<size_t>(ctx.cube_voxels)));
    if (m.at == nullptr) {
      release_leaf_map(m);
      return false;
    }
    m.own_map = true;
  }
  int32_t ordinal = 0;
  for (region_node *p = first; p != nullptr; p = p->next_block, ++ordinal) {
    m.leaves[ordinal] = p;
    fill_leaf(ctx, m.at, p->code, ordinal);
  }
  return true;
}

// Enters n in B's list (in the pending cell, in front of what B found
// before) and B at the end of n's list.  False when a cell cannot be had;
// the cells already linked stay reachable from the pending cell or from n.
bool link_neighbours(ordering &o, region_node *n) {
  node_link *cell = new_node_link();
  if (cell == nullptr) {
    return false;
  }
  o.pending->node = n;
  cell->node = o.block;
  if (n->nbr_tail != nullptr) {
    n->nbr_tail->next = cell;
  } else {
    n->nbr_head = cell;
  }
  n->nbr_tail = cell;
  node_link *fresh = new_node_link();
  if (fresh == nullptr) {
    return false;
  }
  fresh->next = o.pending;
  o.pending = fresh;
  return true;
}

// Links B with the leaves of the block of the given level that starts at
// pixel offset first and lies on B's low side across direction d, as far as
// they touch B, in code order.  The leaf at the block's first pixel either
// covers the whole block (it is the block, or a larger leaf around it: one
// link) or is smaller, and then the block is subdivided and its children
// that touch B are visited in child order.  False on a failed link.
bool face_leaves(ordering &o, int32_t first, int32_t level, int32_t d) {
  const seg_context &ctx = o.ctx;
  region_node *leaf = o.map.leaves[o.map.at[first]];
  if (code_level(ctx, leaf->code) >= level) {
    return link_neighbours(o, leaf);
  }
  const int32_t k_level = level - 1;
  const int32_t side = int32_t{1} << k_level;
  const int32_t planes = k_level < ctx.flat_levels
                             ? 0
                             : (int32_t{1} << (k_level - ctx.flat_levels)) * ctx.plane_stride;
  // Across z, a block one plane thick touches B with all its children.
  const bool every_child = d == DIR_Z && k_level < ctx.flat_levels;
  const int32_t children = ctx.child_count[k_level];
  for (int32_t k = 0; k < children; ++k) {
    if (!every_child && ((k >> d) & 1) == 0) {
      continue; // child k + 1 lies on the far side from B
    }
    const int32_t child = first + ((k & 1) != 0 ? side : 0) +
                          ((k & 2) != 0 ? side * ctx.dim_x : 0) + ((k & 4) != 0 ? planes : 0);
    if (!face_leaves(o, child, k_level, d)) {
      return false;
    }
  }
  return true;
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

void set_region_statistics(seg_context &ctx, region_node *block) {
  const int32_t level = code_level(ctx, block->code);
  switch (ctx.criterion) {
  case CRITERION_RANGE_MEAN: {
    const block_origin_t o = block_origin(ctx, block->code, level);
    const block_extent_t e = block_extent(ctx, level);
    int64_t sum = 0;
    const int32_t *base = ctx.image + o.x + o.y + o.z;
    for (int32_t z = 0; z < e.depth; z += ctx.plane_stride) {
      for (int32_t y = 0; y < e.height; y += ctx.dim_x) {
        const int32_t *row = base + z + y;
        for (int32_t x = 0; x < e.width; ++x) {
          sum += row[x];
        }
      }
    }
    block->stat_a = sum;
    block->stat_b = ctx.block_voxels[level];
    break;
  }
  case CRITERION_CHI2_VARIANCE:
  case CRITERION_SCALED_VARIANCE:
    block->stat_b = ctx.block_voxels[level];
    break;
  default:
    break;
  }
  block->flags = 0;
}

region_node *order_region_list(seg_context &ctx, block_table table) {
  region_node *first = table[0];
  set_region_statistics(ctx, first);
  first->last_member = first;
  first->next_region = nullptr;
  // The first block has no low-side neighbours; its list starts with a
  // placeholder so that the others can append to it like to any list.
  node_link *placeholder = new_node_link();
  if (placeholder == nullptr) {
    release_linked_blocks(ctx, table, nullptr);
    return seg_fail_ptr<region_node>();
  }
  first->nbr_head = first->nbr_tail = placeholder;
  region_node **level_tail = static_cast<region_node **>(
      seg_calloc(static_cast<size_t>(ctx.levels), sizeof(region_node *)));
  if (level_tail == nullptr) {
    release_linked_blocks(ctx, table, nullptr);
    return seg_fail_ptr<region_node>();
  }
  level_tail[code_level(ctx, first->code)] = first;
  region_node *head = first;

  ordering o{ctx, leaf_map{}, nullptr, nullptr};
  if (!build_leaf_map(o, first)) {
    release_linked_blocks(ctx, table, level_tail);
    return seg_fail_ptr<region_node>();
  }
  for (region_node *b = first->next_block; b != nullptr; b = b->next_block) {
    const int32_t level = code_level(ctx, b->code);
    set_region_statistics(ctx, b);

    // Behind the last region of its level, or else behind the last region
    // of the nearest larger level present, or else at the front.
    region_node *after = level_tail[level];
    for (int32_t m = level + 1; after == nullptr && m < ctx.levels; ++m) {
      after = level_tail[m];
    }
    if (after != nullptr) {
      b->next_region = after->next_region;
      after->next_region = b;
    } else {
      b->next_region = head;
      head = b;
    }
    level_tail[level] = b;
    b->last_member = b;

    node_link *pending = new_node_link();
    if (pending == nullptr) {
      release_leaf_map(o.map);
      release_linked_blocks(ctx, table, level_tail);
      return seg_fail_ptr<region_node>();
    }
    b->nbr_tail = pending; // the first cell filled ends b's list
    o.block = b;
    o.pending = pending;
    // The block of B's own level across each low face starts one block
    // width, height or depth before B; none on the image border.
    const block_origin_t at = block_origin(ctx, b->code, level);
    const block_extent_t e = block_extent(ctx, level);
    const int32_t start = at.x + at.y + at.z;
    const int32_t low_side[3] = {at.x > 0 ? start - e.width : -1, at.y > 0 ? start - e.height : -1,
                                 at.z > 0 ? start - e.depth : -1};
    for (int32_t d = DIR_X; d <= DIR_Z; ++d) {
      if (low_side[d] >= 0 && !face_leaves(o, low_side[d], level, d)) {
        release_links(ctx, o.pending);
        b->nbr_tail = nullptr;
        release_leaf_map(o.map);
        release_linked_blocks(ctx, table, level_tail);
        return seg_fail_ptr<region_node>();
      }
    }
    b->nbr_head = o.pending->next;
    free_node_link(o.pending);
    if (b->nbr_head == nullptr) {
      b->nbr_tail = nullptr;
    }
  }

  first->nbr_head = placeholder->next;
  if (first->nbr_tail == placeholder) {
    first->nbr_tail = nullptr;
  }
  free_node_link(placeholder);
  for (region_node *r = head; r != nullptr; r = r->next_region) {
    r->next_block = nullptr;
  }
  release_leaf_map(o.map);
  seg_free(table);
  seg_free(level_tail);
  return head;
}
