// The records and the context of one segmentation run, and what every stage
// shares: the record stores, the end of a run, parts on threads, block
// geometry and painting.  The stages themselves are in stages.h.
//
// A run goes through two kinds of records.  The block stages (initial
// blocks, merging, splitting) work on block_records chained in code order.
// Ordering turns every leaf block into a region of the region store, where
// regions are numbered in the order of the region list and their fields lie
// in arrays of their own: what every scan of an adjacency list reads for a
// neighbour (its statistics and marks, 16 bytes) apart from where an
// absorbed region went (forward_of, 4 bytes) and from what only some steps
// need (geometry, sizes, member chains).  The block records are released
// once the regions are made.
//
// Geometry.  The block tree covers the image, which need not fill it: the
// tree's pixels outside the image are absent, and a block whose first pixel
// is absent has no record and is never judged, painted, counted, listed or
// labelled.  A present block is judged and painted on its present part
// (present_box, block_geometry.h), and n(B), its pixels there, is what every
// count of pixels adds up.  An image that fills the tree gives exactly the
// results of the tree alone.
//
// Failures.  Every stage that can fail returns SEG_OK or SEG_FAIL (its
// results are in the context).  A stage fails only when memory runs short
// (it notes what, note_shortage) or when the run must end (tick,
// poll_check): the caller's check asked to stop, or a failure was noted
// where no status can be returned (a snapshot that cannot be had).  Nothing
// falls back to a slower way when memory runs short: what a stage needs is
// had before its work starts, or the run fails.
//
// Ownership.  The driver owns the stores and every table of a run and
// releases them once, at the end, whatever path the run took; a stage that
// fails just says so.
//
// Threads.  The stages that are pure functions of the image and the blocks
// (the statistics of the start blocks and of each level of splitting, the
// leaf map, the two walks over the leaves' faces that build the adjacency
// lists, the labels output) share their parts out among threads started
// for those parts alone (for_each_part); the list work (merging, grouping,
// elimination, cleaning, sorting) and all painting stay on the calling
// thread.  Every part writes only its own records and pixels, so the result
// is the same for every thread count.  No part allocates (so the
// allocation hook counts the same), prints or calls the host, and no
// thread but the caller's exists while the stages call the host (the
// snapshot arena's allocator), so a host that ends the call there leaves
// no thread behind.
//
// Memory.  Every array, table and buffer of a run comes from
// seg_alloc / seg_calloc / seg_resize and goes back through
// seg_free.  These list the run's blocks on its own heap (seg_heap), count
// live allocations and carry the test-only hook that makes the n-th
// allocation fail; large blocks are carved out of the heap's spans, which
// a bounded pool keeps between runs so that pages are faulted in once
// (alloc.cpp).  The snapshot arena alone comes from an allocator of the
// caller (snapshot_allocator) or the C library's; its growth is still one
// allocation for the hook.
//
// Several runs may go on at once, each on its own thread: a run keeps
// everything in its context and on its heap, and the only state the module
// shares between runs is the test hooks' counters, kept under a lock.
#ifndef KALMEX_REGIONSEG_SEG_CONTEXT_H
#define KALMEX_REGIONSEG_SEG_CONTEXT_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <type_traits>

#include "block_geometry.h"
#include "elimination_index.h"
#include "regionseg.h"

// ---------------------------------------------------------------------------
// Allocation (alloc.cpp)

// The bytes of the last allocation refused on the calling thread (for the
// message that says what ran short), and the same noted for an allocation
// that does not go through seg_alloc (the arena; SIZE_MAX: beyond size_t).
size_t seg_refused_bytes();
void seg_note_refusal(size_t bytes);

// Uninitialised / zero-filled memory; NULL when it cannot be had (or when the
// test hook says so).  seg_calloc checks count x size for overflow.
void *seg_alloc(size_t bytes);
void *seg_calloc(size_t count, size_t size);
// Resizes a block of seg_alloc / seg_calloc (NULL: a new one), keeping its
// first bytes; the block may move.  NULL when it cannot be had, the old block
// then left as it was.
void *seg_resize(void *p, size_t bytes);
// Releases memory from seg_alloc / seg_calloc / seg_resize; NULL is allowed.
void seg_free(void *p);
// Counts one allocation attempt of bytes; true when the test hook refuses
// it.  For allocations that do not go through seg_alloc (the arena).
bool seg_allocation_refused(size_t bytes);

struct criterion_rules;

// ---------------------------------------------------------------------------
// Block records
//
// The blocks of the block stages live in one array, addressed by 32-bit
// ids: a block is its place in the array, and 0 means none (entry 0 is
// never used).  The array grows geometrically as the stages make blocks.

typedef uint32_t block_id;

// One block of the block tree.
struct block_record {
  block_code code;
  int64_t stat_a; // minimum or sum; -1 marks a block as not homogeneous
  int64_t stat_b; // maximum or sum of squares
  // The next block of the chain in code order.  Once ordering has walked
  // the chain it holds the block's place among the leaves of its level.
  union {
    block_id next_block;
    uint32_t rank;
  };
  bool merged; // taken into its first sibling by merging: in no structure any more
};

inline bool is_homogeneous(const block_record &b) { return b.stat_a >= 0; }

// The block table: one slot per present start cell (see start_slot), from
// seg_calloc.  A slot holds the block that begins at that cell while the
// block is a start block or a merged block that begins there; merging
// reads only the slots of blocks that begin a group.
typedef block_id *block_table;

// ---------------------------------------------------------------------------
// The region store
//
// Ordering numbers the regions 1 .. count in the order of the region list
// (largest blocks first, code order within a level), so that a walk over
// the list is a walk over memory; 0 means none.  A region's fields lie in
// arrays of their own, indexed by the region.  The region list is the
// regions in that order, the absorbed ones passed over, until sorting
// gives the final order.

typedef uint32_t region_id;
typedef uint32_t cell_id; // a place in region_store::cells

// What a scan reads of every neighbour it meets: whether it is live, its
// statistics, the grouping marks, and the scan that last saw it (SEEN).
// Criteria 1 and 3 hold the minimum and the maximum, criteria 2, 4 and 5
// the sum of grey values and the pixel count.  An absorbed region's
// statistics and marks are of no use any more: its record says where it
// went instead.
struct region_hot {
  int64_t stat_a;
  union {
    int32_t stat_b;
    // Absorbed: the absorber, or a region that absorbed that one later
    // (the chain is shortened as it is followed).
    region_id forward;
  };
  // Bits 0 and 1: FLAG_DONE and FLAG_SEED; bits 2 and up: the stamp of the
  // scan that saw the region (see region_store::stamp).  mark_absorbed once
  // the region is absorbed, which no stamp reaches.
  uint32_t mark;
};

// Marks of region_hot::mark.
enum : uint32_t { FLAG_DONE = 1, FLAG_SEED = 2, flag_bits = 2, mark_absorbed = 0xFFFFFFFFu };

// The adjacency lists lie in one array of 4-byte cells.  Ordering gives
// each region one run of cells, its neighbours in list order, closed by an
// end cell; a list is then walked from one cell to the next in memory.  A
// cell holds one of:
// - an entry: the region it refers to (1 .. 2^30; possibly absorbed since,
//   see resolve_cell);
// - a dropped entry (0), passed over;
// - a jump into the run of region n (cell_jump + n - 1): the cell was the
//   entry of n when n was absorbed, and n's list now stands in its place;
// - the end of n's run (cell_end + n - 1): the list goes on at
//   region_lists::resume of n, which is where the jump into it was taken
//   (0 while n is live: the end of its list).
// So absorbing splices a whole list in by rewriting one cell, and no cell
// is made or moved after ordering.  Regions never outnumber the image's
// 2^30 pixels, so the three kinds never overlap.
enum : uint32_t { cell_dropped = 0, cell_jump = 0x80000000u, cell_end = 0xC0000000u };

// Where region r's cells are: the first of its run (0: it has none) and,
// once r is absorbed, where its list goes on after its run.  Side by side,
// as a walk reads the one after absorbing writes the other.
struct region_lists {
  cell_id first;
  cell_id resume;
};

struct region_store {
  region_id count; // regions 1 .. count
  region_hot *hot;
  region_lists *lists;
  int32_t *size;   // pixels of the region's member blocks
  int32_t *origin; // the first pixel of the region's own block (its first member)
  // The member chains: from the region through next_member to last_member.
  // Only painting walks them, so they exist only while the run paints.
  region_id *next_member;
  region_id *last_member;
  // The cells, 1 .. cell_count - 1 (see cell_jump).
  uint32_t *cells;
  cell_id cell_count;
  // A region was seen in the scan under way when its stamp is this one;
  // each scan takes a new stamp, so the marks of the last need no clearing.
  uint32_t stamp;
  // The first region of each level (the list holds the levels largest
  // first): region r has level L when level_first[L] <= r < level_first[L - 1].
  region_id level_first[max_levels + 2];
};

// The entry at cell c or the first one after it in its list, following
// jumps and the ends of runs; 0 when the list ends first.
inline cell_id entry_from(const region_store &s, cell_id c) {
  while (c != 0) {
    const uint32_t v = s.cells[c];
    if (v < cell_jump) {
      if (v != cell_dropped) {
        return c;
      }
      ++c;
    } else if (v < cell_end) {
      c = s.lists[v - cell_jump + 1].first;
    } else {
      c = s.lists[v - cell_end + 1].resume;
    }
  }
  return 0;
}
// The first entry of region r's list, and the entry after entry c; 0 at
// the end of the list.
inline cell_id first_entry(const region_store &s, region_id r) {
  return entry_from(s, s.lists[r].first);
}
inline cell_id next_entry(const region_store &s, cell_id c) { return entry_from(s, c + 1); }

// Asks for the cache line of p ahead of its use (where the compiler can).
inline void prefetch(const void *p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

inline bool is_absorbed(const region_store &s, region_id r) {
  return s.hot[r].mark == mark_absorbed;
}
// Where r went: the region that absorbed it, or r itself while it is live.
inline region_id forward_of(const region_store &s, region_id r) {
  return is_absorbed(s, r) ? s.hot[r].forward : r;
}
// Marks n as absorbed by r.
inline void set_forward(region_store &s, region_id n, region_id r) {
  s.hot[n].forward = r;
  s.hot[n].mark = mark_absorbed;
}

// The live region of r, following forward_of and pointing every region
// passed on the way at it, so that the next lookup through any of them
// takes one step.
inline region_id live_region(region_store &s, region_id r) {
  region_id live = r;
  while (is_absorbed(s, live)) {
    live = s.hot[live].forward;
  }
  while (r != live) {
    const region_id next = s.hot[r].forward;
    s.hot[r].forward = live;
    r = next;
  }
  return live;
}
// The same without shortening, for parts that look up at the same time.
inline region_id find_live_region(const region_store &s, region_id r) {
  while (is_absorbed(s, r)) {
    r = s.hot[r].forward;
  }
  return r;
}
// The live region the entry at cell c refers to; the entry is pointed at
// it directly.
inline region_id resolve_cell(region_store &s, cell_id c) {
  uint32_t &region = s.cells[c];
  if (is_absorbed(s, region)) {
    region = live_region(s, region);
  }
  return region;
}

inline bool was_seen(const region_store &s, region_id r) {
  return (s.hot[r].mark >> flag_bits) == s.stamp;
}
inline void mark_seen(region_store &s, region_id r) {
  s.hot[r].mark = (s.hot[r].mark & ((1u << flag_bits) - 1)) | (s.stamp << flag_bits);
}
// Ends the scan under way: every SEEN mark it made no longer counts.
void end_scan(region_store &s);

// The level of region r.
inline int32_t region_level(const region_store &s, region_id r) {
  int32_t level = 0;
  while (r < s.level_first[level]) {
    ++level;
  }
  return level;
}

// The code of the block of the given level at pixel x, row y and plane z.
//   code = 0; for i = level .. levels-1: digit i = 1 + bit i of x + 2 bit i of y
//     (+ 4 bit i - flat_levels of z, from flat_levels on)
inline block_code code_at(const block_grid &g, int32_t x, int32_t y, int32_t z, int32_t level) {
  block_code code = 0;
  for (int32_t i = level; i < g.levels; ++i) {
    block_code digit = 1 + ((x >> i) & 1) + 2 * ((y >> i) & 1);
    if (i >= g.flat_levels) {
      digit += 4 * ((z >> (i - g.flat_levels)) & 1);
    }
    code |= digit << (4 * i);
  }
  return code;
}

// Paint events between two snapshots.
enum : int32_t { snapshot_interval = 1000 };

// One snapshot label image: its slice of image_voxels labels in the arena.
struct snapshot {
  int32_t *labels;
  snapshot *next;
};

// A paint of the block stages while the snapshots are not yet reserved: the
// block code of the given level (-1: none) painted with value, then events
// paint events counted.
struct logged_paint {
  block_code code;
  int32_t value;
  int32_t level;
  int32_t events;
};

// The paints and events of a run noted until reserve_snapshots replays
// them into the slices.
struct paint_log {
  logged_paint *entries; // from seg_resize
  size_t count;
  size_t capacity;
  int64_t events; // paint events noted
  bool active;    // paints are noted, not painted
};

// ---------------------------------------------------------------------------
// Segmentation context
//
// A run's context is four parts, each a record of its own that a function
// can take alone: the run's configuration, which the driver sets up before
// the first stage and every stage only reads (run_config); the records the
// stages make and hand on (run_stores); the snapshot stack being painted
// (snapshot_state); and how far the run is and whether it must end
// (run_progress).

// The tree's shape and the image's sides are the block_grid the geometry
// reads.  Every buffer and table of a run is sized by the image (or by its
// present blocks), never by the tree's cube, which may hold far more than
// 2^31 pixels: only image-sized quantities are int32.
struct run_config : block_grid {
  const int32_t *image; // input grey values, not owned
  int32_t image_voxels; // d1 x d2 x d3
  // The image's grid of start cells: cells_x x cells_y x cells_z present
  // start blocks, the slots of the block table.
  int32_t cells_x;
  int32_t cells_y;
  int32_t cells_z;

  int32_t parallel_grouping;
  int32_t parallel_seeds;
  int32_t seed_any_level;
  int32_t criterion;
  int32_t threshold;
  int32_t min_region_size;
  int32_t keep_small_stats;
  int32_t outlier_percent; // trunc(outlier_fraction x 100)
  int32_t half_threshold;  // threshold >> 1, criterion 3
  int32_t confidence_row;  // criterion 4: row of chi2_table, 1..3
  double noise_variance;   // criteria 4, 5: noise_sigma x noise_sigma
  double size_factor;      // criterion 5
  // The criterion's operations and the stages' loops compiled for it
  // (criterion.h), chosen once for the run.
  const criterion_rules *rules;

  // The per-level tables and the criterion's, made at set-up.
  int32_t *child_count;  // levels entries: 4 below flat_levels, else 8
  int64_t *block_voxels; // levels + 1 entries: pixels per block of a level
  float *variance_limit; // levels + 1 entries, criteria 4 and 5
  // Criterion 3: median_entries (the pixels of the largest present start
  // block, and one) for each thread, one after another (see
  // median_buffer_of): each thread's own working space.
  int32_t *median_buffer;
  int32_t median_entries;

  // Threads a stage's parts may run on, the caller's included (1: the
  // calling thread alone), and the voxels of work each must have at least.
  int32_t threads;
  int32_t voxels_per_thread;

  // False when the caller did not ask for the snapshots: then there is no
  // snapshot at all (snapshot_cur stays NULL) and nothing is painted.
  bool keep_snapshots;
  size_t snapshot_budget; // bytes the slices may take, 0 for no bound

  // The width of elimination's place tags (0: the full 63 bits; a test
  // narrows them).
  int32_t elimination_tag_bits;
};

// The records of a run: made by one stage and handed to the next, released
// by the driver at the end (release_records).
struct run_stores {
  // The block records: blocks 1 .. block_count - 1 are in use.
  block_record *blocks;
  block_id block_count;
  block_id block_capacity;
  region_store regions;
  // The label of every live region, its place in the list sorted largest
  // first (sorting's result); NULL until then, and for a run that ends with
  // one region.
  int32_t *label_of;
  int32_t region_count; // index of the last live region, set by cleaning

  // image_voxels int32 entries that a stage may use as working space until
  // make_output fills them (the labels output), or NULL: splitting keeps
  // its lists of blocks there, then ordering the leaf map.  The driver
  // zeroes them again when a run fails.
  int32_t *scratch;

  // What small-region elimination did.
  elimination_work elimination;
};

// The snapshot stack (see count_paint_event) and what is being painted.
struct snapshot_state {
  snapshot *snapshot_head; // first snapshot
  snapshot *snapshot_cur;  // the snapshot being painted
  int32_t snapshot_count;
  snapshot_arena snapshot_slices; // the labels of every snapshot
  paint_log deferred_paints;      // the block stages' paints, until the arena is made
  int32_t paint_events;
  bool budget_reached; // a snapshot was not opened for the budget
  int32_t paint_label; // label being painted while grouping
};

// How far the run is, for the caller's check, and why it must end.
struct run_progress {
  // Where the progress lines go: NULL for standard output (see seg_params).
  void (*progress)(const char *line);

  // The caller's check (see seg_params), the stage under way, and why the
  // run must end: SEG_OK while it goes on, else SEG_FAIL (failure says
  // what ran short) or SEG_STOPPED.  ticks counts the work between checks
  // (tick).  How far the run is: stage_done of the stage, as last said,
  // the part of it that the work counted now stands for (from phase_start,
  // phase_span wide; the whole stage unless enter_phase says otherwise),
  // and run_done of the whole run, as last told to the check, each stage
  // standing for stage_weights of it (weigh_stages).
  bool (*check)(void *data, int32_t stage, double done);
  void *check_data;
  int32_t stage;
  double stage_done;
  double phase_start;
  double phase_span;
  double run_done;
  int32_t stage_weights[stage_count];
  int32_t ending;
  seg_failure failure;
  uint32_t ticks;

  // For how far the run is: the regions of the list ordering made, those
  // of them that no other region has absorbed (absorb_region counts them
  // down), and the regions sequential grouping has grown.
  size_t region_total;
  size_t live_regions;
  size_t regions_grown;
};

struct seg_context : run_config, run_stores, snapshot_state, run_progress {};

// Room for at least count blocks in all, made at once; false when it
// cannot be had.  count blocks at once from that room: the first of them
// (their contents are the caller's to set).
bool reserve_blocks(seg_context &ctx, size_t count);
inline block_id take_reserved_blocks(seg_context &ctx, size_t count) {
  if (ctx.block_count == 0) {
    ctx.block_count = 1; // entry 0 stands for none
  }
  const block_id first = ctx.block_count;
  ctx.block_count += static_cast<block_id>(count);
  return first;
}
// Releases the block records.
void release_blocks(seg_context &ctx);
// The region store's arrays for count regions (member chains when the run
// paints); SEG_FAIL (noted) when they cannot be had.  The cells are made
// by reserve_cells.
int32_t make_region_store(seg_context &ctx, region_id count);
int32_t reserve_cells(seg_context &ctx, size_t count);
// Gives every live region's list a run of its own, one after another in a
// new cell array that holds the lists' entries alone, and releases the old
// one; SEG_FAIL (noted) when the new one cannot be had or the run must
// end, the lists then left as they were.
int32_t repack_cells(seg_context &ctx);
// Releases the block records, the region store and the sort table (the
// end of every run, whatever its path).
void release_records(seg_context &ctx);

// ---------------------------------------------------------------------------
// Ending a run early (driver.cpp)

// Notes that memory could not be had for what (the bytes of the allocation
// just refused), unless the run is already ending; returns SEG_FAIL.
int32_t note_shortage(run_progress &ctx, const char *what);
// Asks the caller's check, with the stage's work done so far (done of
// total, of the stage's present phase; total 0: as last said) turned into
// how far the whole run is; true when the run must end.  Only on the
// calling thread.
bool poll_check(run_progress &ctx, size_t done, size_t total);
// Items of work (records, cells, pixel runs) between two checks.
enum : uint32_t { check_interval = 1024 };
// Called once per item of a stage's work: true when the run must end,
// looking at the check once every check_interval items.  Costs a few
// instructions when the caller gave no check.
inline bool tick(run_progress &ctx, size_t done = 0, size_t total = 0) {
  if (ctx.ending != SEG_OK) {
    return true;
  }
  if ((++ctx.ticks & (check_interval - 1)) != 0 || ctx.check == NULL) {
    return false;
  }
  return poll_check(ctx, done, total);
}
// Starts a stage: its check at the stage's beginning.  True when the run
// must end.
bool enter_stage(run_progress &ctx, int32_t stage);
// The work the stage counts from now on (done of total, in poll_check and
// tick) is its part from start to start + span (fractions of the stage).
inline void enter_phase(run_progress &ctx, double start, double span) {
  ctx.phase_start = start;
  ctx.phase_span = span;
}
// The share of the run's time each stage stands for, in how far the run is
// (stage_weights), by the stages this configuration runs.
void weigh_stages(run_progress &progress, const run_config &config);

// ---------------------------------------------------------------------------
// Parts of a stage on several threads (driver.cpp)

// How a stage's items are cut into parts, and the threads that do them.
struct part_plan {
  int32_t parts;
  int32_t threads;
};
// Parts for count items whose work reads or writes voxels voxels in all:
// one thread per voxels_per_thread of them at most (starting a thread
// costs about as much as that work saves), never more than ctx.threads; a
// few parts per thread (so that a thread held up by the machine leaves its
// last parts to the others), never more than the items.
part_plan plan_parts(const run_config &ctx, size_t count, size_t voxels);
// Calls job(part, worker) for every part 0 .. plan.parts-1, each once, on
// plan.threads threads started for them; returns when all are done and the
// threads are gone.  worker (0 .. threads-1) names the thread's own working
// space.  Which thread does which part varies: a part writes only what is
// its own.
void run_parts(const part_plan &plan, void (*call)(void *, int32_t, int32_t), void *job);
template <typename Job> void for_each_part(const part_plan &plan, Job &&job) {
  using Plain = typename std::remove_reference<Job>::type;
  run_parts(
      plan, [](void *j, int32_t part, int32_t worker) { (*static_cast<Plain *>(j))(part, worker); },
      static_cast<void *>(&job));
}
// The end of a run seen by the parts of a stage: the calling thread
// (worker 0) asks the run's check after every check_voxels voxels of its
// work, and every part stops at its next item once the run must end.  The
// stage then returns as failed.  Call poll before each item with the
// voxels that item reads or writes.  Given the plan and the voxels of the
// whole work, the check hears how far it is: worker 0's voxels times the
// threads, since each thread does about as much.
struct part_stop {
  static constexpr size_t check_voxels = size_t{1} << 16;
  std::atomic<bool> ending{false};
  size_t since = 0;              // worker 0's voxels since its last check
  size_t seen = 0;               // worker 0's voxels before those, times the threads
  size_t threads = 1, total = 0; // total 0: how far is not said
  part_stop() = default;
  part_stop(const part_plan &plan, size_t voxels)
      : threads(static_cast<size_t>(plan.threads)), total(voxels) {}
  bool poll(run_progress &ctx, int32_t worker, size_t voxels) {
    if (worker == 0 && (since += voxels) >= check_voxels) {
      seen += since * threads;
      since = 0;
      if ((ctx.ending != SEG_OK || ctx.check != NULL) && poll_check(ctx, seen, total)) {
        ending.store(true, std::memory_order_relaxed);
      }
    }
    return ending.load(std::memory_order_relaxed);
  }
  bool ended() const { return ending.load(std::memory_order_relaxed); }
};
// Parts per thread, and the most parts plan_parts gives (1024 threads at
// most).
enum : int32_t { parts_per_thread = 4, max_parts = parts_per_thread * 1024 };
// The first item of part p of parts over count items (p = parts: count).
inline size_t part_start(size_t count, int32_t p, int32_t parts) {
  return count * static_cast<size_t>(p) / static_cast<size_t>(parts);
}

// ---------------------------------------------------------------------------
// Block codes and geometry (block_geometry.h; next_code in geometry.cpp)

block_code next_code(const block_grid &g, block_code code, int32_t level);
// The next present block of that level in depth-first order after the
// block code, or 0 after the last: absent blocks are passed over a whole
// absent subtree at a time.
block_code next_present_code_past(const block_grid &g, block_code code, int32_t level);
inline block_code next_present_code(const block_grid &g, block_code code, int32_t level) {
  return g.whole ? next_code(g, code, level) : next_present_code_past(g, code, level);
}

// Calls visit(code, x, y, z) for every present block of the given level in
// code order, with the pixel x, row y and plane z where it starts: a walk
// down the tree that enters present blocks only.
template <typename Visit>
void for_each_present_block(const block_grid &g, int32_t level, Visit visit) {
  if (level >= g.levels) {
    visit(block_code{0}, 0, 0, 0);
    return;
  }
  struct entered {
    block_code code;
    int32_t x, y, z;
    uint32_t children; // present children not yet visited
  };
  entered path[max_levels];
  path[0] = entered{0, 0, 0, 0, present_children(g, 0, 0, 0, g.levels - 1)};
  int32_t depth = 0; // path[depth] is a block of level levels - depth
  while (depth >= 0) {
    entered &parent = path[depth];
    const int32_t child_level = g.levels - depth - 1;
    const int32_t side = int32_t{1} << child_level;
    const int32_t planes = level_planes(g, child_level);
    if (child_level == level) {
      // Every present child is visited now.
      for (uint32_t left = parent.children; left != 0; left &= left - 1) {
        const int32_t k = lowest_child(left); // child k + 1
        visit(set_digit(static_cast<block_code>(k + 1), child_level, parent.code),
              parent.x + ((k & 1) != 0 ? side : 0), parent.y + ((k & 2) != 0 ? side : 0),
              parent.z + ((k & 4) != 0 ? planes : 0));
      }
      --depth;
      continue;
    }
    if (parent.children == 0) {
      --depth;
      continue;
    }
    const int32_t k = lowest_child(parent.children);
    parent.children &= parent.children - 1;
    entered &child = path[++depth];
    child.code = set_digit(static_cast<block_code>(k + 1), child_level, parent.code);
    child.x = parent.x + ((k & 1) != 0 ? side : 0);
    child.y = parent.y + ((k & 2) != 0 ? side : 0);
    child.z = parent.z + ((k & 4) != 0 ? planes : 0);
    child.children = present_children(g, child.x, child.y, child.z, child_level - 1);
  }
}

// The slot in the block table of the start cell where the block code of
// level start_level or above begins: its place in the image's grid of start
// cells.
inline int32_t start_slot(const run_config &ctx, block_code code, int32_t level) {
  const block_origin_t s = block_steps(ctx, code, level, ctx.levels);
  const int32_t side = ctx.start_level;
  const int32_t thick = ctx.start_level <= ctx.flat_levels ? 0 : ctx.start_level - ctx.flat_levels;
  return (s.x >> side) + ctx.cells_x * ((s.y >> side) + ctx.cells_y * (s.z >> thick));
}

// n(B), the pixels of the present part of the block code at level.
inline int32_t present_voxels(const run_config &ctx, block_code code, int32_t level) {
  if (ctx.whole) {
    return static_cast<int32_t>(ctx.block_voxels[level]);
  }
  return present_box(ctx, code, level).voxels;
}

// Whether the run paints at all.  The painting and the labels it holds show
// only in the snapshots, so a run whose caller did not ask for them paints
// nothing; every painting step, and every read of a painted label (which
// only chooses what to paint next), is skipped then.
inline bool painting(const snapshot_state &ctx) { return ctx.snapshot_cur != NULL; }

// Calls visit(v) for every value v of a block's present part in an
// image-sized buffer: plane by plane, row by row, along x within a row.
template <typename Visit>
inline void for_each_pixel(const run_config &ctx, const int32_t *buffer, block_box box,
                           Visit visit) {
  for (int32_t plane = 0; plane < box.depth; plane += ctx.plane_stride) {
    for (int32_t row = 0; row < box.height; row += ctx.dim_x) {
      const int32_t *run = buffer + box.start + plane + row;
      for (int32_t i = 0; i < box.width; ++i) {
        visit(run[i]);
      }
    }
  }
}

// n(B) of the block code at its own level (also for pacing the checks of
// the parts of a stage).
inline int32_t leaf_voxels(const run_config &ctx, block_code code) {
  return present_voxels(ctx, code, code_level(ctx, code));
}

// Writes value into every pixel of a block's present part in an
// image-sized buffer: the box, or the block of a code at its own level.
inline void fill_pixels(const run_config &ctx, int32_t *buffer, block_box box, int32_t value) {
  // Local copies: the stores through buffer could otherwise alias them.
  const int32_t plane_stride = ctx.plane_stride;
  const int32_t dim_x = ctx.dim_x;
  for (int32_t plane = 0; plane < box.depth; plane += plane_stride) {
    for (int32_t row = 0; row < box.height; row += dim_x) {
      int32_t *run = buffer + box.start + plane + row;
      for (int32_t i = 0; i < box.width; ++i) {
        run[i] = value;
      }
    }
  }
}
inline void fill_leaf(const run_config &ctx, int32_t *buffer, block_code code, int32_t value) {
  fill_pixels(ctx, buffer, present_box(ctx, code, code_level(ctx, code)), value);
}

// The present part of region r's own block: from its first pixel, at its
// level.
inline block_box region_box(const seg_context &ctx, region_id r) {
  const int32_t start = ctx.regions.origin[r];
  const int32_t level = region_level(ctx.regions, r);
  const int32_t z = start / ctx.plane_stride;
  const int32_t in_plane = start - z * ctx.plane_stride;
  const int32_t y = in_plane / ctx.dim_x;
  return box_at(ctx, in_plane - y * ctx.dim_x, y, z, level);
}
// Writes value into every pixel of region r's own block (most regions are
// single pixels).
inline void fill_region(const seg_context &ctx, int32_t *buffer, region_id r, int32_t value) {
  if (r >= ctx.regions.level_first[0]) {
    buffer[ctx.regions.origin[r]] = value;
    return;
  }
  fill_pixels(ctx, buffer, region_box(ctx, r), value);
}

// Painting into snapshot_cur (snapshots.cpp): the present part of the
// block code of the given level.  While the paints are deferred
// (defer_snapshots) both only note what they would do.
void paint_block(seg_context &ctx, block_code code, int32_t level, int32_t value);
// One call after each painted block or region; opens a new snapshot on every
// 1001st event when keep_snapshots is set: its cell and a copy of the
// current slice into the next one, which becomes current (the arena grown
// first if the reservation did not hold it).  A snapshot that would pass
// snapshot_budget is not opened (budget_reached is then set) and painting
// goes on into the current one, so that the last slice always shows the
// final state.  One that cannot be had is a shortage: the run must end.
void count_paint_event(seg_context &ctx);

// The image, geometry and parameter fields of a context for a run over the
// d1 x d2 x d3 image (the tables and the store are the stages').
void set_up_context(seg_context &ctx, const int32_t *image, int32_t d1, int32_t d2, int32_t d3,
                    const seg_params &params);
// The per-level tables child_count and block_voxels of the context's tree;
// SEG_FAIL when memory runs out (release_tables releases what was made).
int32_t build_level_tables(seg_context &ctx);
// Releases the per-level tables and the criterion's (variance limits, median
// buffer), leaving them null.
void release_tables(seg_context &ctx);

#endif
