// The driver: progress lines, parameter handling, ownership of the
// snapshot list, and every allocation of a run failing in turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "balanced_test.h"
#include "seg_context.h"

namespace {

struct SegRun : seg_params {
  SegRun() {
    levels = 4;
    flat_levels = 4;
    start_level = 2;
    seed_any_level = 1;
    threshold = 10;
    outlier_fraction = 0.25;
    noise_sigma = 2.0;
    confidence_row = 2;
    size_factor = 1.0;
  }
  std::vector<int32_t> image;

  int32_t side() const { return int32_t{1} << levels; }
  int32_t planes() const { return int32_t{1} << (levels - flat_levels); }
  int32_t voxels() const { return side() * side() * planes(); }
};

struct Outcome {
  int32_t status = 0;
  std::vector<int32_t> labels;
  std::vector<std::vector<int32_t>> snapshots;
  int32_t snapshot_count = 0;
  int32_t capacity = 0; // slices of the arena handed over
  bool budget_reached = false;
  std::string printed;
  seg_failure why = {};
};

// Arena allocators of a caller: realloc, and one that always moves the
// block and scribbles over the old one, so that a slice read through a
// pointer into the old block shows.  Both count their resizes.
long arena_resizes = 0;
std::vector<long> arena_attempts; // the hook's count at each moving resize
long moving_blocks = 0;           // blocks of moving_resize not released

void *plain_resize(void *block, size_t bytes) {
  ++arena_resizes;
  return std::realloc(block, bytes);
}
void plain_release(void *block) { std::free(block); }

void *moving_resize(void *block, size_t bytes) {
  ++arena_resizes;
  arena_attempts.push_back(seg_allocation_count());
  size_t *fresh = static_cast<size_t *>(std::malloc(bytes + 2 * sizeof(size_t)));
  if (fresh == nullptr) {
    return nullptr;
  }
  fresh[0] = bytes;
  if (block == nullptr) {
    ++moving_blocks;
  } else {
    size_t *old = static_cast<size_t *>(block) - 2;
    std::memcpy(fresh + 2, block, std::min(old[0], bytes));
    std::memset(block, 0xAB, old[0]);
    std::free(old);
  }
  return fresh + 2;
}
void moving_release(void *block) {
  if (block != nullptr) {
    --moving_blocks;
    std::free(static_cast<size_t *>(block) - 2);
  }
}

const snapshot_allocator plain_arena = {plain_resize, plain_release};
const snapshot_allocator moving_arena = {moving_resize, moving_release};

// Runs split_merge and takes the snapshot stack apart.  The progress lines
// are captured unless the run hands them elsewhere (runs on several threads
// at once).
Outcome run(const SegRun &r, bool want_snapshots = true,
            const snapshot_allocator *allocator = nullptr) {
  Outcome o;
  o.labels.assign(r.voxels(), 0);
  snapshot_list list = {};
  if (allocator != nullptr) {
    list.arena.allocator = *allocator;
  }
  if (r.progress == nullptr) {
    ::testing::internal::CaptureStdout();
  }
  o.status = split_merge(r.image.data(), r.side(), r.side(), r.planes(), r, o.labels.data(),
                         want_snapshots ? &list : nullptr, &o.why);
  if (r.progress == nullptr) {
    o.printed = ::testing::internal::GetCapturedStdout();
  }
  o.snapshot_count = list.count;
  o.capacity = list.arena.capacity;
  o.budget_reached = list.budget_reached;
  EXPECT_GE(list.arena.capacity, list.count);
  EXPECT_EQ(list.arena.slices == nullptr, list.count == 0);
  for (int32_t k = 0; k < list.count; ++k) {
    const int32_t *slice = list.arena.slices + static_cast<size_t>(k) * r.voxels();
    o.snapshots.emplace_back(slice, slice + r.voxels());
  }
  release_snapshots(list);
  return o;
}

SegRun noisy(int32_t levels, int32_t start, int32_t criterion, unsigned seed) {
  SegRun r;
  r.levels = levels;
  r.flat_levels = levels;
  r.start_level = start;
  r.criterion = criterion;
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int32_t> noise(0, 255);
  r.image.resize(r.voxels());
  for (int32_t i = 0; i < r.voxels(); ++i) {
    // A flat left half and a noisy right half.
    r.image[i] = (i % r.side()) < r.side() / 2 ? 60 : noise(rng);
  }
  return r;
}

class Driver : public segtest::BalancedTest {};

TEST_F(Driver, ConstantImageRunsEndToEnd) {
  for (int32_t criterion = 1; criterion <= 5; ++criterion) {
    SegRun r;
    r.criterion = criterion;
    r.image.assign(r.voxels(), 200);
    const Outcome o = run(r);
    EXPECT_EQ(o.status, SEG_OK);
    EXPECT_EQ(o.printed, "finished initialisation\nfinished merging\nfinished calculating "
                         "region\nfinished the split_merge routine\nfinished make_output \nNo "
                         "save_regionlist specified\n")
        << "criterion " << criterion;
    EXPECT_TRUE(std::all_of(o.labels.begin(), o.labels.end(), [](int32_t v) { return v == 0; }));
    ASSERT_EQ(o.snapshot_count, 2);
    // The checkerboard of 4 x 4 start blocks, then the root painted 0.
    EXPECT_EQ(o.snapshots[0][0], 1);
    EXPECT_EQ(o.snapshots[0][4], 2);
    EXPECT_EQ(o.snapshots[0][4 * 16], 3);
    EXPECT_TRUE(std::all_of(o.snapshots[1].begin(), o.snapshots[1].end(),
                            [](int32_t v) { return v == 0; }));
  }
}

// The largest image of the interface merges into the root under the
// variance criteria without overflowing its sums.
TEST_F(Driver, UniformImageOf200MergesIntoTheRoot) {
  for (int32_t criterion : {4, 5}) {
    SegRun r;
    r.levels = 8;
    r.flat_levels = 8;
    r.start_level = 5;
    r.criterion = criterion;
    r.noise_sigma = 0.0;
    r.image.assign(r.voxels(), 200);
    const Outcome o = run(r, false);
    EXPECT_EQ(o.status, SEG_OK);
    EXPECT_NE(o.printed.find("finished calculating region\n"), std::string::npos);
    EXPECT_EQ(o.snapshot_count, 0); // not asked for

    // Quadrants of 190, 200, 210, 200: each merges, the root must not (a
    // sum of squares wrapped at 32 bits would let it).
    for (int32_t y = 0; y < 256; ++y) {
      for (int32_t x = 0; x < 256; ++x) {
        const int32_t quadrant = (x >= 128) + 2 * (y >= 128);
        r.image[x + 256 * y] = quadrant == 0 ? 190 : (quadrant == 3 ? 210 : 200);
      }
    }
    r.noise_sigma = 1.0;
    r.size_factor = 0.0;
    const Outcome q = run(r, false);
    EXPECT_EQ(q.printed.find("finished calculating region\n"), std::string::npos);
    EXPECT_NE(q.printed.find("finished splitting\n"), std::string::npos);
  }
}

TEST_F(Driver, StructuredImageSplitsAfterMerging) {
  const Outcome o = run(noisy(4, 2, 1, 3));
  EXPECT_EQ(o.printed.rfind("finished initialisation\nfinished merging\nfinished splitting\n", 0),
            0u)
      << o.printed;
  EXPECT_NE(o.printed.find("finished the split_merge routine\n"), std::string::npos);
  if (o.status != SEG_OK) {
    EXPECT_TRUE(std::all_of(o.labels.begin(), o.labels.end(), [](int32_t v) { return v == 0; }));
  }
}

// outlier_fraction 0.057 tolerates 5 percent (truncated): 4 outliers in an
// 8 x 8 start block (6 percent) make it split; 0.06 lets it pass.
TEST_F(Driver, OutlierPercentIsTruncated) {
  SegRun r;
  r.start_level = 3;
  r.criterion = 3;
  r.threshold = 20;
  r.image.assign(r.voxels(), 100);
  for (int i = 0; i < 4; ++i) {
    r.image[i] = 200;
  }
  r.outlier_fraction = 0.057;
  EXPECT_NE(run(r).printed.find("finished splitting\n"), std::string::npos);
  r.outlier_fraction = 0.06;
  EXPECT_NE(run(r).printed.find("finished calculating region\n"), std::string::npos);
}

TEST_F(Driver, CallsInARowDoNotDependOnEachOther) {
  const SegRun a = noisy(4, 2, 1, 5);
  const Outcome alone = run(a);
  SegRun b = noisy(4, 1, 4, 9);
  run(b);
  b.criterion = 3;
  run(b);
  const Outcome again = run(a);
  EXPECT_EQ(again.printed, alone.printed);
  EXPECT_EQ(again.labels, alone.labels);
  EXPECT_EQ(again.snapshots, alone.snapshots);
}

// Without the snapshot output a run makes no snapshot and paints nothing:
// its allocations do not grow with the number of paint events, and its
// labels and messages are those of the run with snapshots.  With it, a
// snapshot costs its cell, the arena one request to the caller's allocator,
// made once and as large as the stack (each one allocation for the test
// hook), the member chains that painting walks (two arrays), and the log of
// the block stages' paints a few doublings.
TEST_F(Driver, NoSnapshotCopiesWhenTheyAreNotAsked) {
  SegRun r = noisy(6, 2, 1, 11);
  std::mt19937 rng(13);
  for (int32_t &v : r.image) {
    v = static_cast<int32_t>(rng() % 256); // splits everywhere
  }
  seg_fail_allocation_at(0);
  arena_resizes = 0;
  const Outcome with = run(r, true, &plain_arena);
  const long with_count = seg_allocation_count();
  seg_fail_allocation_at(0);
  const Outcome without = run(r, false);
  const long without_count = seg_allocation_count();
  ASSERT_GE(with.snapshot_count, 6);
  EXPECT_EQ(arena_resizes, 1);
  EXPECT_EQ(with.capacity, with.snapshot_count);
  const long member_chains = 2;
  const long log_growths =
      with_count - without_count - with.snapshot_count - arena_resizes - member_chains;
  EXPECT_GE(log_growths, 1);
  EXPECT_LE(log_growths, 4);
  EXPECT_EQ(without.printed, with.printed);
  EXPECT_EQ(without.labels, with.labels);
  // The module's own arena gives the same stack.
  const Outcome own = run(r, true);
  EXPECT_EQ(own.snapshots, with.snapshots);
}

// A byte budget of k slices keeps the uncut run's first k - 1 slices and
// its last one, whatever the arena does; the labels do not change.  A
// budget below one slice still keeps the last (the callers refuse one).
TEST_F(Driver, SnapshotBudgetKeepsTheFirstSlicesAndTheLast) {
  SegRun r = noisy(6, 1, 1, 23);
  const Outcome full = run(r);
  ASSERT_GE(full.snapshot_count, 6);
  const size_t slice = sizeof(int32_t) * static_cast<size_t>(r.voxels());
  for (int32_t k : {0, 1, 2, 5, full.snapshot_count - 1, full.snapshot_count}) {
    SegRun cut = r;
    cut.snapshot_budget = static_cast<size_t>(k) * slice + (k > 0 ? slice / 2 : 1);
    const Outcome o = run(cut, true, &moving_arena);
    SCOPED_TRACE("budget of " + std::to_string(k) + " slices");
    const int32_t kept = std::max(k, 1);
    EXPECT_EQ(o.status, SEG_OK);
    EXPECT_EQ(o.labels, full.labels);
    EXPECT_EQ(o.printed, full.printed);
    ASSERT_EQ(o.snapshot_count, kept);
    EXPECT_LE(static_cast<size_t>(o.capacity) * slice, std::max(cut.snapshot_budget, slice));
    EXPECT_EQ(o.budget_reached, k < full.snapshot_count);
    for (int32_t i = 0; i + 1 < kept; ++i) {
      EXPECT_EQ(o.snapshots[i], full.snapshots[i]) << "slice " << i + 1;
    }
    EXPECT_EQ(o.snapshots.back(), full.snapshots.back());
  }
}

// A random image of side 2^levels split down to its pixels (six snapshots
// with levels 6).
SegRun random_run(int32_t levels) {
  SegRun r = noisy(levels, 0, 1, 17);
  std::mt19937 rng(19);
  for (int32_t &v : r.image) {
    v = static_cast<int32_t>(rng() % 256);
  }
  return r;
}

// The arena is made once, after the split, as large as the stack; with
// small-region elimination it is grown once more before that stage, by an
// arena that moves: the earlier slices arrive whole in the new block and
// every cell points into it.  The arena failing to be made that large, or
// its growth failing: the slices are grown as they open, and the stack is
// whole all the same.
TEST_F(Driver, ArenaMadeOnceThatMovesOrFails) {
  const SegRun r = random_run(6);
  const Outcome own = run(r);
  seg_fail_allocation_at(0);
  arena_attempts.clear();
  const Outcome clean = run(r, true, &moving_arena);
  ASSERT_EQ(clean.snapshot_count, 6);
  EXPECT_EQ(clean.capacity, 6);
  ASSERT_EQ(arena_attempts.size(), 1u);
  EXPECT_EQ(clean.snapshots, own.snapshots);
  EXPECT_EQ(clean.labels, own.labels);

  seg_fail_allocation_at(arena_attempts[0]);
  const Outcome smaller = run(r, true, &moving_arena);
  EXPECT_EQ(smaller.status, SEG_OK);
  EXPECT_EQ(smaller.snapshots, clean.snapshots);
  EXPECT_EQ(smaller.labels, clean.labels);
  EXPECT_EQ(smaller.printed, clean.printed);

  SegRun small = r;
  small.threshold = 40;
  small.min_region_size = 6;
  const Outcome own_small = run(small);
  seg_fail_allocation_at(0);
  arena_attempts.clear();
  const Outcome grown = run(small, true, &moving_arena);
  ASSERT_EQ(arena_attempts.size(), 2u); // made, grown for the elimination
  EXPECT_EQ(grown.snapshots, own_small.snapshots);
  seg_fail_allocation_at(arena_attempts[1]);
  const Outcome late = run(small, true, &moving_arena);
  EXPECT_EQ(late.snapshots, own_small.snapshots);
  EXPECT_EQ(late.labels, own_small.labels);
  EXPECT_EQ(moving_blocks, 0);
}

// What a run holds when its host ends the call inside it (the record
// store, tables, resized blocks) is on its heap, and releasing the heap
// frees that and nothing else: blocks on another heap or on none stay.
TEST_F(Driver, ReleasingAHeapFreesOnlyWhatItsRunHeld) {
  ASSERT_EQ(live_, 0);
  void *outside = seg_alloc(10);
  seg_heap other;
  seg_use_heap(&other);
  void *kept = seg_calloc(4, 8);
  seg_heap run_heap;
  seg_use_heap(&run_heap);
  seg_context ctx{};
  for (size_t i = 1; i <= 3000; ++i) { // several growths of the block store
    ASSERT_TRUE(reserve_blocks(ctx, i));
  }
  ASSERT_NE(seg_alloc(100), nullptr);
  ASSERT_NE(seg_calloc(10, 8), nullptr);
  void *grown = seg_resize(nullptr, 16);
  grown = seg_resize(grown, 1 << 20);
  ASSERT_NE(grown, nullptr);
  seg_use_heap(nullptr);
  EXPECT_EQ(seg_live_allocations(), 6);
  seg_release_heap(run_heap);
  EXPECT_EQ(run_heap.live, nullptr);
  EXPECT_EQ(seg_live_allocations(), 2);
  seg_free(kept);
  EXPECT_EQ(other.live, nullptr);
  seg_free(outside);
  const Outcome o = run(noisy(4, 2, 1, 3));
  EXPECT_NE(o.printed.find("finished the split_merge routine"), std::string::npos);
  EXPECT_EQ(seg_live_allocations(), 0);
}

// Every allocation of a small run fails in turn: the run either gives its
// whole result (an allocation with a way round it) or fails with all-zero
// labels, no stack and the stage and structure that ran short; nothing is
// left either way.
TEST_F(Driver, EveryAllocationMayFail) {
  std::vector<SegRun> runs = {noisy(5, 2, 1, 1), noisy(4, 2, 3, 2), noisy(4, 1, 4, 3),
                              noisy(4, 2, 5, 4)};
  SegRun flat;
  flat.image.assign(flat.voxels(), 7);
  runs.push_back(flat);
  for (const SegRun &r : runs) {
    seg_fail_allocation_at(0);
    const Outcome clean = run(r);
    const long total = seg_allocation_count();
    int failed = 0;
    for (long n = 1; n <= total + 1; ++n) {
      seg_fail_allocation_at(n);
      const Outcome o = run(r);
      const long made = seg_allocation_count();
      seg_fail_allocation_at(0);
      ASSERT_EQ(seg_live_allocations(), live_) << "criterion " << r.criterion << ", n " << n;
      if (o.status == SEG_OK) {
        EXPECT_TRUE(n <= total || made < n);
        EXPECT_EQ(o.labels, clean.labels) << "n " << n;
        EXPECT_EQ(o.snapshots, clean.snapshots) << "n " << n;
        continue;
      }
      ++failed;
      ASSERT_EQ(o.status, SEG_FAIL);
      EXPECT_TRUE(std::all_of(o.labels.begin(), o.labels.end(), [](int32_t v) { return v == 0; }));
      EXPECT_EQ(o.snapshot_count, 0);
      EXPECT_NE(o.why.what, nullptr);
    }
    EXPECT_GT(failed, 0) << "criterion " << r.criterion;
  }
}

// What the check of a run saw: each call's stage and share done, and
// whether every call came on the thread that started the run; it says stop
// at call stop_at (1-based; 0: never).
struct CheckLog {
  std::vector<std::pair<int32_t, double>> calls;
  std::thread::id caller = std::this_thread::get_id();
  bool elsewhere = false;
  size_t stop_at = 0;
};

bool logged_check(void *data, int32_t stage, double done) {
  CheckLog &log = *static_cast<CheckLog *>(data);
  log.elsewhere = log.elsewhere || std::this_thread::get_id() != log.caller;
  log.calls.emplace_back(stage, done);
  return log.calls.size() == log.stop_at;
}

void quiet_progress(const char *) {}

// A run on threads of its own (every stage in parts) with small-region
// elimination and the snapshots, on 256 x 256 speckle: long enough for
// checks within its stages.
SegRun long_run(unsigned seed, int32_t criterion) {
  SegRun r = noisy(8, 2, criterion, seed);
  r.min_region_size = 5;
  r.threads = 2;
  r.voxels_per_thread = 4096;
  r.progress = quiet_progress;
  return r;
}

// The check comes at the start of every stage, in order, and within the
// long ones, always on the calling thread, with how far the run is: never
// less than before, 1 at the last call.  Whichever call says stop (which calls come within a stage
// on several threads varies), the run stops there: SEG_STOPPED naming that stage, all-zero labels,
// no stack and nothing left.
TEST_F(Driver, TheCheckStopsTheRunWhereverItSaysSo) {
  SegRun r = long_run(5, 1);
  CheckLog clean;
  r.check = logged_check;
  r.check_data = &clean;
  const Outcome whole = run(r);
  ASSERT_EQ(whole.status, SEG_OK);
  EXPECT_FALSE(clean.elsewhere);
  const size_t calls = clean.calls.size();
  std::vector<int> per_stage(stage_count, 0);
  int rises_within = 0; // the fraction rising within a stage
  for (size_t k = 0; k < calls; ++k) {
    const auto &c = clean.calls[k];
    ASSERT_TRUE(c.first >= STAGE_SETUP && c.first < stage_count);
    EXPECT_TRUE(c.second >= 0.0 && c.second <= 1.0) << "call " << k;
    if (k > 0) {
      EXPECT_GE(c.first, clean.calls[k - 1].first) << "call " << k;
      EXPECT_GE(c.second, clean.calls[k - 1].second) << "call " << k;
      rises_within += c.first == clean.calls[k - 1].first && c.second > clean.calls[k - 1].second;
    }
    ++per_stage[c.first];
  }
  EXPECT_GT(rises_within, stage_count);
  EXPECT_EQ(clean.calls.back(), std::make_pair(int32_t{STAGE_OUTPUT}, 1.0));
  for (int32_t stage = STAGE_SETUP; stage < stage_count; ++stage) {
    EXPECT_GE(per_stage[stage], 1) << stage_name(stage);
  }
  EXPECT_GT(calls, static_cast<size_t>(2 * stage_count)) << "checks within the stages";

  int stopped = 0;
  for (size_t n = 1; n <= calls; n += 1 + calls / 40) {
    CheckLog stopping;
    stopping.stop_at = n;
    r.check_data = &stopping;
    const Outcome o = run(r);
    SCOPED_TRACE("stopped at call " + std::to_string(n));
    if (o.status == SEG_OK) {
      EXPECT_LT(stopping.calls.size(), n); // fewer calls this time
      continue;
    }
    ++stopped;
    ASSERT_EQ(o.status, SEG_STOPPED);
    ASSERT_EQ(stopping.calls.size(), n); // none after the stop
    EXPECT_EQ(o.why.stage, stopping.calls.back().first);
    EXPECT_EQ(o.why.what, nullptr);
    EXPECT_EQ(o.snapshot_count, 0);
    EXPECT_TRUE(std::all_of(o.labels.begin(), o.labels.end(), [](int32_t v) { return v == 0; }));
    EXPECT_EQ(seg_live_allocations(), live_);
    char text[200];
    format_failure(o.status, o.why, text, sizeof text);
    EXPECT_EQ(std::string(text), std::string("Interrupted during ") + stage_name(o.why.stage) +
                                     ": the run was stopped and nothing is kept.");
  }
  EXPECT_GT(stopped, 30);
}

} // namespace
