// The snapshot stack: label images that show the blocks and regions as a
// run proceeds.  Every paint goes into snapshot_cur; every 1001st paint
// event freezes it by copying it into the next slice of the arena, which
// becomes the one painted.  The slices lie one after another in one block,
// so that the finished stack is the block itself.
//
// A run makes that block once, as large as the rest of the run can need
// (reserve_snapshots), so that no slice is ever moved or written twice and
// the host's allocator sees one request of about the stack's size.  A block
// grown step by step is copied at each step, and ends up to twice the size
// of the stack: past the size from which a C library maps fresh pages for
// every request (32 MB for glibc), whose pages are then faulted in again on
// every call, where a stack-sized block would reuse the memory the last call
// gave back.  How many slices a run needs is known once its blocks are
// split (grouping paints every region once).  Until then nothing reads the
// painting, so the block stages' paints are only noted in a log, and the
// reservation replays them into the slices.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "stages.h"

namespace {

// Slices of the arena's first block when a caller opens the snapshots
// itself (open_first_snapshot) and keeps them.
constexpr int32_t first_capacity = 4;

size_t slice_bytes(const seg_context &ctx) {
  return sizeof(int32_t) * static_cast<size_t>(ctx.image_voxels);
}

// The bytes of n slices in out; false when they do not fit in a size_t.
bool arena_bytes(const seg_context &ctx, int32_t n, size_t &out) {
  const size_t slice = slice_bytes(ctx);
  if (slice != 0 && static_cast<size_t>(n) > static_cast<size_t>(-1) / slice) {
    seg_note_refusal(static_cast<size_t>(-1));
    return false;
  }
  out = static_cast<size_t>(n) * slice;
  return true;
}

// One allocation for the test hook, whichever allocator serves it.  The
// arena outlives the run, so it is on no run's heap.
void *arena_resize(const snapshot_allocator &allocator, void *block, size_t bytes) {
  if (seg_allocation_refused(bytes)) {
    return NULL;
  }
  void *made = allocator.resize != NULL ? allocator.resize(block, bytes) : realloc(block, bytes);
  if (made == NULL) {
    seg_note_refusal(bytes);
  }
  return made;
}

void arena_release(snapshot_arena &arena) {
  if (arena.allocator.resize == NULL) {
    free(arena.slices);
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

// The most slices the byte budget allows (INT32_MAX without a budget); one
// at least, the final state's.
int32_t slice_limit(const seg_context &ctx) {
  const size_t slice = slice_bytes(ctx);
  if (ctx.snapshot_budget == 0 || slice == 0) {
    return INT32_MAX;
  }
  const size_t n = ctx.snapshot_budget / slice;
  return n < 1 ? 1 : n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(n);
}

// The slices that a list of count slices, whose current one has taken
// paint_events events, holds after events more: one opens on every 1001st
// event.  Never more than the budget allows.
int32_t slices_after(const seg_context &ctx, int32_t count, int64_t paint_events, int64_t events) {
  const int64_t n = count + (paint_events + events) / (int64_t{snapshot_interval} + 1);
  const int32_t limit = slice_limit(ctx);
  return n > limit ? limit : static_cast<int32_t>(n);
}

// The arena resized to capacity slices; false (the arena as it was) when
// that cannot be had.
bool resize_arena(seg_context &ctx, int32_t capacity) {
  size_t bytes = 0;
  if (!arena_bytes(ctx, capacity, bytes)) {
    return false;
  }
  void *block = arena_resize(ctx.snapshot_slices.allocator, ctx.snapshot_slices.slices, bytes);
  if (block == NULL) {
    return false;
  }
  place_arena(ctx, block, capacity);
  return true;
}

// Room for at least one more slice, within the budget; false when it cannot
// be had.  Only a run whose reservation failed, or a caller that opened the
// snapshots itself, gets here: the reservation holds every slice of a run.
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
  return resize_arena(ctx, wanted);
}

} // namespace

namespace {

// The arena of capacity slices (1 at least) and the first snapshot in it.
int32_t open_snapshots(seg_context &ctx, int32_t capacity) {
  snapshot *cell = static_cast<snapshot *>(seg_calloc(1, sizeof(snapshot)));
  if (cell == NULL) {
    return SEG_FAIL;
  }
  if (capacity > slice_limit(ctx)) {
    capacity = slice_limit(ctx);
  }
  if (capacity < 1) {
    capacity = 1;
  }
  size_t bytes = static_cast<size_t>(-1);
  void *block = arena_bytes(ctx, capacity, bytes)
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

void release_log(paint_log &log) {
  seg_free(log.entries);
  log = paint_log{};
}

// Notes a paint (level -1: none) and the events counted after it; false
// when the log cannot grow.
bool note_paint(seg_context &ctx, block_code code, int32_t level, int32_t value) {
  paint_log &log = ctx.deferred_paints;
  if (log.count == log.capacity) {
    const size_t capacity = log.capacity == 0 ? 1024 : 2 * log.capacity;
    void *grown = capacity > static_cast<size_t>(-1) / sizeof(logged_paint)
                      ? NULL
                      : seg_resize(log.entries, capacity * sizeof(logged_paint));
    if (grown == NULL) {
      return false;
    }
    log.entries = static_cast<logged_paint *>(grown);
    log.capacity = capacity;
  }
  log.entries[log.count++] = logged_paint{code, value, level, 0};
  return true;
}

bool note_event(seg_context &ctx) {
  paint_log &log = ctx.deferred_paints;
  if (log.count == 0 && !note_paint(ctx, 0, -1, 0)) {
    return false;
  }
  ++log.entries[log.count - 1].events;
  ++log.events;
  return true;
}

// The arena for the logged events and events more, and the logged paints
// replayed into it as they would have been painted: the checkerboard (always
// the first painting of a run), then each paint with its events.  When the
// arena cannot be had, one for the logged events alone is tried (the rest
// are grown as they open); when neither can, the run must end.
void replay_log(seg_context &ctx, int64_t events) {
  paint_log log = ctx.deferred_paints;
  ctx.deferred_paints = paint_log{};
  const int32_t capacity = slices_after(ctx, 1, snapshot_interval, log.events + events);
  const int32_t needed = slices_after(ctx, 1, snapshot_interval, log.events);
  if (open_snapshots(ctx, capacity) != SEG_OK &&
      (capacity == needed || open_snapshots(ctx, needed) != SEG_OK)) {
    note_shortage(ctx, "the snapshot stack");
    ctx.keep_snapshots = false;
    release_log(log);
    return;
  }
  fill_checkerboard(ctx, ctx.snapshot_cur->labels);
  poll_check(ctx, 0, 0);
  // How far the replay is, for the check: the voxels it paints, and those
  // of the slices it copies, one for each snapshot it opens.
  int64_t replayed = 0; // events
  const auto work = [&](const logged_paint &p) {
    const int64_t paint = p.level >= 0 ? present_box(ctx, p.code, p.level).voxels : 0;
    const int64_t copies = slices_after(ctx, 1, snapshot_interval, replayed + p.events) -
                           slices_after(ctx, 1, snapshot_interval, replayed);
    replayed += p.events;
    return static_cast<size_t>(paint + copies * int64_t{ctx.image_voxels});
  };
  size_t total = 0;
  for (size_t i = 0; i < log.count && ctx.check != NULL; ++i) {
    total += work(log.entries[i]);
  }
  replayed = 0;
  size_t done = 0;
  for (size_t i = 0; i < log.count && !tick(ctx, done, total); ++i) {
    const logged_paint &p = log.entries[i];
    done += ctx.check != NULL ? work(p) : 0;
    if (p.level >= 0) {
      fill_pixels(ctx, ctx.snapshot_cur->labels, present_box(ctx, p.code, p.level), p.value);
    }
    for (int32_t k = 0; k < p.events; ++k) {
      count_paint_event(ctx);
    }
  }
  release_log(log);
}

} // namespace

int32_t open_first_snapshot(seg_context &ctx) {
  return open_snapshots(ctx, ctx.keep_snapshots ? first_capacity : 1);
}

void defer_snapshots(seg_context &ctx) { ctx.deferred_paints.active = true; }

void reserve_snapshots(seg_context &ctx, int64_t events) {
  if (ctx.deferred_paints.active) {
    replay_log(ctx, events);
    return;
  }
  if (!painting(ctx) || !ctx.keep_snapshots) {
    return;
  }
  const int32_t wanted = slices_after(ctx, ctx.snapshot_count, ctx.paint_events, events);
  if (wanted > ctx.snapshot_slices.capacity) {
    resize_arena(ctx, wanted); // when it fails, growth is tried again as the slices open
  }
}

int64_t region_paint_events(const seg_context &ctx, int32_t stage, int64_t regions) {
  if (stage == STAGE_ELIMINATION) {
    return regions - 1;
  }
  int64_t seeds = 0; // painted by parallel grouping before its turns
  if (ctx.parallel_grouping != 0 && ctx.parallel_seeds > 1 && regions > 1) {
    seeds = (ctx.parallel_seeds < regions ? ctx.parallel_seeds : regions) - 1;
  }
  return regions + seeds;
}

void plan_snapshots(seg_context &ctx, int32_t stage) {
  if (!ctx.keep_snapshots) {
    return;
  }
  // Grouping: the leaves of the split blocks, each a region to be.
  // Elimination: the live regions grouping left.
  int64_t regions = 0;
  if (stage == STAGE_GROUPING) {
    for (block_id b = 1; b < ctx.block_count && !tick(ctx); ++b) {
      regions += !ctx.blocks[b].merged;
    }
  } else {
    for (region_id r = 1; r <= ctx.regions.count && !tick(ctx); ++r) {
      regions += !is_absorbed(ctx.regions, r);
    }
  }
  reserve_snapshots(ctx, region_paint_events(ctx, stage, regions));
}

// A block at most half empty is kept as it is.  The reservation of a run
// leaves unused at most the slices its bounds overcounted (parallel seeds,
// regions that elimination did not take), and the pages of those were never
// touched.  Trimming them would cost more than it gives: a C library that
// sizes its reuse of large blocks by the last one released (glibc does)
// would then serve the next call with fresh pages, faulted in one by one,
// instead of the memory this block leaves behind.
void trim_snapshots(seg_context &ctx) {
  snapshot_arena &arena = ctx.snapshot_slices;
  if (arena.slices == NULL || 2 * (arena.capacity - ctx.snapshot_count) < arena.capacity) {
    return;
  }
  resize_arena(ctx, ctx.snapshot_count); // when it fails the larger block stays
}

void release_snapshots(snapshot_list &list) {
  arena_release(list.arena);
  list.count = 0;
}

void release_snapshots(seg_context &ctx) {
  release_log(ctx.deferred_paints);
  for (snapshot *cell = ctx.snapshot_head; cell != NULL;) {
    snapshot *next = cell->next;
    seg_free(cell);
    cell = next;
  }
  arena_release(ctx.snapshot_slices);
  ctx.snapshot_head = NULL;
  ctx.snapshot_cur = NULL;
  ctx.snapshot_count = 0;
}

void paint_block(seg_context &ctx, block_code code, int32_t level, int32_t value) {
  if (!painting(ctx)) {
    // A log that cannot grow is replayed at once; painting goes on in the
    // slices.
    if (!ctx.deferred_paints.active || note_paint(ctx, code, level, value)) {
      return;
    }
    reserve_snapshots(ctx, 0);
    if (!painting(ctx)) {
      return;
    }
  }
  fill_pixels(ctx, ctx.snapshot_cur->labels, present_box(ctx, code, level), value);
}

void count_paint_event(seg_context &ctx) {
  if (!painting(ctx)) {
    if (!ctx.deferred_paints.active || note_event(ctx)) {
      return;
    }
    reserve_snapshots(ctx, 0);
    if (!painting(ctx)) {
      return;
    }
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
  // one being painted.  When the budget allows no more slices, the snapshot
  // is not opened; when no room can be had, the run must end.
  if (ctx.snapshot_count >= slice_limit(ctx)) {
    ctx.budget_reached = true;
    return;
  }
  snapshot *cell = static_cast<snapshot *>(seg_calloc(1, sizeof(snapshot)));
  if (cell == NULL) {
    note_shortage(ctx, "the snapshot stack");
    return;
  }
  if (ctx.snapshot_count == ctx.snapshot_slices.capacity && !grow_arena(ctx)) {
    seg_free(cell);
    note_shortage(ctx, "the snapshot stack");
    return;
  }
  cell->labels = ctx.snapshot_cur->labels + ctx.image_voxels;
  memcpy(cell->labels, ctx.snapshot_cur->labels, slice_bytes(ctx));
  ctx.snapshot_cur->next = cell;
  ctx.snapshot_cur = cell;
  ++ctx.snapshot_count;
  // A slice of a large image takes a while to copy: the check comes after
  // each (the stage sees its answer at its next item).
  poll_check(ctx, 0, 0);
}
