// Split-and-merge segmentation: records, block geometry, the segmentation
// context and every stage of one run.
//
// One call of the module runs the driver split_merge(), which sets up a
// seg_context in its own frame and passes it by reference to every stage;
// nothing of it outlives the call.  The stages, in pipeline order:
//
//   build_initial_blocks, paint_checkerboard, merge_blocks, split_blocks
//                                                     (blocks.cpp)
//   order_region_list                                 (region_list.cpp)
//   group_parallel / group_sequential                 (grouping.cpp)
//   eliminate_small_regions                           (elimination.cpp)
//   clean_region_list, sort_region_list               (cleaning.cpp)
//   make_output                                       (output.cpp)
//
// Geometry.  The block tree covers the image, which need not fill it: the
// tree's pixels outside the image are absent, and a block whose first pixel
// is absent has no record and is never judged, painted, counted, listed or
// labelled.  A present block is judged and painted on its present part
// (present_box, block_geometry.h), and n(B), its pixels there, is what every
// count of pixels adds up.  An image that fills the tree gives exactly the
// results of the tree alone.
//
// Failure code.  A stage that returns a status returns 0 or SEG_FAIL (-1);
// one that returns a record returns node_failed; build_initial_blocks
// returns the sentinel seg_fail_ptr<T>() (the pointer whose value is -1;
// test it with seg_failed()).  A stage fails only when memory runs short
// (it notes what, note_shortage) or when the run must end (tick,
// poll_check): the caller's check asked to stop, or a failure was noted
// where no status can be returned (a snapshot that cannot be had).  Nothing falls back to a
// slower way when memory runs short: what a stage needs is had before its
// work starts, or the run fails.
//
// Ownership.  The driver owns the record store and every table of a run and
// releases them once, at the end, whatever path the run took; a stage that
// fails just says so.
//
// Threads.  The stages that are pure functions of the image and the blocks
// (the statistics of the start blocks and of each level of splitting, the
// leaf map, the labels output) share their parts out among threads started
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
// allocation fail.  The snapshot arena alone comes from an allocator of the
// caller (snapshot_allocator) or the C library's; its growth is still one
// allocation for the hook.
//
// Several runs may go on at once, each on its own thread: a run keeps
// everything in its context and on its heap, and the only state the module
// shares between runs is the test hooks' counters, kept under a lock.
#ifndef KALMEX_REGIONSEG_REGIONSEG_H
#define KALMEX_REGIONSEG_REGIONSEG_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <type_traits>

#include "block_geometry.h"
#include "elimination_index.h"

// ---------------------------------------------------------------------------
// Failure code

// SEG_STOPPED: the run ended because the caller's check asked it to.
enum : int32_t { SEG_OK = 0, SEG_FAIL = -1, SEG_STOPPED = -2 };

template <typename T> inline T *seg_fail_ptr() {
  return reinterpret_cast<T *>(static_cast<intptr_t>(-1));
}
template <typename T> inline bool seg_failed(T *p) { return p == seg_fail_ptr<T>(); }

// ---------------------------------------------------------------------------
// Allocation (alloc.cpp)

// The blocks of one run: what a run still holds when its host ends the call
// inside it (an allocation of the host that fails) can be released from
// here.  A heap belongs to one thread at a time.
struct seg_block;
struct seg_heap {
  seg_block *live = NULL;
};
// Makes the calling thread's allocations go on heap (NULL: on none) until
// the next call; returns the heap used before.
seg_heap *seg_use_heap(seg_heap *heap);
// Releases every block still on the heap.
void seg_release_heap(seg_heap &heap);
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

// Test hook: the n-th allocation from now (1-based) fails; 0 turns it off.
// Also resets the count of allocations made.
void seg_fail_allocation_at(long n);
// Allocations attempted since the last seg_fail_allocation_at().
long seg_allocation_count();
// Allocations not yet released (over the whole process).
long seg_live_allocations();

// The same hooks with C names, exported from the module file so that tests
// on the embedded host can reach the copy inside the loaded module.
extern "C" {
void regionseg_core_fail_allocation_at(long n);
long regionseg_core_allocation_count();
long regionseg_core_live_allocations();
// Records and adjacency cells made by the runs finished since the last
// fail_allocation_at (for the benchmarks' bytes per block and adjacency).
long regionseg_core_records_taken();
long regionseg_core_cells_taken();
}

// ---------------------------------------------------------------------------
// Records
//
// The records and adjacency cells of a run live in two arrays of the
// run's record store, addressed by 32-bit indices: a record or cell is
// its place in its array, and 0 means none (entry 0 of each array is never
// used).  The arrays grow geometrically as the stages make records and
// cells and are released whole when the run ends, whatever path it took;
// a record or cell that leaves every structure is simply no longer reached.

typedef uint32_t node_id; // a record, index into seg_context::nodes
typedef uint32_t link_id; // an adjacency cell, index into seg_context::links

// One block of the block tree, later one region of the region list.  The
// sums of criteria 4 and 5 (and the region sums) are carried in 64 bits.
struct region_node {
  block_code code;     // block code (region: code of its first block)
  int64_t stat_a;      // minimum or sum; -1 marks a block as not homogeneous
  int64_t stat_b;      // maximum, sum of squares or pixel count
  node_id last_member; // last block of the member chain; 0 once absorbed
  link_id nbr_head;    // first adjacency cell
  link_id nbr_tail;    // last adjacency cell
  node_id next_block;  // next block of the chain / next member block
  node_id next_region; // next region of the region list
  uint8_t flags;       // FLAG_* marks of grouping
};

// One adjacency cell.
struct node_link {
  node_id node;
  link_id next;
};

// One snapshot label image: its slice of image_voxels labels in the arena.
struct snapshot {
  int32_t *labels;
  snapshot *next;
};

// Where the snapshot arena's memory comes from.  resize(NULL, bytes) makes a
// block; resize(block, bytes) grows or shrinks it, keeping its first bytes,
// and may move it.  NULL when the memory cannot be had (block then stays as
// it was).  release(block) gives it back; NULL is allowed.  Both NULL: the
// C library's realloc and free (the arena outlives the run, so it is on no
// run's heap).
struct snapshot_allocator {
  void *(*resize)(void *block, size_t bytes);
  void (*release)(void *block);
};

// The slices of every snapshot, one after another in one block: slice k is
// the label image of the k-th snapshot of the list.
struct snapshot_arena {
  int32_t *slices;  // capacity x image_voxels labels; NULL when there are none
  int32_t capacity; // slices the block holds
  snapshot_allocator allocator;
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

// The snapshot stack handed from the driver to its caller.  The caller sets
// arena.allocator (zero-filled: the C library's); the driver hands back the
// arena, whose first count slices are the snapshots in list order (fewer
// unused ones follow than are used, unless trimming failed; see
// trim_snapshots).
struct snapshot_list {
  int32_t count;
  snapshot_arena arena;
  bool budget_reached; // some snapshot was not opened for the byte budget
};

// The homogeneity criteria (the parameter criterion).
enum : int32_t {
  CRITERION_RANGE = 1,
  CRITERION_RANGE_MEAN = 2,
  CRITERION_ROBUST_RANGE = 3,
  CRITERION_CHI2_VARIANCE = 4,
  CRITERION_SCALED_VARIANCE = 5
};

// Regions of these criteria hold a minimum and a maximum, the others a sum
// and a pixel count.
inline bool range_statistics(int32_t criterion) {
  return criterion == CRITERION_RANGE || criterion == CRITERION_ROBUST_RANGE;
}
// Blocks of these criteria hold a sum and a sum of squares, the others a
// minimum and a maximum.
inline bool variance_statistics(int32_t criterion) {
  return criterion == CRITERION_CHI2_VARIANCE || criterion == CRITERION_SCALED_VARIANCE;
}

// Marks in region_node::flags.  FLAG_MERGED marks the record of a block
// that merging took into its first sibling: it is in no structure any more.
enum : uint8_t { FLAG_SEEN = 1, FLAG_DONE = 2, FLAG_SEED = 4, FLAG_MERGED = 8 };

// The block table: one slot per present start cell (see start_slot), from
// seg_calloc.  A slot holds the record of the block that begins at that
// cell while the block is a start block or a merged block that begins
// there; merging reads only the slots of blocks that begin a group.
typedef node_id *block_table;

// Paint events between two snapshots.
enum : int32_t { snapshot_interval = 1000 };

// The stages of a run, as the caller's check (seg_params::check) and the
// failure message name them.
enum : int32_t {
  STAGE_SETUP,
  STAGE_INITIALISATION,
  STAGE_MERGING,
  STAGE_SPLITTING,
  STAGE_ORDERING,
  STAGE_GROUPING,
  STAGE_ELIMINATION,
  STAGE_CLEANING,
  STAGE_SORTING,
  STAGE_OUTPUT,
  stage_count
};
// "set-up", "initialisation", ..., "small region elimination", ...
const char *stage_name(int32_t stage);

// Why a run ended early.  what is the structure that memory could not be
// had for ("the block records") and bytes the size asked for; what is NULL
// for a run that its caller's check stopped.
struct seg_failure {
  int32_t stage;
  const char *what;
  size_t bytes;
};
// The message of a run that ended with status SEG_FAIL or SEG_STOPPED, for
// the caller's error.
void format_failure(int32_t status, const seg_failure &failure, char *buf, size_t size);

// ---------------------------------------------------------------------------
// Segmentation context

// The tree's shape and the image's sides are the block_grid the geometry
// reads.  Every buffer and table of a run is sized by the image (or by its
// present blocks), never by the tree's cube, which may hold far more than
// 2^31 pixels: only image-sized quantities are int32.
struct seg_context : block_grid {
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

  int32_t *child_count;  // levels entries: 4 below flat_levels, else 8
  int64_t *block_voxels; // levels + 1 entries: pixels per block of a level
  float *variance_limit; // levels + 1 entries, criteria 4 and 5
  // Criterion 3: median_entries (the pixels of the largest present start
  // block, and one) for each thread, one after another (see
  // median_buffer_of).
  int32_t *median_buffer;
  int32_t median_entries;

  // Threads a stage's parts may run on, the caller's included (1: the
  // calling thread alone), and the voxels of work each must have at least.
  int32_t threads;
  int32_t voxels_per_thread;

  snapshot *snapshot_head; // first snapshot
  snapshot *snapshot_cur;  // the snapshot being painted
  int32_t snapshot_count;
  snapshot_arena snapshot_slices; // the labels of every snapshot
  paint_log deferred_paints;      // the block stages' paints, until the arena is made
  int32_t paint_events;
  size_t snapshot_budget; // bytes the slices may take, 0 for no bound
  bool budget_reached;    // a snapshot was not opened for the budget
  // False when the caller did not ask for the snapshots: then there is no
  // snapshot at all (snapshot_cur stays NULL) and nothing is painted.
  bool keep_snapshots;

  // image_voxels int32 entries that a stage may use as working space until
  // make_output fills them (the labels output), or NULL: splitting keeps
  // its lists of blocks there, then ordering the leaf map.  The driver
  // zeroes them again when a run fails.
  int32_t *scratch;

  int32_t paint_label;  // label being painted while grouping
  int32_t region_count; // index of the last region, set by cleaning
  size_t region_total;  // regions of the list ordering made (for the check)

  // Where the progress lines go: NULL for standard output (see seg_params).
  void (*progress)(const char *line);

  // The caller's check (see seg_params), the stage under way, and why the
  // run must end: SEG_OK while it goes on, else SEG_FAIL (failure says
  // what ran short) or SEG_STOPPED.  ticks counts the work between checks
  // (tick).
  bool (*check)(void *data, int32_t stage, double done);
  void *check_data;
  int32_t stage;
  double stage_done; // the stage's work done, as last said to the check
  int32_t ending;
  seg_failure failure;
  uint32_t ticks;

  // Small-region elimination: what it did, and the width of its place
  // tags (0: the full 63 bits; a test narrows them).
  elimination_work elimination;
  int32_t elimination_tag_bits;

  // The record store: records 1 .. node_count - 1 and cells 1 ..
  // link_count - 1 are in use.  Owned by the driver.
  region_node *nodes;
  node_id node_count;
  node_id node_capacity;
  node_link *links;
  link_id link_count;
  link_id link_capacity;
};

// A new zero-filled record or cell (all links empty, flags 0), or 0 when
// the store cannot grow.  Either may move its array: a reference into it
// taken before does not survive the call.
node_id grow_region_nodes(seg_context &ctx);
link_id grow_node_links(seg_context &ctx);
inline node_id new_region_node(seg_context &ctx) {
  if (ctx.node_count == 0 || ctx.node_count == ctx.node_capacity) {
    return grow_region_nodes(ctx);
  }
  ctx.nodes[ctx.node_count] = region_node{};
  return ctx.node_count++;
}
inline link_id new_node_link(seg_context &ctx) {
  if (ctx.link_count == 0 || ctx.link_count == ctx.link_capacity) {
    return grow_node_links(ctx);
  }
  ctx.links[ctx.link_count] = node_link{};
  return ctx.link_count++;
}
// count records at once from the room reserve_region_nodes made: the first
// of them.  Their contents are the caller's to set.
inline node_id take_reserved_nodes(seg_context &ctx, size_t count) {
  if (ctx.node_count == 0) {
    ctx.node_count = 1; // entry 0 stands for none
  }
  const node_id first = ctx.node_count;
  ctx.node_count += static_cast<node_id>(count);
  return first;
}
// Room for at least count records / cells in all, made at once; false
// when it cannot be had.
bool reserve_region_nodes(seg_context &ctx, size_t count);
bool reserve_node_links(seg_context &ctx, size_t count);
// Releases both arrays (the end of every run, whatever its path).
void release_records(seg_context &ctx);

// ---------------------------------------------------------------------------
// Ending a run early (driver.cpp)

// Notes that memory could not be had for what (the bytes of the allocation
// just refused), unless the run is already ending; returns SEG_FAIL.
int32_t note_shortage(seg_context &ctx, const char *what);
// Asks the caller's check, with the stage's work done so far (done of
// total; total 0: as last said); true when the run must end.  Only on the
// calling thread.
bool poll_check(seg_context &ctx, size_t done, size_t total);
// Items of work (records, cells, pixel runs) between two checks.
enum : uint32_t { check_interval = 1024 };
// Called once per item of a stage's work: true when the run must end,
// looking at the check once every check_interval items.  Costs a few
// instructions when the caller gave no check.
inline bool tick(seg_context &ctx, size_t done = 0, size_t total = 0) {
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
bool enter_stage(seg_context &ctx, int32_t stage);

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
part_plan plan_parts(const seg_context &ctx, size_t count, size_t voxels);
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
// voxels that item reads or writes.
struct part_stop {
  static constexpr size_t check_voxels = size_t{1} << 16;
  std::atomic<bool> ending{false};
  size_t since = 0; // worker 0's voxels since its last check
  bool poll(seg_context &ctx, int32_t worker, size_t voxels) {
    if (worker == 0 && (since += voxels) >= check_voxels) {
      since = 0;
      if ((ctx.ending != SEG_OK || ctx.check != NULL) && poll_check(ctx, 0, 0)) {
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
inline int32_t start_slot(const seg_context &ctx, block_code code, int32_t level) {
  const block_origin_t s = block_steps(ctx, code, level, ctx.levels);
  const int32_t side = ctx.start_level;
  const int32_t thick = ctx.start_level <= ctx.flat_levels ? 0 : ctx.start_level - ctx.flat_levels;
  return (s.x >> side) + ctx.cells_x * ((s.y >> side) + ctx.cells_y * (s.z >> thick));
}

// n(B), the pixels of the present part of the block code at level.
inline int32_t present_voxels(const seg_context &ctx, block_code code, int32_t level) {
  if (ctx.whole) {
    return static_cast<int32_t>(ctx.block_voxels[level]);
  }
  return present_box(ctx, code, level).voxels;
}

// Whether the run paints at all.  The painting and the labels it holds show
// only in the snapshots, so a run whose caller did not ask for them paints
// nothing; every painting step, and every read of a painted label (which
// only chooses what to paint next), is skipped then.
inline bool painting(const seg_context &ctx) { return ctx.snapshot_cur != NULL; }

// Calls visit(v) for every value v of a block's present part in an
// image-sized buffer: plane by plane, row by row, along x within a row.
template <typename Visit>
inline void for_each_pixel(const seg_context &ctx, const int32_t *buffer, block_box box,
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

// The voxels of the present part of the block of a record, for pacing the
// checks of the parts of a stage.
inline size_t leaf_voxels(const seg_context &ctx, node_id b) {
  const block_code code = ctx.nodes[b].code;
  return static_cast<size_t>(present_voxels(ctx, code, code_level(ctx, code)));
}

// Writes value into every pixel of a block's present part in an
// image-sized buffer: the box, or the block of a code at its own level.
inline void fill_pixels(const seg_context &ctx, int32_t *buffer, block_box box, int32_t value) {
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
inline void fill_leaf(const seg_context &ctx, int32_t *buffer, block_code code, int32_t value) {
  fill_pixels(ctx, buffer, present_box(ctx, code, code_level(ctx, code)), value);
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
// Creates the arena (room for a few slices with keep_snapshots, else for the
// one painting) from ctx.snapshot_slices.allocator and the first snapshot
// (head = cur, count 1, paint_events 1000); SEG_FAIL, with nothing left,
// when its cell or the arena cannot be had.
int32_t open_first_snapshot(seg_context &ctx);
// The driver's way in: no arena yet, and the paints of the block stages
// noted until reserve_snapshots.
void defer_snapshots(seg_context &ctx);
// The run will count at most events more paint events: the arena is made
// (the first time, with the deferred paints replayed into it) or grown, at
// once, to every slice they can open within the budget.  When that cannot
// be had, the arena is made as large as the slices opened so far and grown
// as they open; when even that cannot be had, the run must end.
void reserve_snapshots(seg_context &ctx, int64_t events);
// Shrinks the arena to snapshot_count slices when at least half of it is
// unused (see snapshots.cpp); when that fails the larger block is kept.
void trim_snapshots(seg_context &ctx);
// Releases the arena, through its allocator.
void release_snapshots(snapshot_list &list);
// Releases the cells, the paint log and the arena.
void release_snapshots(seg_context &ctx);

// ---------------------------------------------------------------------------
// Homogeneity criteria (criteria.cpp)

// Judges the present part of a block of the given level (its limits are
// the level's); worker: the thread's own median buffer (criterion 3).
void evaluate_block(const seg_context &ctx, const block_box &box, int32_t level, region_node &node,
                    int32_t worker = 0);
// The present children of a parent block and its present pixels.
struct sibling_group {
  int32_t children;
  int32_t voxels;
};
// Adds child (the position-th present sibling of group, 1-based) to the
// accumulators; true when the group may still merge.
bool merge_test(seg_context &ctx, const region_node &child, int64_t &acc_a, int64_t &acc_b,
                int32_t position, int32_t child_level, const sibling_group &group);
// variance_limit for criterion 4 or 5 (levels + 1 entries); SEG_FAIL when
// the table cannot be allocated.
int32_t build_variance_limits(seg_context &ctx);
int32_t block_median(const seg_context &ctx, const block_box &box, int32_t worker = 0);
// The median buffer of a worker.
inline int32_t *median_buffer_of(const seg_context &ctx, int32_t worker) {
  return ctx.median_buffer + static_cast<size_t>(worker) * static_cast<size_t>(ctx.median_entries);
}
// The k-th smallest (1-based; 0 behaves as 1) of values[first..last]; reorders the range.
int32_t select_kth(int32_t *values, int32_t first, int32_t last, int32_t k);

// The chi-square quantile over degrees of freedom, rows 1..3, k = 0..16.
extern const float chi2_table[3][17];

// ---------------------------------------------------------------------------
// Initial blocks, merging and splitting (blocks.cpp)

// The block table (slot 0 holds the chain's first record), or the failure
// sentinel.
block_table build_initial_blocks(seg_context &ctx);
void paint_checkerboard(seg_context &ctx);
// The checkerboard of the start blocks in an image-sized buffer (row by
// row, as far as it gets when the run must end).
void fill_checkerboard(seg_context &ctx, int32_t *labels);
void merge_blocks(seg_context &ctx, block_table table);
// Splits every start block that failed its criterion into homogeneous
// blocks, each in its place in the chain; SEG_OK or SEG_FAIL.
int32_t split_blocks(seg_context &ctx, block_table table);

// ---------------------------------------------------------------------------
// Region list ordering (region_list.cpp)

// A stage that returns a record returns this when it fails.
constexpr node_id node_failed = 0xFFFFFFFFu;

// The head of the region list, or node_failed.
node_id order_region_list(seg_context &ctx, block_table table);
void set_region_statistics(const seg_context &ctx, region_node &block);
// Appends a cell for n at the end of r's adjacency list; false when no cell
// can be had.
bool append_neighbour(seg_context &ctx, node_id r, node_id n);

// Directions of the neighbour search: the first, second and third dimension.
enum : int32_t { DIR_X = 0, DIR_Y = 1, DIR_Z = 2 };
// The code of the block of the given level whose upper face in direction lies
// on the lower face of the block code (of that level), or 0 when the block
// lies on the image border in that direction.
block_code low_neighbour_code(const seg_context &ctx, block_code code, int32_t level,
                              int32_t direction);

// ---------------------------------------------------------------------------
// Region grouping (grouping.cpp)

// First live region; cannot fail (when the run must end it stops early,
// leaving the list as far as it got).
node_id group_sequential(seg_context &ctx, node_id head);
// The result of the closing group_sequential, or node_failed when the seed
// table cannot be allocated.
node_id group_parallel(seg_context &ctx, node_id head);
// The paint events that grouping counts at most over a list of regions
// regions: each is painted once, at its turn or when it is absorbed, and
// parallel grouping first paints its further seeds.
int64_t grouping_paint_events(const seg_context &ctx, int64_t regions);
bool may_join(seg_context &ctx, node_id r, node_id n);
void join_statistics(seg_context &ctx, node_id r, node_id n);
// The live region the cell refers to, following forwarding links; the cell
// and the forwarding links passed on the way are pointed at it directly.
node_id resolve_link(seg_context &ctx, link_id cell);
// The live region that a block belongs to: the block's own record, or the
// region its record's forwarding link leads to (shortened on the way).
node_id region_of_block(seg_context &ctx, node_id block);
// Afterwards n's first cell is its forwarding link (to r), reached only
// through n's nbr_head.
void absorb_region(seg_context &ctx, node_id r, node_id n, link_id cell);
void paint_region(seg_context &ctx, int32_t value, node_id r);
// The label that snapshot_cur holds at the first pixel of r's own block (0
// when nothing is painted).
int32_t label_at_region(const seg_context &ctx, node_id r);

// ---------------------------------------------------------------------------
// Small region elimination (elimination.cpp)

// SEG_OK, or SEG_FAIL when its referrer index cannot be had (noted) or the
// run must end.
int32_t eliminate_small_regions(seg_context &ctx, node_id head);
int32_t region_size(const seg_context &ctx, node_id r);
int64_t region_distance(const seg_context &ctx, const region_node &p, const region_node &n);
void clear_statistics(const seg_context &ctx, region_node &p);

// ---------------------------------------------------------------------------
// Cleaning and sorting (cleaning.cpp)

// First live region; sets region_count; cannot fail (stops early when the
// run must end).
node_id clean_region_list(seg_context &ctx, node_id head);
// First region of the sorted list, or node_failed when the sort table
// cannot be allocated.
node_id sort_region_list(seg_context &ctx, node_id head);

// ---------------------------------------------------------------------------
// Label output (output.cpp)

void make_output(seg_context &ctx, node_id head, int32_t *labels);

// ---------------------------------------------------------------------------
// Driver (driver.cpp)

// Prints one progress line: to standard output, or to ctx.progress.
void report_progress(const seg_context &ctx, const char *line);

// Runs the stages in order, printing the progress lines.  The finished
// region list, or node_failed.  The records stay in the store either way.
node_id run_pipeline(seg_context &ctx);

// Voxels of a stage's work per thread unless a run says otherwise.
enum : int32_t { default_voxels_per_thread = 1 << 18 };

// The parameters of one run, as the gateway checked them.
struct seg_params {
  // The block tree: its levels, how many of them are flat (2-D), and the
  // level of the start blocks.
  int32_t levels = 1, flat_levels = 1, start_level = 0;
  // Grouping: sequential (0) or parallel, parallel_seeds seeds at a time,
  // of the first seed's level only (seed_any_level 0) or of any level.
  int32_t parallel_grouping = 0, parallel_seeds = 1, seed_any_level = 0;
  // The homogeneity criterion and its parameters.
  int32_t criterion = CRITERION_RANGE, threshold = 0;
  double outlier_fraction = 0, noise_sigma = 0;
  int32_t confidence_row = 1;
  double size_factor = 0;
  // Small-region elimination: regions below min_region_size voxels are
  // absorbed (0: none); keep_small_stats: an absorbed region's statistics
  // still count for the region that takes it.
  int32_t min_region_size = 0, keep_small_stats = 0;
  // Bytes the snapshot slices may take together; 0 for no bound.  A
  // snapshot that would pass it is not opened (see count_paint_event).
  size_t snapshot_budget = 0;
  // Threads the run may use, the caller's included (1: no others), and
  // the voxels of a stage's work per thread (see plan_parts).  The result
  // does not depend on them.
  int32_t threads = 1;
  int32_t voxels_per_thread = default_voxels_per_thread;
  // Takes each progress line instead of standard output when set (a caller
  // that shows them elsewhere, or not at all).
  void (*progress)(const char *line) = NULL;
  // Called with check_data on the calling thread (never from the threads of
  // a stage) at the start of every stage and every few thousand records,
  // cells or pixel runs within one, so that it comes at least every few
  // milliseconds: stage is the stage under way (STAGE_*), done how much of
  // it is done, 0 to 1 (an estimate).  Returning true stops the run, which
  // then releases everything and returns SEG_STOPPED.  NULL: no check.
  bool (*check)(void *data, int32_t stage, double done) = NULL;
  void *check_data = NULL;
  // The heap that lists the run's blocks while it runs, for a caller whose
  // host may end the call inside the run (seg_release_heap then releases
  // what it held); NULL: a heap of the run's own.  Empty again when the run
  // returns.
  seg_heap *heap = NULL;
};

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

// One segmentation of the d1 x d2 x d3 image.  labels_out (d1 x d2 x d3
// int32) receives the labels on success; the stages use it as working space
// before, and after a failure it is all zeros.  With snapshots_out the
// snapshot stack of a run that succeeded is handed over in its arena (the
// caller releases it with release_snapshots, or takes the arena); without
// it there is no snapshot and nothing is painted.  Returns SEG_OK, SEG_FAIL
// (memory ran short) or SEG_STOPPED (the check said stop); either failure
// leaves nothing allocated, no stack, and says why in *failure when given.
int32_t split_merge(const int32_t *image, int32_t d1, int32_t d2, int32_t d3,
                    const seg_params &params, int32_t *labels_out, snapshot_list *snapshots_out,
                    seg_failure *failure = NULL);

#endif
