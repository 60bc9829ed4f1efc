// Region list ordering: every leaf block of the split phase becomes a
// one-block region, the regions are linked largest blocks first, and every
// two blocks that share a face get an entry in each other's adjacency list.
//
// The blocks are visited once, in code order.  Each block B looks for its
// neighbours on its low side only (x, then y, then z): the block of B's own
// level across that face is found by code arithmetic, then located among the
// leaves through the block table.  B collects those neighbours at the front
// of its own list and is appended at the end of theirs, which gives every
// list the order that grouping and small-region elimination rely on.
#include "regionseg.h"

namespace {

// Whether child digit k lies in the upper half along direction d.
inline bool upper_side(uint32_t k, int32_t d) { return k != 0 && (((k - 1) >> d) & 1u) != 0; }

// Direct access to the leaves of the start cells that were split: for each
// such cell, the leaf at every one of its pixels.  A block below the start
// level is then found at once instead of by walking the cell's leaves from
// its first one, which would cost as many steps as the cell has leaves for
// every neighbour looked up there.
struct fine_index {
  int32_t *cell_ordinal = nullptr; // per start cell: its map block, or -1
  region_node **map = nullptr;     // cell_pixels leaf pointers per split cell
  int32_t cell_pixels = 0;         // block_voxels[start_level]
  int32_t side = 0;                // start block width, 2^start_level
};

// The state of one ordering pass while block B is being processed.
struct ordering {
  seg_context &ctx;
  block_table table;
  fine_index fine;
  region_node *block; // B
  node_link *pending; // B's pending cell: the front of B's list so far
};

// The position within its start cell's map block of the first pixel of the
// block code at level.
int32_t fine_position(const ordering &o, uint32_t code, int32_t level) {
  const block_origin_t s = block_steps(o.ctx, code, level, o.ctx.start_level);
  return s.x + o.fine.side * (s.y + o.fine.side * s.z);
}

// Builds the fine index over the chain from first; false when memory runs
// out (nothing is then left allocated by it).
bool build_fine_index(ordering &o, region_node *first) {
  const seg_context &ctx = o.ctx;
  const int32_t start = ctx.start_level;
  const int32_t cells = ctx.cube_voxels / ctx.block_voxels[start];
  int32_t split = 0;
  for (int32_t j = 0; j < cells; ++j) {
    if (o.table[j] != nullptr && code_level(ctx, o.table[j]->code) < start) {
      ++split;
    }
  }
  if (split == 0) {
    return true;
  }
  fine_index &f = o.fine;
  f.cell_pixels = ctx.block_voxels[start];
  f.side = int32_t{1} << start;
  f.cell_ordinal = static_cast<int32_t *>(seg_alloc(sizeof(int32_t) * static_cast<size_t>(cells)));
  f.map = static_cast<region_node **>(
      seg_alloc(sizeof(region_node *) * static_cast<size_t>(split) * f.cell_pixels));
  if (f.cell_ordinal == nullptr || f.map == nullptr) {
    seg_free(f.cell_ordinal);
    seg_free(f.map);
    f = fine_index{};
    return false;
  }
  for (int32_t j = 0; j < cells; ++j) {
    f.cell_ordinal[j] = -1;
  }
  int32_t next_ordinal = 0;
  for (region_node *p = first; p != nullptr; p = p->next_block) {
    const int32_t level = code_level(ctx, p->code);
    if (level >= start) {
      continue;
    }
    const int32_t j = cell_index(ctx, p->code);
    if (f.cell_ordinal[j] < 0) {
      f.cell_ordinal[j] = next_ordinal++;
    }
    region_node **base = f.map + static_cast<size_t>(f.cell_ordinal[j]) * f.cell_pixels +
                         fine_position(o, p->code, level);
    const int32_t width = int32_t{1} << level;
    const int32_t planes = level < ctx.flat_levels ? 1 : int32_t{1} << (level - ctx.flat_levels);
    for (int32_t z = 0; z < planes; ++z) {
      for (int32_t y = 0; y < width; ++y) {
        region_node **row = base + f.side * (y + f.side * z);
        for (int32_t x = 0; x < width; ++x) {
          row[x] = p;
        }
      }
    }
  }
  return true;
}

void release_fine_index(fine_index &f) {
  seg_free(f.cell_ordinal);
  seg_free(f.map);
  f = fine_index{};
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

// Links B with every leaf of the block whose first leaf is p and whose
// children at level k_level are enumerated, as far as they touch B across
// direction d (the enumerated block lies on B's low side).  Returns the first
// block after the enumerated block's subtree; ok turns false on a failed link.
region_node *face_leaves(ordering &o, region_node *p, int32_t k_level, int32_t d, bool &ok) {
  const seg_context &ctx = o.ctx;
  if (d != DIR_Z || k_level >= ctx.flat_levels) {
    const int32_t children = ctx.child_count[k_level];
    for (int32_t k = 1; k <= children && p != nullptr; ++k) {
      if (upper_side(static_cast<uint32_t>(k), d)) {
        // Child k touches B: either it is a leaf, or its leaves are
        // enumerated in turn.
        if (k_level > 0 && code_digit(p->code, k_level - 1) != 0) {
          p = face_leaves(o, p, k_level - 1, d, ok);
          if (!ok) {
            return nullptr;
          }
        } else {
          if (!link_neighbours(o, p)) {
            ok = false;
            return nullptr;
          }
          p = p->next_block;
        }
      } else if (k_level < ctx.start_level) {
        // Skip child k's subtree along the chain (inside one start cell).
        while (p != nullptr && code_digit(p->code, k_level) == static_cast<uint32_t>(k)) {
          p = p->next_block;
        }
      } else {
        // Skip child k's subtree through the table.
        const uint32_t following = next_code(ctx, p->code, k_level);
        p = following != 0 ? o.table[cell_index(ctx, following)] : nullptr;
      }
    }
    return p;
  }
  // Across z below flat_levels the enumerated block is one plane thick, so
  // every leaf of it touches B.
  const uint32_t digit = code_digit(p->code, k_level + 1);
  while (p != nullptr && code_digit(p->code, k_level + 1) == digit) {
    if (!link_neighbours(o, p)) {
      ok = false;
      return nullptr;
    }
    p = p->next_block;
  }
  return p;
}

// The leaf that contains the block h, which starts inside a merged block
// (its start cell's slot is empty).  That leaf is the ancestor of h whose
// record sits in its own first slot, the nearest non-empty slot before.
region_node *merged_block_containing(const ordering &o, uint32_t h, int32_t level) {
  const seg_context &ctx = o.ctx;
  for (int32_t m = level + 1; m <= ctx.levels; ++m) {
    const uint32_t ancestor = clear_digits_below(h, m);
    region_node *q = o.table[cell_index(ctx, ancestor)];
    if (q != nullptr && q->code == ancestor) {
      return q;
    }
  }
  for (int32_t j = cell_index(ctx, h); j >= 0; --j) {
    if (o.table[j] != nullptr) {
      return o.table[j];
    }
  }
  return nullptr;
}

// Links B with the leaves that make up, contain or subdivide h, the block of
// B's level on B's low side in direction d.  False on a failed link.
bool link_low_side(ordering &o, uint32_t h, int32_t level, int32_t d) {
  const seg_context &ctx = o.ctx;
  region_node *p = o.table[cell_index(ctx, h)];
  if (p == nullptr) {
    region_node *q = merged_block_containing(o, h, level);
    return q == nullptr || link_neighbours(o, q);
  }
  if (level < ctx.start_level && o.fine.map != nullptr &&
      code_level(ctx, p->code) < ctx.start_level) {
    // h lies in a split start cell: the leaf at its first pixel is h, the
    // first leaf of h, or the larger leaf that contains h.
    const int32_t j = cell_index(ctx, h);
    region_node *x = o.fine.map[static_cast<size_t>(o.fine.cell_ordinal[j]) * o.fine.cell_pixels +
                                fine_position(o, h, level)];
    if (x->code != h && clear_digits_below(x->code, level) == h) {
      bool ok = true;
      face_leaves(o, x, level - 1, d, ok);
      return ok;
    }
    return link_neighbours(o, x);
  }
  // Otherwise at most one step: h is the leaf in its slot, or lies in it,
  // or the leaf in its slot lies in h.
  region_node *passed = nullptr;
  while (p != nullptr && p->code < h) {
    passed = p;
    p = p->next_block;
  }
  if (p != nullptr && p->code == h) {
    return link_neighbours(o, p);
  }
  if (p != nullptr && clear_digits_below(p->code, level) == h) {
    // h is subdivided: link every leaf of it that touches B.
    bool ok = true;
    face_leaves(o, p, level - 1, d, ok);
    return ok;
  }
  // h lies inside the larger block passed last.
  return passed == nullptr || link_neighbours(o, passed);
}

} // namespace

uint32_t low_neighbour_code(const seg_context &ctx, uint32_t code, int32_t level,
                            int32_t direction) {
  // Climb to the first ancestor (or the block itself) that lies in the upper
  // half of its parent along the direction: its low neighbour is a sibling.
  // No such ancestor below the root means the block is on the image border.
  int32_t top = level;
  uint32_t ancestor = code;
  uint32_t k = 0;
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
  uint32_t result = set_digit(k - (1u << direction), top, ancestor);
  // Back down: below that sibling, the child on the high side of each level
  // the block's own digits pass through.
  for (int32_t l = top - 1; l >= level; --l) {
    uint32_t step = 1u << direction;
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
  case 2: {
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
  case 4:
  case 5:
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

  ordering o{ctx, table, fine_index{}, nullptr, nullptr};
  if (!build_fine_index(o, first)) {
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
      release_fine_index(o.fine);
      release_linked_blocks(ctx, table, level_tail);
      return seg_fail_ptr<region_node>();
    }
    b->nbr_tail = pending; // the first cell filled ends b's list
    o.block = b;
    o.pending = pending;
    for (int32_t d = DIR_X; d <= DIR_Z; ++d) {
      const uint32_t h = low_neighbour_code(ctx, b->code, level, d);
      if (h != 0 && !link_low_side(o, h, level, d)) {
        release_links(ctx, o.pending);
        b->nbr_tail = nullptr;
        release_fine_index(o.fine);
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
  release_fine_index(o.fine);
  seg_free(table);
  seg_free(level_tail);
  return head;
}
