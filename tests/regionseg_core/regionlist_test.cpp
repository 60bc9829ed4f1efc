// The region list of the leaf blocks: list order, statistics, and the
// adjacency lists with their exact order, on the worked example and against
// a brute-force neighbour search on random images in 2-D and 3-D.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "region_fixture.h"

using regiontest::find_code;
using regiontest::list_codes;
using regiontest::neighbour_codes;
using regiontest::region_code;
using regiontest::RegionRun;

namespace {

TEST(RegionList, WorkedExampleOrderAndLists) {
  RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
  ASSERT_TRUE(run.ordered());
  const seg_context &ctx = run.ctx;
  const region_store &s = ctx.regions;
  using codes = std::vector<block_code>;
  EXPECT_EQ(list_codes(ctx), (codes{0x20, 0x30, 0x40, 0x11, 0x12, 0x13, 0x14}));
  EXPECT_EQ(neighbour_codes(ctx, find_code(ctx, 0x20)), (codes{0x14, 0x12, 0x40}));
  EXPECT_EQ(neighbour_codes(ctx, find_code(ctx, 0x12)), (codes{0x11, 0x14, 0x20}));
  // The first block has no low side: only the blocks that found it.
  EXPECT_EQ(neighbour_codes(ctx, find_code(ctx, 0x11)), (codes{0x12, 0x13}));
  for (region_id r = 1; r <= s.count; ++r) {
    EXPECT_EQ(forward_of(s, r), r);
    EXPECT_EQ(s.last_member[r], r);
    EXPECT_EQ(s.next_member[r], 0u);
    EXPECT_EQ(s.hot[r].mark, 0u);
    // One run, closed by its end cell.
    cell_id end = s.lists[r].first;
    ASSERT_NE(end, 0u);
    while (s.cells[end] < cell_jump) {
      ++end;
    }
    EXPECT_EQ(s.cells[end], cell_end + (r - 1));
    EXPECT_EQ(s.lists[r].resume, 0u);
  }
  // Criterion 1 keeps the block range.
  EXPECT_EQ(s.hot[find_code(ctx, 0x30)].stat_a, 50);
  EXPECT_EQ(s.hot[find_code(ctx, 0x30)].stat_b, 50);
}

TEST(RegionList, MeanCriterionCarriesSumAndPixelCount) {
  std::vector<int32_t> img = regiontest::worked_example_image();
  img[2] = 101; // quadrant 0x20 holds 100 x 3 and 101
  RegionRun run(img, 4, 1, 2, 2, 1, 2, 10);
  ASSERT_TRUE(run.ordered());
  EXPECT_EQ(run.hot(find_code(run.ctx, 0x20)).stat_a, 401);
  EXPECT_EQ(run.hot(find_code(run.ctx, 0x20)).stat_b, 4);
  EXPECT_EQ(run.hot(find_code(run.ctx, 0x12)).stat_a, 52);
  EXPECT_EQ(run.hot(find_code(run.ctx, 0x12)).stat_b, 1);
  EXPECT_EQ(run.ctx.regions.size[find_code(run.ctx, 0x20)], 4);
}

TEST(RegionList, LowNeighbourCodes) {
  RegionRun flat({0}, 1, 1, 2, 2, 0, 1, 0);
  // Siblings on the low side, a climb through the parent, the border.
  EXPECT_EQ(low_neighbour_code(flat.ctx, 0x12, 0, DIR_X), 0x11u);
  EXPECT_EQ(low_neighbour_code(flat.ctx, 0x21, 0, DIR_X), 0x12u);
  EXPECT_EQ(low_neighbour_code(flat.ctx, 0x31, 0, DIR_Y), 0x13u);
  EXPECT_EQ(low_neighbour_code(flat.ctx, 0x11, 0, DIR_X), 0u);
  EXPECT_EQ(low_neighbour_code(flat.ctx, 0x20, 1, DIR_Y), 0u);
  // A single plane has no z neighbours.
  EXPECT_EQ(low_neighbour_code(flat.ctx, 0x44, 0, DIR_Z), 0u);

  // 3-D, levels 2, flat_levels 1: level 1 has 8 children, level 0 four.
  RegionRun deep({0}, 1, 1, 2, 1, 0, 1, 0);
  EXPECT_EQ(low_neighbour_code(deep.ctx, 0x50, 1, DIR_Z), 0x10u);
  // A flat pixel climbs to the deep parent and keeps its place in the plane.
  EXPECT_EQ(low_neighbour_code(deep.ctx, 0x53, 0, DIR_Z), 0x13u);
  EXPECT_EQ(low_neighbour_code(deep.ctx, 0x13, 0, DIR_Z), 0u);
}

// The low neighbour by the recursive rule: the sibling below when there is
// one, else the parent's low neighbour's child on the high side.
block_code low_neighbour_by_parents(const seg_context &ctx, block_code code, int32_t level,
                                    int32_t d) {
  if (code == 0) {
    return 0;
  }
  const block_code k = code_digit(code, level);
  if (k != 0 && (((k - 1) >> d) & 1u) != 0) {
    return set_digit(k - (block_code{1} << d), level, code);
  }
  const block_code parent =
      low_neighbour_by_parents(ctx, clear_digits_below(code, level + 1), level + 1, d);
  if (parent == 0) {
    return 0;
  }
  const block_code step = (d == DIR_Z && level < ctx.flat_levels) ? 0u : block_code{1} << d;
  return set_digit(k + step, level, parent);
}

TEST(RegionList, LowNeighboursMatchTheRuleByParentsForEveryTreeShape) {
  std::mt19937 rng(5);
  for (int32_t levels = 1; levels <= max_levels; ++levels) {
    for (int32_t flat = 0; flat <= levels; ++flat) {
      seg_context ctx{};
      ctx.levels = levels;
      ctx.flat_levels = flat;
      for (int round = 0; round < 500; ++round) {
        const int32_t level = static_cast<int32_t>(rng() % static_cast<uint32_t>(levels));
        block_code code = 0;
        for (int32_t i = level; i < levels; ++i) {
          code |= block_code{1u + rng() % (i < flat ? 4u : 8u)} << (4 * i);
        }
        for (int32_t d = DIR_X; d <= DIR_Z; ++d) {
          ASSERT_EQ(low_neighbour_code(ctx, code, level, d),
                    low_neighbour_by_parents(ctx, code, level, d))
              << std::hex << code << " level " << level << " direction " << d;
        }
      }
    }
  }
}

// Pixel maps of the leaf blocks, from the regions' own geometry: each
// block's pixels of the image, from its digits.
std::vector<region_id> block_map(const seg_context &ctx) {
  std::vector<region_id> map(ctx.image_voxels, 0);
  for (region_id r = 1; r <= ctx.regions.count; ++r) {
    const block_code code = region_code(ctx, r);
    const int32_t level = code_level(ctx, code);
    int32_t x0 = 0, y0 = 0, z0 = 0;
    for (int32_t i = level; i < ctx.levels; ++i) {
      const uint32_t k = static_cast<uint32_t>(code_digit(code, i)) - 1;
      x0 += (k & 1u) ? 1 << i : 0;
      y0 += (k & 2u) ? 1 << i : 0;
      z0 += (k & 4u) && i >= ctx.flat_levels ? 1 << (i - ctx.flat_levels) : 0;
    }
    EXPECT_EQ(x0 + y0 * ctx.dim_x + z0 * ctx.plane_stride, ctx.regions.origin[r]);
    const int32_t side = 1 << level;
    const int32_t planes = level <= ctx.flat_levels ? 1 : 1 << (level - ctx.flat_levels);
    int32_t pixels = 0;
    for (int32_t z = z0; z < std::min(z0 + planes, ctx.dim_z); ++z) {
      for (int32_t y = y0; y < std::min(y0 + side, ctx.dim_y); ++y) {
        for (int32_t x = x0; x < std::min(x0 + side, ctx.dim_x); ++x) {
          const int32_t i = x + y * ctx.dim_x + z * ctx.plane_stride;
          EXPECT_EQ(map[i], 0u) << "pixel covered twice";
          map[i] = r;
          ++pixels;
        }
      }
    }
    EXPECT_EQ(ctx.regions.size[r], pixels);
  }
  return map;
}

// Checks the region list of a random image against a brute-force search:
// list order (larger blocks first, code order within a level), and every
// adjacency list = its low-side neighbours in reverse discovery order (x,
// then y, then z; code order within a direction), then its upper-side
// neighbours in code order.
void check_region_list(RegionRun &run) {
  const seg_context &ctx = run.ctx;
  ASSERT_TRUE(run.ordered());
  if (ctx.regions.count == 0) {
    return; // one block
  }
  std::vector<block_code> order;
  for (region_id r = 1; r <= ctx.regions.count; ++r) {
    order.push_back(region_code(ctx, r));
  }
  std::vector<block_code> expected_order = order;
  std::sort(expected_order.begin(), expected_order.end(), [&](block_code ca, block_code cb) {
    const int32_t la = code_level(ctx, ca);
    const int32_t lb = code_level(ctx, cb);
    return la != lb ? la > lb : ca < cb;
  });
  ASSERT_EQ(order, expected_order);

  const std::vector<region_id> map = block_map(ctx);
  for (region_id p : map) {
    ASSERT_NE(p, 0u) << "pixel not covered";
  }
  // low[B][d]: the blocks on B's low side in direction d.
  std::map<region_id, std::set<block_code>> low[3];
  std::map<region_id, std::set<block_code>> up;
  const int32_t strides[3] = {1, ctx.dim_x, ctx.plane_stride};
  const int32_t sizes[3] = {ctx.dim_x, ctx.dim_y, ctx.dim_z};
  for (int32_t z = 0; z < ctx.dim_z; ++z) {
    for (int32_t y = 0; y < ctx.dim_y; ++y) {
      for (int32_t x = 0; x < ctx.dim_x; ++x) {
        const int32_t pos[3] = {x, y, z};
        const int32_t i = x + y * ctx.dim_x + z * ctx.plane_stride;
        for (int d = 0; d < 3; ++d) {
          if (pos[d] > 0 && map[i - strides[d]] != map[i]) {
            low[d][map[i]].insert(region_code(ctx, map[i - strides[d]]));
          }
          if (pos[d] + 1 < sizes[d] && map[i + strides[d]] != map[i]) {
            up[map[i]].insert(region_code(ctx, map[i + strides[d]]));
          }
        }
      }
    }
  }
  const region_store &s = ctx.regions;
  for (region_id b = 1; b <= s.count; ++b) {
    std::vector<block_code> discovered;
    for (int d = 0; d < 3; ++d) {
      discovered.insert(discovered.end(), low[d][b].begin(), low[d][b].end());
    }
    std::vector<block_code> expected(discovered.rbegin(), discovered.rend());
    expected.insert(expected.end(), up[b].begin(), up[b].end());
    ASSERT_EQ(neighbour_codes(ctx, b), expected)
        << "list of block 0x" << std::hex << region_code(ctx, b);
  }
}

// A blocky image with noisy patches, so that the block tree mixes merged
// blocks, start blocks and split pixels.
std::vector<int32_t> random_image(std::mt19937 &rng, int32_t d1, int32_t d2, int32_t d3) {
  std::vector<int32_t> img(static_cast<size_t>(d1) * d2 * d3);
  std::uniform_int_distribution<int32_t> grey(0, 255);
  const int32_t base = grey(rng);
  for (auto &v : img) {
    v = base;
  }
  const int patches = 1 + static_cast<int>(rng() % 6);
  for (int p = 0; p < patches; ++p) {
    const int32_t w = 1 + static_cast<int32_t>(rng() % d1);
    const int32_t x0 = static_cast<int32_t>(rng() % d1);
    const int32_t y0 = static_cast<int32_t>(rng() % d2);
    const int32_t z0 = static_cast<int32_t>(rng() % d3);
    const int32_t value = grey(rng);
    const bool noisy = rng() % 2 == 0;
    for (int32_t z = z0; z < std::min(d3, z0 + w); ++z) {
      for (int32_t y = y0; y < std::min(d2, y0 + w); ++y) {
        for (int32_t x = x0; x < std::min(d1, x0 + w); ++x) {
          img[x + y * d1 + z * d1 * d2] = noisy ? grey(rng) : value;
        }
      }
    }
  }
  return img;
}

// A side of an image in a tree of the given side: every other round the
// tree's own, else anything that it covers.
int32_t random_side(std::mt19937 &rng, int round, int32_t side) {
  return round % 2 == 0 ? side : 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(side));
}

TEST(RegionList, RandomPlanesMatchBruteForceAdjacency) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 80; ++round) {
    const int32_t levels = 1 + round % 5;
    const int32_t start = static_cast<int32_t>(rng() % levels);
    const int32_t d1 = random_side(rng, round, 1 << levels);
    const int32_t d2 = random_side(rng, round, 1 << levels);
    RegionRun run(random_image(rng, d1, d2, 1), d1, d2, 1, levels, levels, start, 1,
                  static_cast<int32_t>(rng() % 40));
    SCOPED_TRACE(std::to_string(d1) + " x " + std::to_string(d2) + ", levels " +
                 std::to_string(levels) + ", start " + std::to_string(start));
    check_region_list(run);
    if (HasFatalFailure()) {
      return;
    }
  }
}

TEST(RegionList, RandomVolumesMatchBruteForceAdjacency) {
  std::mt19937 rng(77);
  for (int round = 0; round < 80; ++round) {
    const int32_t levels = 1 + round % 4;
    const int32_t flat = static_cast<int32_t>(rng() % (levels + 1));
    const int32_t start = static_cast<int32_t>(rng() % levels);
    const int32_t d1 = random_side(rng, round, 1 << levels);
    const int32_t d2 = random_side(rng, round, 1 << levels);
    const int32_t d3 = random_side(rng, round, 1 << (levels - flat));
    RegionRun run(random_image(rng, d1, d2, d3), d1, d2, d3, levels, flat, start, 1,
                  static_cast<int32_t>(rng() % 40));
    SCOPED_TRACE(std::to_string(d1) + " x " + std::to_string(d2) + " x " + std::to_string(d3) +
                 ", levels " + std::to_string(levels) + ", flat " + std::to_string(flat) +
                 ", start " + std::to_string(start));
    check_region_list(run);
    if (HasFatalFailure()) {
      return;
    }
  }
}

// Every allocation of the ordering can fail; the stage then says so, and
// the store (the fixture's to release) holds everything.
TEST(RegionList, EveryFailedAllocationFailsTheStage) {
  std::mt19937 rng(5);
  const std::vector<int32_t> img = random_image(rng, 8, 8, 2);
  for (long n = 1;; ++n) {
    RegionRun run(img, 8, 2, 3, 2, 1, 1, 5);
    block_table table = run.blocks();
    seg_fail_allocation_at(n);
    const int32_t status = order_region_list(run.ctx, table);
    const long made = seg_allocation_count();
    seg_fail_allocation_at(0);
    seg_free(table);
    if (status == SEG_OK) {
      EXPECT_LT(made, n);
      break;
    }
    EXPECT_EQ(run.ctx.ending, SEG_FAIL);
  }
}

} // namespace
