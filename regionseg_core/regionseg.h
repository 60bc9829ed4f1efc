// Split-and-merge segmentation of 2-D and 3-D grey images: the interface
// that callers of the segmentation use (the gateway, the Python binding,
// kalseg, the tests and the benchmarks).  One call is one run of
// split_merge() over an image of d1 x d2 x d3 int32 grey values with the
// parameters of seg_params; it returns SEG_OK with the labels (and, when
// asked, the snapshot stack), or a failure that says why and leaves
// nothing allocated.
//
// The records, the context and the stages of a run are the module's own:
// seg_context.h and stages.h.
#ifndef KALMEX_REGIONSEG_REGIONSEG_H
#define KALMEX_REGIONSEG_REGIONSEG_H

#include <stddef.h>
#include <stdint.h>

#include "block_geometry.h" // max_levels, the most levels a tree may have

// ---------------------------------------------------------------------------
// Status of a run and of every stage that can fail

// SEG_FAIL: memory ran short; SEG_STOPPED: the caller's check asked the
// run to stop.
enum : int32_t { SEG_OK = 0, SEG_FAIL = -1, SEG_STOPPED = -2 };

// ---------------------------------------------------------------------------
// The heap of a run, and the allocation hooks of the tests (alloc.cpp)

// The blocks of one run: what a run still holds when its host ends the call
// inside it (an allocation of the host that fails) can be released from
// here.  A heap belongs to one thread at a time.  Its large blocks are
// carved out of a few large spans of its own, so that a page the run
// faulted in for one stage serves the stages after it.
struct seg_block;
struct seg_span;
struct seg_heap {
  seg_block *live = NULL;
  seg_span *spans = NULL;
};
// Makes the calling thread's allocations go on heap (NULL: on none) until
// the next call; returns the heap used before.
seg_heap *seg_use_heap(seg_heap *heap);
// Releases every block still on the heap, and gives its spans to the pool
// of the process (see seg_release_pool).
void seg_release_heap(seg_heap &heap);
// The spans of finished runs are kept for the next runs of the process, up
// to pool_limit_bytes() in all (a quarter of the machine's memory, at most
// 256 MiB), so that a loop over images of one size faults its pages in
// once.  seg_release_pool gives them all back to the C library; so does
// unloading the module, and so does any allocation that would fail
// otherwise.  seg_pool_bytes: the bytes the pool holds now.
void seg_release_pool();
size_t seg_pool_bytes();
size_t pool_limit_bytes();
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
// seg_release_pool, for the benchmarks (a call as a fresh process makes it).
void regionseg_core_release_pool();
}

// ---------------------------------------------------------------------------
// The snapshot stack

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

// Releases the arena, through its allocator.
void release_snapshots(snapshot_list &list);

// ---------------------------------------------------------------------------
// Parameters, failures and the run

// The homogeneity criteria (the parameter criterion).
enum : int32_t {
  CRITERION_RANGE = 1,
  CRITERION_RANGE_MEAN = 2,
  CRITERION_ROBUST_RANGE = 3,
  CRITERION_CHI2_VARIANCE = 4,
  CRITERION_SCALED_VARIANCE = 5
};

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
  // milliseconds: stage is the stage under way (STAGE_*; each stage the run
  // goes through, in order), done how much of the whole run is done, 0 to
  // 1: an estimate from the work each stage has counted and the share of a
  // run's time it takes, never less than at the call before, and exactly 1
  // at the last call of a run that succeeds (once the labels are written).
  // Returning true stops the run, which then releases everything and
  // returns SEG_STOPPED.  NULL: no check.
  bool (*check)(void *data, int32_t stage, double done) = NULL;
  void *check_data = NULL;
  // The heap that lists the run's blocks while it runs, for a caller whose
  // host may end the call inside the run (seg_release_heap then releases
  // what it held); NULL: a heap of the run's own.  Empty again when the run
  // returns.
  seg_heap *heap = NULL;
};

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
