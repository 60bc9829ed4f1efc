// Homogeneity criteria: block statistics, sibling merges, variance limits
// and the in-place selection.
#include "blocks_support.h"

#include <algorithm>
#include <random>

using segtest::Context;
using segtest::test_params;

namespace {

seg_params geometry(int32_t levels, int32_t flat, int32_t criterion, int32_t threshold = 10) {
  seg_params g = test_params();
  g.levels = levels;
  g.flat_levels = flat;
  g.criterion = criterion;
  g.threshold = threshold;
  return g;
}

// Evaluates the level-1 block at the origin of a 2-D image.
block_record evaluate_2x2(Context &c) {
  block_record n{};
  evaluate_block(c.ctx, box_at(c.ctx, 0, 0, 0, 1), 1, n);
  return n;
}

TEST(Criteria, RangeOfABlock) {
  Context c(geometry(2, 2, 1));
  c.pixel(0, 0) = 20;
  c.pixel(1, 0) = 30;
  c.pixel(0, 1) = 25;
  c.pixel(1, 1) = 30;
  block_record n = evaluate_2x2(c);
  EXPECT_EQ(n.stat_a, 20);
  EXPECT_EQ(n.stat_b, 30);
  c.pixel(1, 1) = 31;
  n = evaluate_2x2(c);
  EXPECT_EQ(n.stat_a, -1);
  EXPECT_EQ(n.stat_b, 31);
}

TEST(Criteria, RangeMergeOfSiblings) {
  Context c(geometry(2, 2, 1));
  block_record first{}, pass{}, fail{}, broken{};
  first.stat_a = 20;
  first.stat_b = 25;
  pass.stat_a = 28;
  pass.stat_b = 30;
  fail.stat_a = 29;
  fail.stat_b = 31;
  broken.stat_a = -1;
  const sibling_group four = {4, 4};
  int64_t a = 0, b = 0;
  EXPECT_TRUE(merge_test(c.ctx, first, a, b, 1, 0, four));
  EXPECT_TRUE(merge_test(c.ctx, pass, a, b, 2, 0, four));
  EXPECT_EQ(a, 20);
  EXPECT_EQ(b, 30);
  a = b = 0;
  EXPECT_TRUE(merge_test(c.ctx, first, a, b, 1, 0, four));
  EXPECT_FALSE(merge_test(c.ctx, fail, a, b, 2, 0, four));
  EXPECT_FALSE(merge_test(c.ctx, broken, a, b, 1, 0, four));
}

TEST(Criteria, RobustRangeCountsOutliersAroundTheMedian) {
  Context c(geometry(2, 2, 3, 20));
  c.ctx.outlier_percent = 25;
  c.pixel(0, 0) = 100;
  c.pixel(1, 0) = 100;
  c.pixel(0, 1) = 100;
  c.pixel(1, 1) = 200;
  c.set_median_size(5);
  block_record n = evaluate_2x2(c);
  EXPECT_EQ(n.stat_a, 100);
  EXPECT_EQ(n.stat_b, 100);

  c.pixel(0, 0) = 0;
  c.pixel(1, 0) = 0;
  c.pixel(0, 1) = 250;
  c.pixel(1, 1) = 250;
  EXPECT_EQ(block_median(c.ctx, box_at(c.ctx, 0, 0, 0, 1)), 0);
  n = evaluate_2x2(c);
  EXPECT_EQ(n.stat_a, -1); // 50 percent outliers
  EXPECT_EQ(n.stat_b, 0);
  c.ctx.outlier_percent = 50;
  EXPECT_EQ(evaluate_2x2(c).stat_a, 0);
}

TEST(Criteria, VarianceOfUniformBlocksAndSinglePixels) {
  Context c(geometry(5, 5, 4));
  std::fill(c.image.begin(), c.image.end(), 200);
  c.ctx.variance_limit = static_cast<float *>(seg_calloc(6, sizeof(float)));
  block_record n{};
  evaluate_block(c.ctx, box_at(c.ctx, 0, 0, 0, 5), 5, n);
  EXPECT_EQ(n.stat_a, 204800);
  EXPECT_EQ(n.stat_b, 40960000);
  c.pixel(3, 3) = 17;
  evaluate_block(c.ctx, box_at(c.ctx, 3, 3, 0, 0), 0, n);
  EXPECT_EQ(n.stat_a, 17);
  EXPECT_EQ(n.stat_b, 289);
  seg_free(c.ctx.variance_limit);
  c.ctx.variance_limit = nullptr;
}

// Sums beyond 32 bits: the four quadrants of a uniform 256 x 256 image of
// 200 merge into the root (the sum of squares is 2.6e9).
TEST(Criteria, VarianceMergeCarriesSumsIn64Bits) {
  Context c(geometry(8, 8, 5));
  c.ctx.noise_variance = 1.0;
  c.ctx.size_factor = 0.0;
  ASSERT_EQ(set_up_criterion(c.ctx), SEG_OK);
  block_record q{};
  q.stat_a = int64_t{200} * 16384;
  q.stat_b = int64_t{40000} * 16384;
  int64_t a = 0, b = 0;
  for (int k = 1; k <= 4; ++k) {
    EXPECT_TRUE(merge_test(c.ctx, q, a, b, k, 7, sibling_group{4, 65536}));
  }
  EXPECT_EQ(b, int64_t{40000} * 65536);
  // A whole block beyond 2^31 is judged the same way.
  std::fill(c.image.begin(), c.image.end(), 200);
  c.ctx.variance_limit[8] = 0.0f;
  block_record root{};
  evaluate_block(c.ctx, box_at(c.ctx, 0, 0, 0, 8), 8, root);
  EXPECT_EQ(root.stat_a, int64_t{200} * 65536);
  EXPECT_EQ(root.stat_b, int64_t{40000} * 65536);
}

TEST(Criteria, ChiSquareLimits) {
  Context c(geometry(3, 3, 4));
  c.ctx.confidence_row = 2;
  c.ctx.noise_variance = 2.0 * 2.0;
  ASSERT_EQ(set_up_criterion(c.ctx), SEG_OK);
  EXPECT_EQ(c.ctx.variance_limit[0], 0.0f);
  EXPECT_EQ(c.ctx.variance_limit[1], 4.0f * 1.36945f);
  EXPECT_EQ(c.ctx.variance_limit[2], 4.0f * 1.21634f);
  EXPECT_EQ(c.ctx.variance_limit[3], 0.0f);

  // 3-D columns: flat_levels 1 gives 4 and 32 pixels (k 0 and 3) at levels 1 and 2.
  Context d(geometry(4, 1, 4));
  d.ctx.confidence_row = 3;
  d.ctx.noise_variance = 1.0;
  ASSERT_EQ(set_up_criterion(d.ctx), SEG_OK);
  EXPECT_EQ(d.ctx.variance_limit[1], chi2_table[2][0]);
  EXPECT_EQ(d.ctx.variance_limit[2], chi2_table[2][3]);
  Context f(geometry(4, 2, 4));
  f.ctx.confidence_row = 1;
  f.ctx.noise_variance = 1.0;
  ASSERT_EQ(set_up_criterion(f.ctx), SEG_OK);
  EXPECT_EQ(f.ctx.variance_limit[2], chi2_table[0][2]);
  EXPECT_EQ(f.ctx.variance_limit[3], chi2_table[0][5]);

  Context g(geometry(3, 3, 4), false);
  g.ctx.confidence_row = 1;
  seg_fail_allocation_at(1);
  EXPECT_EQ(set_up_criterion(g.ctx), SEG_FAIL);
  seg_fail_allocation_at(0);
}

TEST(Criteria, ScaledLimitsIncludeTheRoot) {
  Context c(geometry(2, 2, 5));
  c.ctx.noise_variance = 1.0;
  c.ctx.size_factor = 2.0;
  ASSERT_EQ(set_up_criterion(c.ctx), SEG_OK);
  EXPECT_EQ(c.ctx.variance_limit[0], 3.0f);
  EXPECT_EQ(c.ctx.variance_limit[2], 1.5f); // the root, n = 16
  EXPECT_EQ(c.ctx.variance_limit[1], 2.0f); // n = 4
}

TEST(Criteria, SelectionFindsTheKthSmallest) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    const int n = 1 + trial % 40;
    std::vector<int32_t> v(n + 1);
    std::uniform_int_distribution<int32_t> grey(0, trial % 3 == 0 ? 3 : 255);
    for (int32_t &x : v) {
      x = grey(rng);
    }
    std::vector<int32_t> sorted = v;
    std::sort(sorted.begin(), sorted.end());
    const int32_t k = n >> 1;
    std::vector<int32_t> work = v;
    const int32_t got = select_kth(work.data(), 0, n, k);
    EXPECT_EQ(got, sorted[k == 0 ? 0 : k - 1]) << "trial " << trial;
    std::sort(work.begin(), work.end());
    EXPECT_EQ(work, sorted); // only reordered
  }
}

} // namespace
