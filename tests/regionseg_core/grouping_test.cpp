// Grouping, small-region elimination, cleaning and sorting on the worked
// example and on small hand-built region lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "region_fixture.h"

using regiontest::find_code;
using regiontest::HandRegions;
using regiontest::list_codes;
using regiontest::neighbour_codes;
using regiontest::RegionRun;

namespace {

using codes = std::vector<block_code>;

// The codes a list refers to once each cell is followed to its live region.
codes resolved_codes(seg_context &ctx, region_id r) {
  codes out;
  for (cell_id c = first_entry(ctx.regions, r); c != 0; c = next_entry(ctx.regions, c)) {
    out.push_back(regiontest::region_code(ctx, resolve_cell(ctx.regions, c)));
  }
  return out;
}

// Runs sequential grouping quietly.
void grouped(RegionRun &run) {
  ASSERT_TRUE(run.ordered());
  testing::internal::CaptureStdout();
  group_sequential(run.ctx);
  testing::internal::GetCapturedStdout();
}

// The labels of the cleaned and sorted regions.
std::vector<int32_t> labels_of(RegionRun &run) {
  clean_region_list(run.ctx);
  EXPECT_EQ(sort_region_list(run.ctx), SEG_OK);
  std::vector<int32_t> labels(run.ctx.image_voxels, -1);
  make_output(run.ctx, labels.data());
  return labels;
}

TEST(Grouping, WorkedExampleSequential) {
  RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
  ASSERT_TRUE(run.ordered());
  testing::internal::CaptureStdout();
  group_sequential(run.ctx);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "finished sequential grouping\n");
  seg_context &ctx = run.ctx;
  const region_store &s = ctx.regions;
  EXPECT_EQ(list_codes(ctx), (codes{0x20, 0x30, 0x11, 0x12}));
  EXPECT_EQ(s.size[find_code(ctx, 0x20)], 9);
  EXPECT_EQ(s.size[find_code(ctx, 0x30)], 5);
  EXPECT_EQ(s.size[find_code(ctx, 0x11)], 1);
  EXPECT_EQ(s.size[find_code(ctx, 0x12)], 1);
  // 0x20 took 0x14 and 0x40: range 100 to 105; 0x30 took 0x13: 48 to 50.
  EXPECT_EQ(run.hot(find_code(ctx, 0x20)).stat_a, 100);
  EXPECT_EQ(run.hot(find_code(ctx, 0x20)).stat_b, 105);
  EXPECT_EQ(run.hot(find_code(ctx, 0x30)).stat_a, 48);
  EXPECT_EQ(run.hot(find_code(ctx, 0x30)).stat_b, 50);
  EXPECT_EQ(neighbour_codes(ctx, find_code(ctx, 0x20)), (codes{0x12, 0x13, 0x30}));
  EXPECT_EQ(resolved_codes(ctx, find_code(ctx, 0x30)), (codes{0x20, 0x11}));
  for (const block_code code : list_codes(ctx)) {
    const region_id r = find_code(ctx, code);
    EXPECT_EQ(run.hot(r).mark & ((1u << flag_bits) - 1), FLAG_DONE);
    EXPECT_FALSE(was_seen(s, r));
  }
  // Painted 0, 1, 2, 3 in list order.
  const int32_t rows[4][4] = {{2, 3, 0, 0}, {1, 0, 0, 0}, {1, 1, 0, 0}, {1, 1, 0, 0}};
  for (int32_t y = 0; y < 4; ++y) {
    for (int32_t x = 0; x < 4; ++x) {
      EXPECT_EQ(run.painted(x, y), rows[y][x]) << x << "," << y;
    }
  }
  EXPECT_EQ(labels_of(run), (std::vector<int32_t>{2, 3, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0}));
}

TEST(Grouping, WorkedExampleEliminationClearingStatistics) {
  RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
  run.ctx.min_region_size = 2;
  run.ctx.keep_small_stats = 0;
  grouped(run);
  seg_context &ctx = run.ctx;
  EXPECT_EQ(eliminate_small_regions(ctx), SEG_OK);
  EXPECT_EQ(list_codes(ctx), (codes{0x20, 0x30, 0x12}));
  const region_id r12 = find_code(ctx, 0x12);
  EXPECT_EQ(run.hot(r12).stat_a, 52);
  EXPECT_EQ(run.hot(r12).stat_b, 52);
  EXPECT_EQ(ctx.regions.size[r12], 2);
  // 0x11 painted with 0x12's label 3.
  EXPECT_EQ(run.painted(0, 0), 3);
  EXPECT_EQ(run.painted(1, 0), 3);
  EXPECT_EQ(labels_of(run), (std::vector<int32_t>{2, 2, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0}));
  EXPECT_EQ(ctx.region_count, 2);
}

TEST(Grouping, EliminationKeepingStatisticsAndExactSize) {
  {
    RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
    run.ctx.min_region_size = 2;
    run.ctx.keep_small_stats = 1;
    grouped(run);
    eliminate_small_regions(run.ctx);
    EXPECT_EQ(run.hot(find_code(run.ctx, 0x12)).stat_a, 52);
    EXPECT_EQ(run.hot(find_code(run.ctx, 0x12)).stat_b, 100);
  }
  {
    // Regions of exactly min_region_size pixels stay.
    RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
    run.ctx.min_region_size = 1;
    grouped(run);
    eliminate_small_regions(run.ctx);
    EXPECT_EQ(list_codes(run.ctx), (codes{0x20, 0x30, 0x11, 0x12}));
  }
  {
    // Everything small: all merge into the last live region.
    RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
    run.ctx.min_region_size = 100;
    grouped(run);
    eliminate_small_regions(run.ctx);
    ASSERT_EQ(list_codes(run.ctx).size(), 1u);
    EXPECT_EQ(run.ctx.regions.size[first_live_region(run.ctx)], 16);
    EXPECT_EQ(labels_of(run), std::vector<int32_t>(16, 0));
    EXPECT_EQ(run.ctx.region_count, 0);
  }
}

TEST(Grouping, JoinTestsAtTheThreshold) {
  RegionRun run({0}, 1, 1, 1, 1, 0, 1, 10);
  HandRegions h(run.ctx, 2);
  const region_id r = 1, n = 2;
  h[r] = region_hot{20, 25, 0};
  h[n] = region_hot{28, 30, 0};
  EXPECT_TRUE(may_join(run.ctx, r, n)); // union 20..30
  EXPECT_FALSE(was_seen(run.ctx.regions, n));
  h[n].stat_b = 31;
  EXPECT_FALSE(may_join(run.ctx, r, n));
  EXPECT_TRUE(was_seen(run.ctx.regions, n));
  end_scan(run.ctx.regions);
  EXPECT_FALSE(was_seen(run.ctx.regions, n));

  run.ctx.criterion = 4;
  h[r] = region_hot{100, 10, 0}; // mean 10
  h[n] = region_hot{40, 2, 0};   // mean 20
  EXPECT_TRUE(may_join(run.ctx, r, n));
  h[n].stat_a = 41;
  EXPECT_FALSE(may_join(run.ctx, r, n));
  join_statistics(run.ctx, h[r], h[n]);
  EXPECT_EQ(h[r].stat_a, 141);
  EXPECT_EQ(h[r].stat_b, 12);
  // Sums past 32 bits keep their value.
  h[r] = region_hot{int64_t(255) << 24, 1 << 24, 0};
  h[n] = region_hot{int64_t(255) << 24, 1 << 24, 0};
  join_statistics(run.ctx, h[r], h[n]);
  EXPECT_EQ(h[r].stat_a, int64_t(255) << 25);
  EXPECT_TRUE(may_join(run.ctx, r, n));
}

TEST(Grouping, DistancesUseWholeNumberMeans) {
  RegionRun run({0}, 1, 1, 1, 1, 0, 2, 10);
  region_hot p{109, 10, 0}; // 10.9
  region_hot n{101, 10, 0}; // 10.1
  EXPECT_EQ(region_distance(run.ctx, p, n), 0);
  n.stat_a = 95;
  EXPECT_EQ(region_distance(run.ctx, p, n), 1);
  run.ctx.criterion = 1;
  p = region_hot{100, 100, 0};
  n = region_hot{48, 50, 0};
  EXPECT_EQ(region_distance(run.ctx, p, n), 52);
  clear_statistics(run.ctx, p);
  EXPECT_EQ(p.stat_a, 255);
  EXPECT_EQ(p.stat_b, 0);
  run.ctx.criterion = 5;
  clear_statistics(run.ctx, p);
  EXPECT_EQ(p.stat_a, 0);
  EXPECT_EQ(p.stat_b, 0);
}

// A finished region met in a parallel sweep loses its marks and is kept; a
// later cell of the same sweep naming it finds it unmarked and may absorb it.
TEST(Grouping, ParallelSweepAbsorbsAFinishedRegionMetTwice) {
  RegionRun run({0, 0, 0, 0}, 2, 1, 1, 1, 0, 1, 100);
  run.ctx.parallel_seeds = 1;
  HandRegions h(run.ctx, 2);
  h.link(1, 2);
  h.link(1, 2);
  h.link(2, 1);
  h.link(2, 1);
  h.done();
  h[2].mark = FLAG_DONE;
  testing::internal::CaptureStdout();
  EXPECT_EQ(group_parallel(run.ctx), SEG_OK);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "finished parallell grouping\nfinished sequential grouping\n");
  EXPECT_EQ(list_codes(run.ctx), (codes{1}));
  EXPECT_EQ(forward_of(run.ctx.regions, 2), 1u);
  EXPECT_EQ(first_entry(run.ctx.regions, 1), 0u);
}

// Two neighbours at the same distance: the earlier cell of the small
// region's list wins, whatever the order of the region list.
TEST(Grouping, EliminationTieGoesToTheEarlierCell) {
  RegionRun run({0, 0, 0, 0}, 2, 1, 1, 1, 0, 1, 0);
  run.ctx.min_region_size = 2;
  HandRegions h(run.ctx, 3);
  const region_id p = 1, near = 2, first = 3;
  h[p] = region_hot{50, 50, 0};
  h[near] = region_hot{40, 40, 0};
  h[first] = region_hot{60, 60, 0};
  h.link(p, first);
  h.link(p, near);
  h.link(near, p);
  h.link(first, p);
  h.done();
  eliminate_small_regions(run.ctx);
  EXPECT_EQ(forward_of(run.ctx.regions, p), first); // p joined the region of its first cell
  EXPECT_EQ(list_codes(run.ctx), (codes{3}));
  EXPECT_EQ(run.ctx.regions.size[first], 3);
  // Both small regions joined with cleared ranges: the target's stays.
  EXPECT_EQ(h[first].stat_a, 60);
  EXPECT_EQ(h[first].stat_b, 60);
}

TEST(Grouping, CleaningCountsAndSortingOrdersTheLiveRegions) {
  RegionRun run({0, 0, 0, 0}, 2, 1, 1, 1, 0, 1, 100);
  HandRegions h(run.ctx, 4);
  h.done();
  region_store &s = run.ctx.regions;
  // b and c were absorbed by d, which holds three pixels, a one.
  set_forward(s, 2, 4);
  set_forward(s, 3, 2);
  s.size[4] = 3;
  clean_region_list(run.ctx);
  EXPECT_EQ(run.ctx.region_count, 1);
  EXPECT_EQ(list_codes(run.ctx), (codes{1, 4}));
  ASSERT_EQ(sort_region_list(run.ctx), SEG_OK);
  EXPECT_EQ(run.ctx.label_of[4], 0);
  EXPECT_EQ(run.ctx.label_of[1], 1);

  // Without its table the sort fails.
  seg_free(run.ctx.label_of);
  run.ctx.label_of = nullptr;
  seg_fail_allocation_at(1);
  EXPECT_EQ(sort_region_list(run.ctx), SEG_FAIL);
  seg_fail_allocation_at(0);
  EXPECT_EQ(run.ctx.label_of, nullptr);
}

// What an observer hears of the sequential pass, and that hearing changes
// nothing: on random images (noise on steps, so that regions of every size
// grow) the observed pass leaves the same regions as the plain one; every
// growth starts at a live region, in list order; every region taken was
// the live region of the entry read just before, and is taken once.
struct Heard {
  std::vector<region_id> growths;
  std::vector<region_id> roots;
  std::vector<region_id> taken;
  bool taken_as_read = true;
};

TEST(Grouping, AnObserverHearsThePassWithoutChangingIt) {
  std::mt19937 rng(2026);
  for (int trial = 0; trial < 12; ++trial) {
    const int32_t side = 16, planes = trial % 2 == 0 ? 1 : 4;
    std::vector<int32_t> image(static_cast<size_t>(side) * side * planes);
    std::uniform_int_distribution<int32_t> noise(0, 12);
    for (size_t i = 0; i < image.size(); ++i) {
      image[i] = static_cast<int32_t>(40 * ((i / 37) % 3)) + noise(rng);
    }
    // The range test and the mean test (the fixture builds no variance limits).
    const int32_t flat = planes == 1 ? 4 : 2, criterion = 1 + (trial / 2) % 2;
    codes plain_list;
    std::vector<int32_t> plain_labels;
    {
      RegionRun plain(image, side, planes, 4, flat, 1, criterion, 10);
      grouped(plain);
      plain_list = list_codes(plain.ctx);
      plain_labels = labels_of(plain);
    }
    RegionRun heard(image, side, planes, 4, flat, 1, criterion, 10);
    ASSERT_TRUE(heard.ordered());
    Heard h;
    const grouping_observer observer{
        &h, [](void *d, region_id r) { static_cast<Heard *>(d)->growths.push_back(r); },
        [](void *d, uint32_t, region_id n, const region_hot &) {
          static_cast<Heard *>(d)->roots.push_back(n);
        },
        [](void *d, region_id n) {
          Heard &x = *static_cast<Heard *>(d);
          x.taken_as_read = x.taken_as_read && !x.roots.empty() && x.roots.back() == n;
          x.taken.push_back(n);
        }};
    testing::internal::CaptureStdout();
    group_sequential_observed(heard.ctx, observer);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "finished sequential grouping\n");

    EXPECT_EQ(list_codes(heard.ctx), plain_list) << "trial " << trial;
    const region_store &s = heard.ctx.regions;
    EXPECT_TRUE(std::is_sorted(h.growths.begin(), h.growths.end()));
    for (region_id r : h.growths) {
      EXPECT_FALSE(is_absorbed(s, r));
    }
    EXPECT_TRUE(h.taken_as_read);
    std::vector<region_id> once = h.taken;
    std::sort(once.begin(), once.end());
    EXPECT_EQ(std::unique(once.begin(), once.end()), once.end());
    size_t absorbed = 0;
    for (region_id r = 1; r <= s.count; ++r) {
      absorbed += is_absorbed(s, r) ? 1 : 0;
    }
    EXPECT_EQ(h.taken.size(), absorbed);
    EXPECT_GT(absorbed, 0u);
    EXPECT_GT(h.growths.size(), 1u);
    EXPECT_EQ(labels_of(heard), plain_labels) << "trial " << trial;
  }
}

} // namespace
