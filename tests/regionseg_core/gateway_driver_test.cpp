// The driver: progress lines, parameter handling, ownership of the
// snapshot list, and every allocation of a run failing in turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "regionseg.h"

namespace {

struct SegRun {
  int32_t levels = 4;
  int32_t flat_levels = 4;
  int32_t start_level = 2;
  int32_t criterion = 1;
  int32_t threshold = 10;
  double outlier_fraction = 0.25;
  double noise_sigma = 2.0;
  int32_t confidence_row = 2;
  double size_factor = 1.0;
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
  std::string printed;
};

// Runs split_merge and takes the snapshot list apart as the gateway does.
Outcome run(const SegRun &r, bool want_snapshots = true) {
  Outcome o;
  o.labels.assign(r.voxels(), 0);
  snapshot_list list = {nullptr, 0};
  ::testing::internal::CaptureStdout();
  o.status = split_merge(r.image.data(), r.side(), r.side(), r.planes(), r.levels, r.flat_levels,
                         o.labels.data(), r.start_level, 0, 1, 1, r.criterion, r.threshold,
                         r.outlier_fraction, r.noise_sigma, r.confidence_row, r.size_factor, 0, 0,
                         want_snapshots ? &list : nullptr);
  o.printed = ::testing::internal::GetCapturedStdout();
  o.snapshot_count = list.count;
  for (snapshot *s = list.head; s != nullptr; s = s->next) {
    o.snapshots.emplace_back(s->labels, s->labels + r.voxels());
  }
  release_snapshots(list.head);
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

class Driver : public ::testing::Test {
protected:
  void SetUp() override { live_ = seg_live_allocations(); }
  void TearDown() override {
    seg_fail_allocation_at(0);
    EXPECT_EQ(seg_live_allocations(), live_) << "allocations left by the test";
  }
  long live_ = 0;
};

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
// labels and messages are those of the run with snapshots.
TEST_F(Driver, NoSnapshotCopiesWhenTheyAreNotAsked) {
  SegRun r = noisy(5, 2, 1, 11);
  std::mt19937 rng(13);
  for (int32_t &v : r.image) {
    v = static_cast<int32_t>(rng() % 256); // splits everywhere: about 1300 paint events
  }
  seg_fail_allocation_at(0);
  const Outcome with = run(r, true);
  const long with_count = seg_allocation_count();
  seg_fail_allocation_at(0);
  const Outcome without = run(r, false);
  const long without_count = seg_allocation_count();
  ASSERT_GE(with.snapshot_count, 3);
  EXPECT_EQ(without_count, with_count - 2 * with.snapshot_count);
  EXPECT_EQ(without.printed, with.printed);
  EXPECT_EQ(without.labels, with.labels);
}

// Every allocation of a small run fails in turn: the run either completes
// (a snapshot copy that is not opened) or fails with all-zero labels, the
// snapshots painted so far are handed over whole, and nothing is left.
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
    for (long n = 1; n <= total + 1; ++n) {
      seg_fail_allocation_at(n);
      const Outcome o = run(r);
      const long made = seg_allocation_count();
      seg_fail_allocation_at(0);
      ASSERT_EQ(seg_live_allocations(), live_) << "criterion " << r.criterion << ", n " << n;
      ASSERT_TRUE(o.status == SEG_OK || o.status == SEG_FAIL);
      EXPECT_EQ(o.snapshot_count, static_cast<int32_t>(o.snapshots.size()));
      if (n > total) {
        EXPECT_LT(made, n);
        EXPECT_EQ(o.labels, clean.labels);
        EXPECT_EQ(o.snapshots, clean.snapshots);
        continue;
      }
      if (o.status == SEG_FAIL) {
        EXPECT_TRUE(
            std::all_of(o.labels.begin(), o.labels.end(), [](int32_t v) { return v == 0; }));
      }
      if (n == 1 || n == 2) {
        // The first snapshot itself: nothing can be painted, nothing is returned.
        EXPECT_EQ(o.status, SEG_FAIL);
        EXPECT_EQ(o.snapshot_count, 0);
        EXPECT_EQ(o.printed, "");
      } else {
        ASSERT_GE(o.snapshot_count, 1);
        EXPECT_LE(o.snapshot_count, clean.snapshot_count);
        // Slice 1 is the checkerboard when every snapshot could be opened.
        if (o.snapshot_count == clean.snapshot_count &&
            o.printed.find("finished initialisation") != std::string::npos) {
          EXPECT_EQ(o.snapshots[0], clean.snapshots[0]);
        }
      }
    }
  }
}

} // namespace
