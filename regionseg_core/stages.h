// The stages of one segmentation run, in pipeline order, with the operations
// their tests reach:
//
//   build_initial_blocks, paint_checkerboard, merge_blocks, split_blocks
//                                                     (blocks.cpp)
//   order_region_list                                 (region_list.cpp)
//   group_parallel / group_sequential                 (grouping.cpp)
//   eliminate_small_regions                           (elimination.cpp)
//   clean_region_list, sort_region_list               (cleaning.cpp)
//   make_output                                       (output.cpp)
//
// The loops of a stage that call the run's criterion are compiled for each
// criterion, in blocks_loops.h, region_list_loops.h, grouping_loops.h and
// elimination_loops.h (see criterion.h); the stage calls them through the
// run's rules.
//
// Each stage that can fail returns SEG_OK or SEG_FAIL and leaves its result
// in the context; one that cannot fail returns nothing and, when the run
// must end, stops early with the context's ending set.
#ifndef KALMEX_REGIONSEG_STAGES_H
#define KALMEX_REGIONSEG_STAGES_H

#include "seg_context.h"

// ---------------------------------------------------------------------------
// Homogeneity criteria (criterion.h; each criterion in its criterion_*.cpp)

// The run's criterion's tables (ctx.rules, chosen by set_up_context);
// SEG_FAIL, noted, when memory runs short.
int32_t set_up_criterion(seg_context &ctx);
// The present children of a parent block and its present pixels.
struct sibling_group {
  int32_t children;
  int32_t voxels;
};
// The operations of the criterion ctx.criterion one item at a time, for
// callers outside the stages' loops (which call the run's rules): the
// block test of the present part of a block of the given level (worker:
// the thread's own median buffer, criterion 3), and the sibling merge,
// which adds child (the position-th present sibling of group, 1-based) to
// the accumulators and is true when the group may still merge.
void evaluate_block(const run_config &ctx, const block_box &box, int32_t level, block_record &block,
                    int32_t worker = 0);
bool merge_test(const run_config &ctx, const block_record &child, int64_t &acc_a, int64_t &acc_b,
                int32_t position, int32_t child_level, const sibling_group &group);
// Criterion 3: the reference grey value of a block (its median), in the
// worker's median buffer.
int32_t block_median(const run_config &ctx, const block_box &box, int32_t worker = 0);
// The median buffer of a worker.
inline int32_t *median_buffer_of(const run_config &ctx, int32_t worker) {
  return ctx.median_buffer + static_cast<size_t>(worker) * static_cast<size_t>(ctx.median_entries);
}
// The k-th smallest (1-based; 0 behaves as 1) of values[first..last]; reorders the range.
int32_t select_kth(int32_t *values, int32_t first, int32_t last, int32_t k);

// Criterion 4: the chi-square quantile over degrees of freedom, rows 1..3,
// k = 0..16.
extern const float chi2_table[3][17];

// ---------------------------------------------------------------------------
// Initial blocks, merging and splitting (blocks.cpp)

// The block table into table (slot 0 holds the chain's first block).
int32_t build_initial_blocks(seg_context &ctx, block_table &table);
void paint_checkerboard(seg_context &ctx);
// The checkerboard of the start blocks in an image-sized buffer (row by
// row, as far as it gets when the run must end).
void fill_checkerboard(seg_context &ctx, int32_t *labels);
void merge_blocks(seg_context &ctx, block_table table);
// Splits every start block that failed its criterion into homogeneous
// blocks, each in its place in the chain.
int32_t split_blocks(seg_context &ctx, block_table table);

// ---------------------------------------------------------------------------
// Region list ordering (region_list.cpp)

// Every leaf of the chain from table[0] becomes a region of the region
// store, numbered in list order, with its adjacency list; the block
// records are released.
int32_t order_region_list(seg_context &ctx, block_table table);

// Directions of the neighbour search: the first, second and third dimension.
enum : int32_t { DIR_X = 0, DIR_Y = 1, DIR_Z = 2 };
// The code of the block of the given level whose upper face in direction lies
// on the lower face of the block code (of that level), or 0 when the block
// lies on the image border in that direction.
block_code low_neighbour_code(const seg_context &ctx, block_code code, int32_t level,
                              int32_t direction);

// ---------------------------------------------------------------------------
// Region grouping (grouping.cpp)

// The first live region of the list (0: none).
region_id first_live_region(const seg_context &ctx);
// Cannot fail (when the run must end it stops early, leaving the list as
// far as it got).
void group_sequential(seg_context &ctx);
// What the sequential pass shows an observer, for measuring how the
// regions' growths depend on one another: grows(r) as region r starts to
// grow; reads(entry, n, r) for every entry its scan resolves, the region
// the cell held (possibly absorbed since) and the live region n it
// resolved to, with r's statistics as they stand; absorbs(n) as r takes
// n.  A region that is finished at its turn shows nothing.
struct grouping_observer {
  void *data;
  void (*grows)(void *data, region_id r);
  void (*reads)(void *data, uint32_t entry, region_id n, const region_hot &r);
  void (*absorbs)(void *data, region_id n);
};
// group_sequential, observed; its result is the same.
void group_sequential_observed(seg_context &ctx, const grouping_observer &observer);
// SEG_FAIL when the seed table cannot be allocated.
int32_t group_parallel(seg_context &ctx);
// The grouping test and the statistics of a union, of the criterion
// ctx.criterion (as evaluate_block); n is seen when it may not join.
bool may_join(seg_context &ctx, region_id r, region_id n);
void join_statistics(const run_config &ctx, region_hot &r, const region_hot &n);
// Afterwards n is absorbed: forward_of(n) is r, r holds n's pixels, and
// n's list stands in r's list in place of the cell (an entry of n), which
// now leads into it.
void absorb_region(seg_context &ctx, region_id r, region_id n, cell_id cell);
void paint_region(seg_context &ctx, int32_t value, region_id r);
// The label that snapshot_cur holds at the first pixel of r's own block (0
// when nothing is painted).
int32_t label_at_region(const seg_context &ctx, region_id r);

// ---------------------------------------------------------------------------
// Small region elimination (elimination.cpp)

// SEG_OK, or SEG_FAIL when its referrer index cannot be had (noted) or the
// run must end.
int32_t eliminate_small_regions(seg_context &ctx);
// How unlike n is to the small region p, and statistics that add nothing
// to a partner's, of the criterion ctx.criterion (as evaluate_block).
int64_t region_distance(const run_config &ctx, const region_hot &p, const region_hot &n);
void clear_statistics(const run_config &ctx, region_hot &p);

// ---------------------------------------------------------------------------
// Cleaning and sorting (cleaning.cpp)

// Counts the live regions (region_count: their number less one); cannot
// fail (stops early when the run must end).
void clean_region_list(seg_context &ctx);
// The label of every live region, largest first, into ctx.label_of.
int32_t sort_region_list(seg_context &ctx);

// ---------------------------------------------------------------------------
// Label output (output.cpp)

// The labels of the sorted regions (all zeros when the run ended with one
// region: ctx.label_of is NULL).
void make_output(seg_context &ctx, int32_t *labels);

// ---------------------------------------------------------------------------
// Snapshots (snapshots.cpp)

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
// The snapshot plan of the region stages: the paint events that the stage
// about to run (STAGE_GROUPING over regions regions, STAGE_ELIMINATION over
// regions live regions) can count.  Grouping paints every region once (at
// its turn or when absorbed) and parallel grouping first paints its further
// seeds; elimination paints each region it absorbs, all but the last at
// most.
int64_t region_paint_events(const seg_context &ctx, int32_t stage, int64_t regions);
// The slices that stage can open, reserved at once (once the blocks are
// split for grouping, once grouping is done for elimination), when the run
// keeps its snapshots.
void plan_snapshots(seg_context &ctx, int32_t stage);
// The share of splitting done when its reserve_snapshots starts to replay
// the paints noted (the splitting itself takes less time than the copies
// of the snapshots they open).
constexpr double snapshot_replay_start = 0.2;
// Shrinks the arena to snapshot_count slices when at least half of it is
// unused (see snapshots.cpp); when that fails the larger block is kept.
void trim_snapshots(seg_context &ctx);
// Releases the cells, the paint log and the arena.
void release_snapshots(seg_context &ctx);

// ---------------------------------------------------------------------------
// Driver (driver.cpp)

// Prints one progress line: to standard output, or to ctx.progress.
void report_progress(const run_progress &ctx, const char *line);
// Runs the stages in order, printing the progress lines; the regions, their
// order and the sort table are left in the context.
int32_t run_pipeline(seg_context &ctx);

#endif
