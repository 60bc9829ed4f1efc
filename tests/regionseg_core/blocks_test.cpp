// Block codes, geometry, painting and the block stages: initial blocks,
// merging and splitting.
#include "balanced_test.h"
#include "blocks_support.h"

#include <algorithm>
#include <random>

using segtest::chain_codes;
using segtest::Context;
using segtest::test_params;

namespace {

class Blocks : public segtest::BalancedTest {};

seg_params flat2d(int32_t levels, int32_t start) {
  seg_params g = test_params();
  g.levels = levels;
  g.flat_levels = levels;
  g.start_level = start;
  return g;
}

TEST_F(Blocks, CodeArithmetic) {
  Context c(flat2d(2, 0));
  EXPECT_EQ(code_level(c.ctx, 0), 2);
  EXPECT_EQ(code_level(c.ctx, 0x10), 1);
  EXPECT_EQ(code_level(c.ctx, 0x23), 0);
  EXPECT_EQ(next_code(c.ctx, 0x14, 0), 0x21u);
  EXPECT_EQ(next_code(c.ctx, 0x44, 0), 0u);
  EXPECT_EQ(next_code(c.ctx, 0x20, 1), 0x30u);
  EXPECT_EQ(start_slot(c.ctx, 0x23, 0), 2 + 1 * 4); // x 2, y 1
  EXPECT_EQ(start_slot(c.ctx, 0x20, 1), 2);
  EXPECT_EQ(set_digit(0, 0, 0x23), 0x20u);
  EXPECT_EQ(set_digit(4, 1, 0x23), 0x43u);

  // Eight levels: the root's digit is 0 and no shift reaches 32 bits.
  seg_params g = test_params();
  g.levels = 3;
  g.flat_levels = 0;
  Context deep(g);
  deep.ctx.levels = 8;
  EXPECT_EQ(code_digit(0x81111111u, 8), 0u);
  EXPECT_EQ(code_digit(0x81111111u, 7), 8u);
  EXPECT_EQ(clear_digits_below(0x81111111u, 8), 0u);
  EXPECT_EQ(clear_digits_below(0x81111111u, 7), 0x80000000u);
  EXPECT_EQ(set_digit(0, 8, 0x81111111u), 0x81111111u);
  EXPECT_EQ(code_level(deep.ctx, 0), 8);
  EXPECT_EQ(code_level(deep.ctx, 0x80000000u), 7);
}

TEST_F(Blocks, ExtentsAndOriginsOfFlatAndDeepChildren) {
  seg_params g = test_params(); // 8 x 8 x 4: levels 0 flat, 1 and 2 deep
  g.levels = 3;
  g.flat_levels = 1;
  Context c(g);
  const block_box e0 = present_box(c.ctx, 0x111, 0);
  EXPECT_EQ(e0.width, 1);
  EXPECT_EQ(e0.height, 8);
  EXPECT_EQ(e0.depth, 64);
  EXPECT_EQ(e0.voxels, 1);
  const block_box e2 = present_box(c.ctx, 0x800, 2);
  EXPECT_EQ(e2.start, 4 + 4 * 8 + 2 * 64);
  EXPECT_EQ(e2.width, 4);
  EXPECT_EQ(e2.height, 32);
  EXPECT_EQ(e2.depth, 128);
  EXPECT_EQ(e2.voxels, 32);

  // Child 8 of a deep parent starts 2^L further in x and y and 2^(L - flat) planes in z.
  const block_origin_t o8 = block_origin(c.ctx, 0x180, 1);
  EXPECT_EQ(o8.x, 2);
  EXPECT_EQ(o8.y, 2 * 8);
  EXPECT_EQ(o8.z, 1 * 64);
  const block_origin_t p = block_origin(c.ctx, 0x100, 2);
  EXPECT_EQ(p.x + p.y + p.z, 0);
  // Child 4 of a flat parent: further in x and y, in the parent's plane.
  const block_origin_t o4 = block_origin(c.ctx, 0x184, 0);
  EXPECT_EQ(o4.x, 2 + 1);
  EXPECT_EQ(o4.y, (2 + 1) * 8);
  EXPECT_EQ(o4.z, 64);
}

TEST_F(Blocks, PaintingATwoPlaneBlockChangesExactlyItsPixels) {
  seg_params g = test_params();
  g.levels = 3;
  g.flat_levels = 1;
  Context c(g);
  std::fill(c.ctx.snapshot_cur->labels, c.ctx.snapshot_cur->labels + c.ctx.image_voxels, 0);
  paint_block(c.ctx, 0x600, 2, 7); // x 4..7, y 0..3, z 2..3
  int painted = 0;
  for (int z = 0; z < 4; ++z) {
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        const bool inside = x >= 4 && y < 4 && z >= 2;
        EXPECT_EQ(c.label(x, y, z), inside ? 7 : 0) << x << "," << y << "," << z;
        painted += inside;
      }
    }
  }
  EXPECT_EQ(painted, 32);
}

TEST_F(Blocks, EveryThousandAndFirstPaintEventOpensASnapshot) {
  Context c(flat2d(2, 0));
  EXPECT_EQ(c.ctx.snapshot_count, 1);
  c.ctx.snapshot_cur->labels[0] = 5;
  count_paint_event(c.ctx); // the first event opens snapshot 2
  EXPECT_EQ(c.ctx.snapshot_count, 2);
  EXPECT_EQ(c.ctx.snapshot_cur->labels[0], 5);
  c.ctx.snapshot_cur->labels[0] = 6;
  for (int i = 0; i < 1000; ++i) {
    count_paint_event(c.ctx);
  }
  EXPECT_EQ(c.ctx.snapshot_count, 2);
  count_paint_event(c.ctx);
  EXPECT_EQ(c.ctx.snapshot_count, 3);
  // Frozen snapshots keep the painting of their time.
  EXPECT_EQ(c.ctx.snapshot_head->labels[0], 5);
  EXPECT_EQ(c.ctx.snapshot_head->next->labels[0], 6);
  EXPECT_EQ(c.ctx.snapshot_head->next->next, c.ctx.snapshot_cur);

  // A copy that cannot be had is not opened; painting goes on.
  seg_fail_allocation_at(1);
  for (int i = 0; i < 1001; ++i) {
    count_paint_event(c.ctx);
  }
  EXPECT_EQ(c.ctx.snapshot_count, 3);
  EXPECT_EQ(c.ctx.snapshot_cur->next, nullptr);
}

TEST_F(Blocks, WithoutSnapshotOutputNoCopyIsEverMade) {
  Context c(flat2d(2, 0), false);
  const long live = seg_live_allocations();
  for (int i = 0; i < 5000; ++i) {
    count_paint_event(c.ctx);
  }
  EXPECT_EQ(c.ctx.snapshot_count, 1);
  EXPECT_EQ(seg_live_allocations(), live);
}

TEST_F(Blocks, InitialChainOfSixteenPixels) {
  Context c(flat2d(2, 0));
  block_table t = nullptr;
  ASSERT_EQ(build_initial_blocks(c.ctx, t), SEG_OK);
  const std::vector<block_code> expected = {0x11, 0x12, 0x13, 0x14, 0x21, 0x22, 0x23, 0x24,
                                            0x31, 0x32, 0x33, 0x34, 0x41, 0x42, 0x43, 0x44};
  EXPECT_EQ(chain_codes(c.ctx, t), expected);
  for (block_id n = t[0]; n != 0; n = c.ctx.blocks[n].next_block) {
    EXPECT_EQ(t[start_slot(c.ctx, c.ctx.blocks[n].code, 0)], n);
  }
  seg_free(t);
}

// Quadrant 2 of a 4 x 4 image is uniform, the others alternate 0 and 200.
TEST_F(Blocks, MergeReplacesAGroupAndJumpsOverFailedOnes) {
  Context c(flat2d(2, 0));
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      c.pixel(x, y) = (x >= 2 && y < 2) ? 50 : ((x + y) % 2) * 200;
    }
  }
  block_table t = nullptr;
  ASSERT_EQ(build_initial_blocks(c.ctx, t), SEG_OK);
  paint_checkerboard(c.ctx);
  const int32_t events = c.ctx.paint_events;
  merge_blocks(c.ctx, t);
  const std::vector<block_code> expected = {0x11, 0x12, 0x13, 0x14, 0x20, 0x31, 0x32,
                                            0x33, 0x34, 0x41, 0x42, 0x43, 0x44};
  EXPECT_EQ(chain_codes(c.ctx, t), expected);
  const block_id merged = t[start_slot(c.ctx, 0x20, 1)];
  EXPECT_EQ(c.ctx.blocks[merged].code, 0x20u);
  EXPECT_EQ(c.ctx.blocks[merged].stat_a, 50);
  EXPECT_EQ(c.ctx.blocks[merged].stat_b, 50);
  EXPECT_EQ(c.ctx.paint_events, events + 1);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      const int checker = 1 + (x & 1) + 2 * (y & 1);
      EXPECT_EQ(c.label(x, y), (x >= 2 && y < 2) ? 2 : checker);
    }
  }
  seg_free(t);
}

TEST_F(Blocks, UniformImageMergesIntoTheRootPaintedZero) {
  Context c(flat2d(2, 0));
  std::fill(c.image.begin(), c.image.end(), 9);
  block_table t = nullptr;
  ASSERT_EQ(build_initial_blocks(c.ctx, t), SEG_OK);
  paint_checkerboard(c.ctx);
  merge_blocks(c.ctx, t);
  EXPECT_EQ(chain_codes(c.ctx, t), std::vector<block_code>{0});
  EXPECT_EQ(c.ctx.blocks[t[0]].stat_a, 9);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(c.ctx.snapshot_cur->labels[i], 0);
  }
  seg_free(t);
}

TEST_F(Blocks, AFailingThirdSiblingKeepsItsGroupAndThePassGoesOn) {
  Context c(flat2d(2, 0));
  std::fill(c.image.begin(), c.image.end(), 100);
  c.pixel(0, 1) = 150; // 0x13, third sibling of quadrant 1
  block_table t = nullptr;
  ASSERT_EQ(build_initial_blocks(c.ctx, t), SEG_OK);
  paint_checkerboard(c.ctx);
  merge_blocks(c.ctx, t);
  // Quadrants 2 to 4 merge; quadrant 1 stays, so the level-1 pass merges nothing.
  const std::vector<block_code> expected = {0x11, 0x12, 0x13, 0x14, 0x20, 0x30, 0x40};
  EXPECT_EQ(chain_codes(c.ctx, t), expected);
  seg_free(t);
}

TEST_F(Blocks, SplittingALevelTwoBlockGivesFourChildren) {
  Context c(flat2d(3, 2)); // 8 x 8, start blocks 4 x 4
  const int values[4] = {10, 100, 150, 200};
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      c.pixel(x, y) = values[(x >= 2) + 2 * (y >= 2)];
    }
  }
  block_table t = nullptr;
  ASSERT_EQ(build_initial_blocks(c.ctx, t), SEG_OK);
  paint_checkerboard(c.ctx);
  merge_blocks(c.ctx, t);
  const int32_t events = c.ctx.paint_events;
  ASSERT_EQ(split_blocks(c.ctx, t), SEG_OK);
  const std::vector<block_code> expected = {0x110, 0x120, 0x130, 0x140, 0x200, 0x300, 0x400};
  EXPECT_EQ(chain_codes(c.ctx, t), expected);
  EXPECT_EQ(c.ctx.paint_events, events + 4);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      EXPECT_EQ(c.label(x, y), 1 + (x >= 2) + 2 * (y >= 2));
    }
  }
  for (block_id n = t[0]; n != 0; n = c.ctx.blocks[n].next_block) {
    EXPECT_GE(c.ctx.blocks[n].stat_a, 0);
  }
  EXPECT_EQ(c.ctx.blocks[t[0]].stat_a, 10);
  seg_free(t);
}

TEST_F(Blocks, ADeepBlockSplitsIntoEightChildren) {
  seg_params g = test_params(); // 8 x 8 x 4, start blocks 4 x 4 x 2
  g.levels = 3;
  g.flat_levels = 1;
  g.start_level = 2;
  Context c(g);
  for (int z = 0; z < 2; ++z) {
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        c.pixel(x, y, z) = 30 * ((x >= 2) + 2 * (y >= 2) + 4 * z);
      }
    }
  }
  block_table t = nullptr;
  ASSERT_EQ(build_initial_blocks(c.ctx, t), SEG_OK);
  paint_checkerboard(c.ctx);
  merge_blocks(c.ctx, t);
  ASSERT_EQ(split_blocks(c.ctx, t), SEG_OK);
  std::vector<block_code> codes = chain_codes(c.ctx, t);
  ASSERT_EQ(codes.size(), 8u + 7u);
  for (uint32_t k = 1; k <= 8; ++k) {
    EXPECT_EQ(codes[k - 1], 0x100u + (k << 4));
  }
  // The last child starts half a block further in all three dimensions.
  EXPECT_EQ(c.label(2, 2, 1), 8);
  EXPECT_EQ(c.label(3, 3, 1), 8);
  EXPECT_EQ(c.label(1, 1, 0), 1);
  EXPECT_EQ(c.label(2, 0, 1), 6);
  seg_free(t);
}

// A 3 x 2 image in the 4 x 4 tree, single-pixel start blocks: the present
// blocks are the six pixels (0x11 to 0x14, 0x21, 0x23), quadrant 2 holds
// two of them, quadrants 3 and 4 none.  Criterion 5 with noise 1 and size
// factor 2 gives level 1 the limit 1 + 2 / sqrt(4) = 2: the pair 50, 52
// (S 102, Q 5204, v = (5204 - 102^2 / 2) / 1 = 2) merges into quadrant 2,
// the pair 50, 53 (v = 4.5) does not.
TEST_F(Blocks, ImageOfThreeByTwoPixels) {
  for (const int32_t second : {52, 53}) {
    seg_params g = flat2d(2, 0);
    g.criterion = CRITERION_SCALED_VARIANCE;
    g.noise_sigma = 1;
    g.size_factor = 2;
    Context c(g, true, 3, 2, 1);
    const int32_t values[6] = {10, 12, 50, 11, 13, second};
    std::copy(values, values + 6, c.image.begin());
    ASSERT_EQ(set_up_criterion(c.ctx), SEG_OK);
    EXPECT_EQ(present_voxels(c.ctx, 0x20, 1), 2);
    EXPECT_EQ(present_voxels(c.ctx, 0x10, 1), 4);
    EXPECT_EQ(present_voxels(c.ctx, 0, 2), 6);
    EXPECT_FALSE(block_present(c.ctx, 0x30, 1));
    block_table t = nullptr;
    ASSERT_EQ(build_initial_blocks(c.ctx, t), SEG_OK);
    EXPECT_EQ(chain_codes(c.ctx, t), (std::vector<block_code>{0x11, 0x12, 0x13, 0x14, 0x21, 0x23}));
    for (block_id n = t[0]; n != 0; n = c.ctx.blocks[n].next_block) {
      EXPECT_EQ(t[start_slot(c.ctx, c.ctx.blocks[n].code, 0)], n);
    }
    // The checkerboard of the present pixels: rows 1 2 1 and 3 4 3.
    paint_checkerboard(c.ctx);
    EXPECT_EQ(std::vector<int32_t>(c.ctx.snapshot_cur->labels, c.ctx.snapshot_cur->labels + 6),
              (std::vector<int32_t>{1, 2, 1, 3, 4, 3}));
    const int32_t events = c.ctx.paint_events;
    merge_blocks(c.ctx, t);
    if (second == 52) {
      // Two groups merge, painted with their digits; the root's does not.
      EXPECT_EQ(chain_codes(c.ctx, t), (std::vector<block_code>{0x10, 0x20}));
      EXPECT_EQ(c.ctx.paint_events, events + 2);
      EXPECT_EQ(std::vector<int32_t>(c.ctx.snapshot_cur->labels, c.ctx.snapshot_cur->labels + 6),
                (std::vector<int32_t>{1, 1, 2, 1, 1, 2}));
    } else {
      EXPECT_EQ(chain_codes(c.ctx, t), (std::vector<block_code>{0x10, 0x21, 0x23}));
    }
    seg_free(t);
  }
}

TEST_F(Blocks, CheckerboardOfStartBlocks) {
  Context c(flat2d(3, 1));
  paint_checkerboard(c.ctx);
  const int row01[8] = {1, 1, 2, 2, 1, 1, 2, 2};
  const int row23[8] = {3, 3, 4, 4, 3, 3, 4, 4};
  for (int x = 0; x < 8; ++x) {
    EXPECT_EQ(c.label(x, 0), row01[x]);
    EXPECT_EQ(c.label(x, 1), row01[x]);
    EXPECT_EQ(c.label(x, 2), row23[x]);
    EXPECT_EQ(c.label(x, 3), row23[x]);
    EXPECT_EQ(c.label(x, 4), row01[x]);
  }
  EXPECT_EQ(c.ctx.snapshot_count, 2);
}

// With a limit below zero every pixel fails; single pixels are kept as
// homogeneous leaves instead of being split below level 0.
TEST_F(Blocks, NoSplitBelowSinglePixels) {
  for (int32_t start : {0, 1}) {
    seg_params g = flat2d(2, start);
    g.criterion = 5;
    Context c(g);
    for (int i = 0; i < 16; ++i) {
      c.image[i] = 3 * i;
    }
    c.ctx.variance_limit = static_cast<float *>(seg_calloc(3, sizeof(float)));
    std::fill(c.ctx.variance_limit, c.ctx.variance_limit + 3, -1.0f);
    block_table t = nullptr;
    ASSERT_EQ(build_initial_blocks(c.ctx, t), SEG_OK);
    paint_checkerboard(c.ctx);
    merge_blocks(c.ctx, t);
    ASSERT_EQ(split_blocks(c.ctx, t), SEG_OK);
    int count = 0;
    for (block_id id = t[0]; id != 0; id = c.ctx.blocks[id].next_block, ++count) {
      const block_record &n = c.ctx.blocks[id];
      EXPECT_EQ(code_level(c.ctx, n.code), 0);
      const block_origin_t o = block_origin(c.ctx, n.code, 0);
      const int64_t v = c.image[o.x + o.y + o.z];
      EXPECT_EQ(n.stat_a, v);
      EXPECT_EQ(n.stat_b, v * v);
    }
    EXPECT_EQ(count, 16);
    seg_free(t);
  }
}

// A store that cannot grow while splitting fails the stage cleanly: the
// driver's release of the store then frees everything.
TEST_F(Blocks, SplittingOutOfMemoryFailsTheStage) {
  Context c(flat2d(4, 2), false);
  for (int i = 0; i < 256; ++i) {
    c.image[i] = (i * 37) % 251;
  }
  block_table t = nullptr;
  ASSERT_EQ(build_initial_blocks(c.ctx, t), SEG_OK);
  merge_blocks(c.ctx, t);
  seg_fail_allocation_at(1);
  EXPECT_EQ(split_blocks(c.ctx, t), SEG_FAIL);
  seg_fail_allocation_at(0);
  seg_free(t);
}

} // namespace

namespace {

// Where a block starts, digit by digit: the rule block_origin computes.
block_origin_t origin_by_digits(const seg_context &ctx, uint32_t code, int32_t level) {
  int32_t x = 0, y = 0, z = 0;
  for (int32_t i = level; i < ctx.levels; ++i) {
    const uint32_t k = code_digit(code, i) - 1;
    x += (k & 1u) ? int32_t{1} << i : 0;
    y += (k & 2u) ? int32_t{1} << i : 0;
    z += ((k & 4u) && i >= ctx.flat_levels) ? int32_t{1} << (i - ctx.flat_levels) : 0;
  }
  return {x, y * ctx.dim_x, z * ctx.plane_stride};
}

} // namespace

TEST(BlockGeometry, OriginsMatchTheDigitRuleForEveryTreeShape) {
  std::mt19937 rng(20261209);
  for (int32_t levels = 1; levels <= 8; ++levels) {
    for (int32_t flat = 0; flat <= levels; ++flat) {
      seg_context ctx{};
      ctx.levels = levels;
      ctx.flat_levels = flat;
      ctx.dim_x = int32_t{1} << levels;
      ctx.plane_stride = ctx.dim_x * ctx.dim_x;
      for (int round = 0; round < 2000; ++round) {
        const int32_t level = static_cast<int32_t>(rng() % static_cast<uint32_t>(levels + 1));
        // Valid codes (digits 1 to the child count from level up, 0 below)
        // and, every fourth round, arbitrary nibbles.
        uint32_t code = 0;
        for (int32_t i = 0; i < 8; ++i) {
          const uint32_t children = i < flat ? 4u : 8u;
          const uint32_t digit = round % 4 == 3               ? rng() % 16u
                                 : (i >= level && i < levels) ? 1u + rng() % children
                                                              : 0u;
          code |= digit << (4 * i);
        }
        const block_origin_t got = block_origin(ctx, code, level);
        const block_origin_t want = origin_by_digits(ctx, code, level);
        ASSERT_EQ(got.x, want.x) << std::hex << code << " level " << level;
        ASSERT_EQ(got.y, want.y) << std::hex << code << " level " << level;
        ASSERT_EQ(got.z, want.z) << std::hex << code << " level " << level;
        // Within an ancestor: the digits from level up to top only, unscaled.
        const int32_t top =
            level + static_cast<int32_t>(rng() % static_cast<uint32_t>(levels - level + 1));
        seg_context up = ctx;
        up.levels = top;
        const block_origin_t part = origin_by_digits(up, code, level);
        const block_origin_t steps = block_steps(ctx, code, level, top);
        ASSERT_EQ(steps.x, part.x) << std::hex << code << " top " << top;
        ASSERT_EQ(steps.y * ctx.dim_x, part.y) << std::hex << code << " top " << top;
        ASSERT_EQ(steps.z * ctx.plane_stride, part.z) << std::hex << code << " top " << top;
      }
    }
  }
}

// The block store grows keeping the blocks it holds, hands out ids from 1,
// and does not grow when the allocation hook refuses.
TEST_F(Blocks, StoreGrowsKeepingItsBlocks) {
  seg_context ctx{};
  for (uint32_t i = 1; i <= 5000; ++i) {
    ASSERT_TRUE(reserve_blocks(ctx, i));
    const block_id n = take_reserved_blocks(ctx, 1);
    ASSERT_EQ(n, i);
    ctx.blocks[n] = block_record{};
    ctx.blocks[n].code = i;
  }
  for (uint32_t i = 1; i <= 5000; ++i) {
    ASSERT_EQ(ctx.blocks[i].code, i);
  }
  seg_fail_allocation_at(1);
  EXPECT_FALSE(reserve_blocks(ctx, size_t{ctx.block_capacity} + 1));
  seg_fail_allocation_at(0);
  EXPECT_TRUE(reserve_blocks(ctx, size_t{ctx.block_capacity} + 1));
  EXPECT_EQ(ctx.blocks[5000].code, 5000u);
  release_records(ctx);
}
