// Homogeneity criteria: what a criterion is, and how a run calls one.
//
// A criterion is one type C, in a file of its own (criterion_*.cpp), whose
// static operations say everything the stages need to know of it:
//
//   evaluate(ctx, box, level, block, worker)  the block test: the statistics
//       of a block's present part (box) at its level into block, stat_a -1
//       when the block is not homogeneous; worker names the thread's own
//       working space
//   accept(block, v)  the statistics of a single pixel of value v that
//       failed its test and is kept as a leaf all the same
//   merge(ctx, child, acc_a, acc_b, position, child_level, group)  the
//       sibling merge: adds child, the position-th present sibling of group
//       (1-based), to the accumulators; true while the group may merge, and
//       at the last sibling when the union passes
//   region(ctx, block, box, hot)  a leaf's statistics as a region
//   joins(ctx, r, n)  the grouping test of region n against region r;
//   join(r, n)  r's statistics once it has taken n in
//   distance(p, n)  how unlike region n is to the small region p, for
//       elimination; clear(p)  statistics that add nothing to a partner's
//   set_up(ctx)  the criterion's own tables (SEG_FAIL, noted, when memory
//       runs short)
//
// criterion_parts.h has the pieces the criteria share.  rules_for<C>()
// (criterion_stages.h) compiles every loop of the stages that calls those
// operations for C; set_up_context chooses the criterion's rules once per
// run, and each stage calls its loop through them.  A new criterion is its
// file, its entry in criteria.cpp and its line in segmentation.sources.
#ifndef KALMEX_REGIONSEG_CRITERION_H
#define KALMEX_REGIONSEG_CRITERION_H

#include "stages.h"

// What merging and splitting hand to a part of one level of the split (see
// split_blocks): the blocks of the list that part takes, split into their
// present children of the given level, each judged.
struct split_job {
  int32_t level; // the children's level
  int32_t parts;
  const block_id *splitting; // the blocks to split, count of them
  size_t count;
  // The children that fail go into failed from children_before[part] (the
  // present children of the earlier parts' blocks), failed_in_part[part]
  // of them.
  block_id *failed;
  const size_t *children_before;
  size_t *failed_in_part;
  block_id first_new; // the first of the new records
  size_t work;        // the pixels the level reads
  part_stop *stop;
};

struct criterion_rules {
  int32_t number; // the parameter criterion

  int32_t (*set_up)(seg_context &ctx);

  // The criterion's operations one item at a time, for what works outside
  // the stages' loops (the tests, the benchmarks).
  void (*evaluate)(const run_config &ctx, const block_box &box, int32_t level, block_record &block,
                   int32_t worker);
  bool (*merge)(const run_config &ctx, const block_record &child, int64_t &acc_a, int64_t &acc_b,
                int32_t position, int32_t child_level, const sibling_group &group);
  bool (*joins)(const run_config &ctx, const region_hot &r, const region_hot &n);
  void (*join)(region_hot &r, const region_hot &n);
  int64_t (*distance)(const region_hot &p, const region_hot &n);
  void (*clear)(region_hot &p);

  // The stages' loops, compiled for the criterion.
  // Judges the start blocks records[0 .. count-1] in parts; false when the
  // run must end.
  bool (*evaluate_start_blocks)(seg_context &ctx, block_record *records, size_t count);
  void (*merge_blocks)(seg_context &ctx, block_table table);
  void (*accept_pixel)(const run_config &ctx, block_record &block);
  void (*split_part)(seg_context &ctx, const split_job &job, int32_t part, int32_t worker);
  // The map of the leaves and their regions (order_region_list); false
  // when the run must end.
  bool (*make_regions)(seg_context &ctx, int32_t *map);
  void (*group_sequential)(seg_context &ctx);
  void (*group_sequential_observed)(seg_context &ctx, const grouping_observer &observer);
  int32_t (*group_parallel)(seg_context &ctx);
  void (*absorb_region)(seg_context &ctx, region_id r, region_id n, cell_id cell);
  // The live neighbour most like the small region p (ties: the earlier
  // cell), or 0 when p is the only live region left.
  region_id (*nearest_neighbour)(seg_context &ctx, region_id p);
};

// The rules of criterion number, or NULL when there is no such criterion.
const criterion_rules *find_criterion(int32_t number);

#endif
