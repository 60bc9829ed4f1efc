// The driver of one segmentation: sets up the context and its tables, runs
// the stages in order with their progress lines, and releases everything
// but the snapshot stack before it returns; a run that ends early (memory
// that cannot be had, or its caller's check) says why.
#include <stdio.h>

#include <string.h>

#include "criterion.h"
#include "threadpool.h"

// The progress lines are part of the module's interface: callers read them
// on standard output and the tests match them byte for byte, so their texts
// (typing and spacing included) stay exactly as they are.
void report_progress(const run_progress &ctx, const char *line) {
  if (ctx.progress != NULL) {
    ctx.progress(line);
    return;
  }
  printf("%s", line);
  fflush(stdout);
}

const char *stage_name(int32_t stage) {
  static const char *const names[stage_count] = {"set-up",
                                                 "initialisation",
                                                 "merging",
                                                 "splitting",
                                                 "ordering of the region list",
                                                 "grouping",
                                                 "small region elimination",
                                                 "cleaning of the region list",
                                                 "sorting of the region list",
                                                 "label output"};
  return stage >= 0 && stage < stage_count ? names[stage] : "the run";
}

void format_failure(int32_t status, const seg_failure &failure, char *buf, size_t size) {
  if (status == SEG_STOPPED) {
    snprintf(buf, size, "Interrupted during %s: the run was stopped and nothing is kept.",
             stage_name(failure.stage));
    return;
  }
  const char *what = failure.what != NULL ? failure.what : "working memory";
  if (failure.bytes == static_cast<size_t>(-1)) {
    snprintf(buf, size, "Out of memory during %s: %s would take more bytes than there are.",
             stage_name(failure.stage), what);
    return;
  }
  snprintf(buf, size, "Out of memory during %s: %s (%zu bytes) could not be allocated.",
           stage_name(failure.stage), what, failure.bytes);
}

int32_t note_shortage(run_progress &ctx, const char *what) {
  if (ctx.ending == SEG_OK) {
    ctx.ending = SEG_FAIL;
    ctx.failure.stage = ctx.stage;
    ctx.failure.what = what;
    ctx.failure.bytes = seg_refused_bytes();
  }
  return SEG_FAIL;
}

namespace {

// The share of a run's time that each stage takes, about (in percent of a
// run with small-region elimination, as measured on volumes of blurred
// noise and on photographs): grouping and elimination take the most, and
// splitting when it opens the snapshots of the block stages.
const int32_t typical_weights[stage_count] = {0, 1, 0, 7, 20, 25, 50, 1, 1, 4};
const int32_t splitting_weight_with_snapshots = 100;

// How far the whole run is: the stages before this one, and this one's
// share done.  The weights are whole numbers, so the last stage done is
// exactly 1.
double run_fraction(const run_progress &ctx) {
  int32_t before = 0;
  int32_t all = 0;
  for (int32_t s = 0; s < stage_count; ++s) {
    before += s < ctx.stage ? ctx.stage_weights[s] : 0;
    all += ctx.stage_weights[s];
  }
  const double done = before + ctx.stage_weights[ctx.stage] * ctx.stage_done;
  return done / all;
}

} // namespace

void weigh_stages(run_progress &progress, const run_config &config) {
  for (int32_t stage = 0; stage < stage_count; ++stage) {
    progress.stage_weights[stage] = typical_weights[stage];
  }
  if (config.min_region_size == 0) {
    progress.stage_weights[STAGE_ELIMINATION] = 0;
  }
  if (config.keep_snapshots) {
    progress.stage_weights[STAGE_SPLITTING] = splitting_weight_with_snapshots;
  }
}

bool poll_check(run_progress &ctx, size_t done, size_t total) {
  if (ctx.ending != SEG_OK) {
    return true;
  }
  if (ctx.check == NULL) {
    return false;
  }
  if (total > 0) {
    const double part = static_cast<double>(done) / static_cast<double>(total);
    const double stage_done = ctx.phase_start + ctx.phase_span * (part > 1.0 ? 1.0 : part);
    ctx.stage_done = stage_done > ctx.stage_done ? stage_done : ctx.stage_done;
  }
  const double run_done = run_fraction(ctx);
  ctx.run_done = run_done > ctx.run_done ? run_done : ctx.run_done;
  if (ctx.check(ctx.check_data, ctx.stage, ctx.run_done)) {
    ctx.ending = SEG_STOPPED;
    ctx.failure.stage = ctx.stage;
    ctx.failure.what = NULL;
    ctx.failure.bytes = 0;
  }
  return ctx.ending != SEG_OK;
}

bool enter_stage(run_progress &ctx, int32_t stage) {
  ctx.stage = stage;
  ctx.stage_done = 0.0;
  enter_phase(ctx, 0.0, 1.0);
  return poll_check(ctx, 0, 0);
}

namespace {

// trunc(fraction x 100), kept within int32 (any value from 100 percent on
// tolerates every outlier alike).
int32_t outlier_percent_of(double fraction) {
  const double percent = fraction * 100.0;
  if (percent >= 2147483647.0) {
    return INT32_MAX;
  }
  if (percent <= -2147483648.0) {
    return INT32_MIN;
  }
  return static_cast<int32_t>(percent);
}

} // namespace

int32_t build_level_tables(seg_context &ctx) {
  ctx.child_count =
      static_cast<int32_t *>(seg_calloc(static_cast<size_t>(ctx.levels), sizeof(int32_t)));
  if (ctx.child_count == NULL) {
    return note_shortage(ctx, "the per-level tables");
  }
  for (int32_t level = 0; level < ctx.levels; ++level) {
    ctx.child_count[level] = level < ctx.flat_levels ? 4 : 8;
  }
  ctx.block_voxels =
      static_cast<int64_t *>(seg_calloc(static_cast<size_t>(ctx.levels) + 1, sizeof(int64_t)));
  if (ctx.block_voxels == NULL) {
    return note_shortage(ctx, "the per-level tables");
  }
  ctx.block_voxels[0] = 1;
  for (int32_t level = 1; level <= ctx.levels; ++level) {
    ctx.block_voxels[level] = ctx.block_voxels[level - 1] * ctx.child_count[level - 1];
  }
  return SEG_OK;
}

void release_tables(seg_context &ctx) {
  seg_free(ctx.child_count);
  seg_free(ctx.block_voxels);
  seg_free(ctx.variance_limit);
  seg_free(ctx.median_buffer);
  ctx.child_count = NULL;
  ctx.block_voxels = NULL;
  ctx.variance_limit = NULL;
  ctx.median_buffer = NULL;
}

part_plan plan_parts(const run_config &ctx, size_t count, size_t voxels) {
  static_assert(max_parts >= parts_per_thread * kxMaxThreads, "room for every part");
  const size_t fit = voxels / static_cast<size_t>(ctx.voxels_per_thread);
  const size_t threads = fit < static_cast<size_t>(ctx.threads) ? fit : ctx.threads;
  if (threads <= 1 || count <= 1) {
    return part_plan{count == 0 ? 0 : 1, 1};
  }
  const size_t wanted = parts_per_thread * threads;
  const size_t parts = count < wanted ? count : wanted;
  return part_plan{static_cast<int32_t>(parts),
                   static_cast<int32_t>(parts < threads ? parts : threads)};
}

void run_parts(const part_plan &plan, void (*call)(void *, int32_t, int32_t), void *job) {
  if (plan.threads <= 1) {
    for (int32_t p = 0; p < plan.parts; ++p) {
      call(job, p, 0);
    }
    return;
  }
  kxThreadPool pool(plan.threads);
  pool.run(plan.parts, [&](int part, int worker) { call(job, part, worker); });
}

namespace {

// The stages from merging to the region store; the block table is the
// caller's.  one_block: the whole image is one homogeneous block.
int32_t blocks_to_regions(seg_context &ctx, block_table table, bool &one_block) {
  if (enter_stage(ctx, STAGE_MERGING)) {
    return SEG_FAIL;
  }
  merge_blocks(ctx, table);
  if (ctx.ending != SEG_OK) {
    return SEG_FAIL;
  }
  report_progress(ctx, "finished merging\n");

  const block_record &first = ctx.blocks[table[0]];
  if (first.next_block == 0 && is_homogeneous(first)) {
    // The whole image is one homogeneous block (a lone start block that
    // failed its criterion is split like any other).
    one_block = true;
    report_progress(ctx, "finished calculating region\n");
    return SEG_OK;
  }

  if (enter_stage(ctx, STAGE_SPLITTING) || split_blocks(ctx, table) != SEG_OK) {
    return SEG_FAIL;
  }
  report_progress(ctx, "finished splitting\n");
  // Every leaf becomes a region: the snapshots the rest of the run opens
  // are known up to those of elimination.  Their reservation replays the
  // paints noted so far, the rest of the stage.
  enter_phase(ctx, snapshot_replay_start, 1.0 - snapshot_replay_start);
  plan_snapshots(ctx, STAGE_GROUPING);

  if (enter_stage(ctx, STAGE_ORDERING) || order_region_list(ctx, table) != SEG_OK) {
    return SEG_FAIL;
  }
  report_progress(ctx, "finished ordering regionlist\n");
  return SEG_OK;
}

// Whether the first live region has no neighbours (then it is the only one).
bool one_region_left(const seg_context &ctx) {
  const region_id first = first_live_region(ctx);
  return first == 0 || first_entry(ctx.regions, first) == 0;
}

} // namespace

int32_t run_pipeline(seg_context &ctx) {
  if (enter_stage(ctx, STAGE_INITIALISATION)) {
    return SEG_FAIL;
  }
  block_table table = NULL;
  const int32_t built = build_initial_blocks(ctx, table);
  paint_checkerboard(ctx);
  if (built != SEG_OK) {
    return SEG_FAIL;
  }
  report_progress(ctx, "finished initialisation\n");
  bool one_block = false;
  const int32_t ordered = blocks_to_regions(ctx, table, one_block);
  seg_free(table);
  if (ordered != SEG_OK || one_block) {
    return ordered;
  }

  if (enter_stage(ctx, STAGE_GROUPING)) {
    return SEG_FAIL;
  }
  if (ctx.parallel_grouping != 0) {
    if (group_parallel(ctx) != SEG_OK) {
      return SEG_FAIL;
    }
  } else {
    group_sequential(ctx);
  }
  if (ctx.ending != SEG_OK) {
    return SEG_FAIL;
  }
  report_progress(ctx, "finished grouping\n");

  if (one_region_left(ctx)) {
    return SEG_OK;
  }
  if (ctx.min_region_size != 0) {
    if (enter_stage(ctx, STAGE_ELIMINATION)) {
      return SEG_FAIL;
    }
    plan_snapshots(ctx, STAGE_ELIMINATION);
    if (eliminate_small_regions(ctx) != SEG_OK) {
      return SEG_FAIL;
    }
    report_progress(ctx, "finished small region elimination\n");
  }
  if (enter_stage(ctx, STAGE_CLEANING)) {
    return SEG_FAIL;
  }
  clean_region_list(ctx);
  if (ctx.ending != SEG_OK) {
    return SEG_FAIL;
  }
  report_progress(ctx, "finished cleaning of regionlist\n");
  if (enter_stage(ctx, STAGE_SORTING) || sort_region_list(ctx) != SEG_OK) {
    return SEG_FAIL;
  }
  report_progress(ctx, "finished sorting of regionlist\n");
  return SEG_OK;
}

namespace {

// A failed run leaves the labels all zeros, whatever the stages kept in
// them as working space.
void clear_labels(const seg_context &ctx, int32_t *labels) {
  if (labels != NULL) {
    memset(labels, 0, sizeof(int32_t) * static_cast<size_t>(ctx.image_voxels));
  }
}

} // namespace

void set_up_context(seg_context &ctx, const int32_t *image, int32_t d1, int32_t d2, int32_t d3,
                    const seg_params &params) {
  ctx.image = image;
  ctx.dim_x = d1;
  ctx.dim_y = d2;
  ctx.dim_z = d3;
  ctx.plane_stride = d1 * d2;
  ctx.image_voxels = d1 * d2 * d3;
  ctx.levels = params.levels;
  ctx.flat_levels = params.flat_levels;
  ctx.start_level = params.start_level;
  const int32_t side = int32_t{1} << ctx.levels;
  ctx.whole = d1 == side && d2 == side && d3 == level_planes(ctx, ctx.levels);
  const int32_t cell = int32_t{1} << ctx.start_level;
  const int32_t cell_planes = level_planes(ctx, ctx.start_level);
  ctx.cells_x = (d1 - 1) / cell + 1;
  ctx.cells_y = (d2 - 1) / cell + 1;
  ctx.cells_z = (d3 - 1) / cell_planes + 1;
  ctx.parallel_grouping = params.parallel_grouping;
  ctx.parallel_seeds = params.parallel_seeds;
  ctx.seed_any_level = params.seed_any_level;
  ctx.criterion = params.criterion;
  ctx.rules = find_criterion(params.criterion);
  ctx.threshold = params.threshold;
  ctx.half_threshold = params.threshold >> 1;
  ctx.min_region_size = params.min_region_size;
  ctx.keep_small_stats = params.keep_small_stats;
  ctx.outlier_percent = outlier_percent_of(params.outlier_fraction);
  ctx.confidence_row = params.confidence_row;
  ctx.noise_variance = params.noise_sigma * params.noise_sigma;
  ctx.size_factor = params.size_factor;
  ctx.snapshot_budget = params.snapshot_budget;
  ctx.threads =
      params.threads < 1 ? 1 : (params.threads > kxMaxThreads ? kxMaxThreads : params.threads);
  ctx.voxels_per_thread = params.voxels_per_thread < 1 ? 1 : params.voxels_per_thread;
  ctx.progress = params.progress;
  ctx.check = params.check;
  ctx.check_data = params.check_data;
}

int32_t split_merge(const int32_t *image, int32_t d1, int32_t d2, int32_t d3,
                    const seg_params &params, int32_t *labels_out, snapshot_list *snapshots_out,
                    seg_failure *failure) {
  // Everything the run allocates is listed on its heap.
  seg_heap own_heap;
  seg_heap *const outer_heap = seg_use_heap(params.heap != NULL ? params.heap : &own_heap);
  seg_context ctx = {};
  set_up_context(ctx, image, d1, d2, d3, params);
  ctx.keep_snapshots = snapshots_out != NULL;
  ctx.scratch = labels_out;
  if (snapshots_out != NULL) {
    ctx.snapshot_slices.allocator = snapshots_out->arena.allocator;
    snapshots_out->count = 0;
    snapshots_out->arena.slices = NULL;
    snapshots_out->arena.capacity = 0;
    snapshots_out->budget_reached = false;
  }

  // The painting is wanted only for the snapshots.  Their arena is made
  // once the blocks are split.
  if (ctx.keep_snapshots) {
    defer_snapshots(ctx);
  }
  weigh_stages(ctx, ctx);

  if (!enter_stage(ctx, STAGE_SETUP) && build_level_tables(ctx) == SEG_OK &&
      set_up_criterion(ctx) == SEG_OK) {
    const int32_t ran = run_pipeline(ctx);
    report_progress(ctx, "finished the split_merge routine\n");
    if (ran == SEG_OK && ctx.keep_snapshots) {
      reserve_snapshots(ctx, 0); // a run that ended before its split: what it painted
    }
    if (ran != SEG_OK && ctx.ending == SEG_OK) {
      note_shortage(ctx, NULL); // every failure notes what; this is a safeguard
    }
    if (ctx.ending == SEG_OK && !enter_stage(ctx, STAGE_OUTPUT)) {
      make_output(ctx, labels_out);
      // The check's last call: the whole run done.
      if (ctx.ending == SEG_OK && !poll_check(ctx, 1, 1)) {
        report_progress(ctx, "finished make_output \n");
        report_progress(ctx, "No save_regionlist specified\n");
      }
    }
  }
  const int32_t status = ctx.ending;
  if (status != SEG_OK) {
    clear_labels(ctx, labels_out);
  }
  release_records(ctx);
  release_tables(ctx);

  if (snapshots_out != NULL && status == SEG_OK) {
    trim_snapshots(ctx);
    snapshots_out->count = ctx.snapshot_count;
    snapshots_out->arena = ctx.snapshot_slices;
    snapshots_out->budget_reached = ctx.budget_reached;
    ctx.snapshot_slices.slices = NULL; // handed over
    ctx.snapshot_slices.capacity = 0;
  }
  release_snapshots(ctx);
  if (failure != NULL) {
    *failure = ctx.failure;
  }
  seg_use_heap(outer_heap);
  // Nothing is left on the heap but its spans, kept for the next runs.
  seg_release_heap(params.heap != NULL ? *params.heap : own_heap);
  return status;
}
