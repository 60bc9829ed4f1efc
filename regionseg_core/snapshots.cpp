// The snapshot stack: label images that show the blocks and regions as a
// run proceeds.  Every paint goes into snapshot_cur; every 1001st paint
// event freezes it by copying it into the next slice of the arena, which
// becomes the one painted.  The slices lie one after another in one block,
// grown geometrically, so that the finished stack is the block itself.
#include <stdint.h>
#include <string.h>

#include "regionseg.h"

namespace {

// Slices of the arena's first block when the snapshots are kept.
constexpr int32_t first_capacity = 4;

size_t slice_bytes(const seg_context &ctx) {
  return sizeof(int32_t) * static_cast<size_t>(ctx.image_voxels);
}

// The bytes of n slices in out; false when they do not fit in a size_t.
bool arena_bytes(const seg_context &ctx, int32_t n, size_t &out) {
  const size_t slice = slice_bytes(ctx);
  if (slice != 0 && static_cast<size_t>(n) > static_cast<size_t>(-1) / slice) {
    return false;
  }
  out = static_cast<size_t>(n) * slice;
  return true;
}

// One allocation for the test hook, whichever allocator serves it.
void *arena_resize(const snapshot_allocator &allocator, void *block, size_t bytes) {
  if (allocator.resize == NULL) {
    return seg_resize(block, bytes);
  }
  if (seg_allocation_refused()) {
    return NULL;
  }
  return allocator.resize(block, bytes);
}

void arena_release(snapshot_arena &arena) {
  if (arena.allocator.resize == NULL) {
    seg_free(arena.slices);
  } else if (arena.allocator.release != NULL) {
    arena.allocator.release(arena.slices);
  }
  arena.slices = NULL;
  arena.capacity = 0;
}

// Puts the arena's block of capacity slices in place; when it moved, every
// cell's labels points into the new block.
void place_arena(seg_context &ctx, void *block, int32_t capacity) {
  snapshot_arena &arena = ctx.snapshot_slices;
  int32_t *slices = static_cast<int32_t *>(block);
  if (slices != arena.slices) {
    int32_t *slice = slices;
    for (snapshot *cell = ctx.snapshot_head; cell != NULL; cell = cell->next) {
      cell->labels = slice;
      slice += ctx.image_voxels;
    }
  }
  arena.slices = slices;
  arena.capacity = capacity;
}

// The most slices the byte budget allows (INT32_MAX without a budget).
int32_t slice_limit(const seg_context &ctx) {
  const size_t slice = slice_bytes(ctx);
  if (ctx.snapshot_budget == 0 || slice == 0) {
    return INT32_MAX;
  }
  const size_t n = ctx.snapshot_budget / slice;
  return n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(n);
}

// Room for at least one more slice, within the budget; false when it cannot
// be had.
bool grow_arena(seg_context &ctx) {
  const int32_t capacity = ctx.snapshot_slices.capacity;
  const int32_t limit = slice_limit(ctx);
  if (capacity >= limit) {
    return false;
  }
  int32_t wanted = capacity > limit / 2 ? limit : 2 * capacity;
  size_t bytes = 0;
  while (!arena_bytes(ctx, wanted, bytes)) {
    wanted = capacity + (wanted - capacity) / 2;
    if (wanted == capacity) {
      return false;
    }
  }
  void *block = arena_resize(ctx.snapshot_slices.allocator, ctx.snapshot_slices.slices, bytes);
  if (block == NULL) {
    return false;
  }
  place_arena(ctx, block, wanted);
  return true;
}

} // namespace

int32_t open_first_snapshot(seg_context &ctx) {
  snapshot *cell = static_cast<snapshot *>(seg_calloc(1, sizeof(snapshot)));
  if (cell == NULL) {
    return SEG_FAIL;
  }
  int32_t capacity = ctx.keep_snapshots ? first_capacity : 1;
  if (capacity > slice_limit(ctx)) {
    capacity = slice_limit(ctx);
  }
  if (capacity == 0) {
    ctx.budget_reached = true; // not even the first slice
  }
  size_t bytes = 0;
  void *block = capacity > 0 && arena_bytes(ctx, capacity, bytes)
                    ? arena_resize(ctx.snapshot_slices.allocator, NULL, bytes)
                    : NULL;
  if (block == NULL) {
    seg_free(cell);
    return SEG_FAIL;
  }
  ctx.snapshot_slices.slices = static_cast<int32_t *>(block);
  ctx.snapshot_slices.capacity = capacity;
  cell->labels = ctx.snapshot_slices.slices;
  ctx.snapshot_head = cell;
  ctx.snapshot_cur = cell;
  ctx.snapshot_count = 1;
  ctx.paint_events = snapshot_interval;
  return SEG_OK;
}

// A block at most half empty is kept as it is.  Growth doubles, so that is
// every block but a first one of few snapshots, and the unused part never
// exceeds the used one; its pages were never touched.  Trimming it would
// cost more than it gives: a C library that sizes its reuse of large blocks
// by the last one released (glibc does) would then serve the next call's
// growth with fresh pages, faulted in one by one, instead of the memory this
// block leaves behind.
void trim_snapshots(seg_context &ctx) {
  snapshot_arena &arena = ctx.snapshot_slices;
  if (arena.slices == NULL || 2 * (arena.capacity - ctx.snapshot_count) < arena.capacity) {
    return;
  }
  size_t bytes = 0;
  arena_bytes(ctx, ctx.snapshot_count, bytes); // fewer than capacity: fits
  void *block = arena_resize(arena.allocator, arena.slices, bytes);
  if (block != NULL) {
    place_arena(ctx, block, ctx.snapshot_count);
  }
}

void release_snapshot_cells(snapshot *head) {
  while (head != NULL) {
    snapshot *next = head->next;
    seg_free(head);
    head = next;
  }
}

void release_snapshots(snapshot_list &list) {
  release_snapshot_cells(list.head);
  arena_release(list.arena);
  list.head = NULL;
  list.count = 0;
}

void release_snapshots(seg_context &ctx) {
  release_snapshot_cells(ctx.snapshot_head);
  arena_release(ctx.snapshot_slices);
  ctx.snapshot_head = NULL;
  ctx.snapshot_cur = NULL;
  ctx.snapshot_count = 0;
}

void fill_pixels(const seg_context &ctx, int32_t *buffer, int32_t x, int32_t y, int32_t z,
                 int32_t width, int32_t height, int32_t depth, int32_t value) {
  const int32_t start = x + y + z;
  for (int32_t plane = 0; plane < depth; plane += ctx.plane_stride) {
    for (int32_t row = 0; row < height; row += ctx.dim_x) {
      int32_t *run = buffer + start + plane + row;
      for (int32_t i = 0; i < width; ++i) {
        run[i] = value;
      }
    }
  }
}

void fill_leaf(const seg_context &ctx, int32_t *buffer, block_code code, int32_t value) {
  const int32_t level = code_level(ctx, code);
  const block_origin_t o = block_origin(ctx, code, level);
  const block_extent_t e = block_extent(ctx, level);
  fill_pixels(ctx, buffer, o.x, o.y, o.z, e.width, e.height, e.depth, value);
}

void paint_block(seg_context &ctx, int32_t x, int32_t y, int32_t z, int32_t width, int32_t height,
                 int32_t depth, int32_t value) {
  if (!painting(ctx)) {
    return;
  }
  fill_pixels(ctx, ctx.snapshot_cur->labels, x, y, z, width, height, depth, value);
}

void count_paint_event(seg_context &ctx) {
  if (!painting(ctx)) {
    return;
  }
  ++ctx.paint_events;
  if (ctx.paint_events <= snapshot_interval) {
    return;
  }
  ctx.paint_events = 0;
  if (!ctx.keep_snapshots) {
    return;
  }
  // Freeze the current painting: its copy in the next slice goes on as the
  // one being painted.  When no room can be had, or the budget allows no
  // more slices, the snapshot is simply not opened.
  if (ctx.snapshot_count >= slice_limit(ctx)) {
    ctx.budget_reached = true;
    return;
  }
  snapshot *cell = static_cast<snapshot *>(seg_calloc(1, sizeof(snapshot)));
  if (cell == NULL) {
    return;
  }
  if (ctx.snapshot_count == ctx.snapshot_slices.capacity && !grow_arena(ctx)) {
    seg_free(cell);
    return;
  }
  cell->labels = ctx.snapshot_cur->labels + ctx.image_voxels;
  memcpy(cell->labels, ctx.snapshot_cur->labels, slice_bytes(ctx));
  ctx.snapshot_cur->next = cell;
  ctx.snapshot_cur = cell;
  ++ctx.snapshot_count;
}
