// Grouping, small-region elimination, cleaning and sorting on the worked
// example and on small hand-built region lists.
#include <gtest/gtest.h>

#include <vector>

#include "region_fixture.h"

using regiontest::find_code;
using regiontest::list_codes;
using regiontest::neighbour_codes;
using regiontest::RegionRun;

namespace {

using codes = std::vector<block_code>;

codes live_codes(const seg_context &ctx, node_id head) {
  codes out;
  for (node_id r = head; r != 0; r = ctx.nodes[r].next_region) {
    if (ctx.nodes[r].last_member != 0) {
      out.push_back(ctx.nodes[r].code);
    }
  }
  return out;
}

// The codes a list refers to once each cell is followed to its live region.
codes resolved_codes(seg_context &ctx, node_id r) {
  codes out;
  for (link_id c = ctx.nodes[r].nbr_head; c != 0; c = ctx.links[c].next) {
    out.push_back(ctx.nodes[resolve_link(ctx, c)].code);
  }
  return out;
}

// Runs sequential grouping quietly.
node_id grouped(RegionRun &run) {
  const node_id head = run.ordered();
  EXPECT_NE(head, 0u);
  testing::internal::CaptureStdout();
  run.head = group_sequential(run.ctx, head);
  testing::internal::GetCapturedStdout();
  return run.head;
}

TEST(Grouping, WorkedExampleSequential) {
  RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
  const node_id head = run.ordered();
  ASSERT_NE(head, 0u);
  testing::internal::CaptureStdout();
  run.head = group_sequential(run.ctx, head);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "finished sequential grouping\n");
  seg_context &ctx = run.ctx;
  const node_id r = run.head;
  EXPECT_EQ(list_codes(ctx, r), (codes{0x20, 0x30, 0x11, 0x12}));
  EXPECT_EQ(region_size(ctx, find_code(ctx, r, 0x20)), 9);
  EXPECT_EQ(region_size(ctx, find_code(ctx, r, 0x30)), 5);
  EXPECT_EQ(region_size(ctx, find_code(ctx, r, 0x11)), 1);
  EXPECT_EQ(region_size(ctx, find_code(ctx, r, 0x12)), 1);
  // 0x20 took 0x14 and 0x40: range 100 to 105; 0x30 took 0x13: 48 to 50.
  EXPECT_EQ(run.node(find_code(ctx, r, 0x20)).stat_a, 100);
  EXPECT_EQ(run.node(find_code(ctx, r, 0x20)).stat_b, 105);
  EXPECT_EQ(run.node(find_code(ctx, r, 0x30)).stat_a, 48);
  EXPECT_EQ(run.node(find_code(ctx, r, 0x30)).stat_b, 50);
  EXPECT_EQ(neighbour_codes(ctx, find_code(ctx, r, 0x20)), (codes{0x12, 0x13, 0x30}));
  EXPECT_EQ(resolved_codes(ctx, find_code(ctx, r, 0x30)), (codes{0x20, 0x11}));
  for (node_id q = r; q != 0; q = ctx.nodes[q].next_region) {
    EXPECT_EQ(ctx.nodes[q].flags, FLAG_DONE);
  }
  // Painted 0, 1, 2, 3 in list order.
  const int32_t rows[4][4] = {{2, 3, 0, 0}, {1, 0, 0, 0}, {1, 1, 0, 0}, {1, 1, 0, 0}};
  for (int32_t y = 0; y < 4; ++y) {
    for (int32_t x = 0; x < 4; ++x) {
      EXPECT_EQ(run.painted(x, y), rows[y][x]) << x << "," << y;
    }
  }
}

TEST(Grouping, WorkedExampleEliminationClearingStatistics) {
  RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
  run.ctx.min_region_size = 2;
  run.ctx.keep_small_stats = 0;
  grouped(run);
  seg_context &ctx = run.ctx;
  eliminate_small_regions(ctx, run.head);
  EXPECT_EQ(live_codes(ctx, run.head), (codes{0x20, 0x30, 0x12}));
  const node_id r12 = find_code(ctx, run.head, 0x12);
  EXPECT_EQ(ctx.nodes[r12].stat_a, 52);
  EXPECT_EQ(ctx.nodes[r12].stat_b, 52);
  EXPECT_EQ(region_size(ctx, r12), 2);
  // 0x11 painted with 0x12's label 3.
  EXPECT_EQ(run.painted(0, 0), 3);
  EXPECT_EQ(run.painted(1, 0), 3);

  run.head = clean_region_list(ctx, run.head);
  EXPECT_EQ(ctx.region_count, 2);
  EXPECT_EQ(list_codes(ctx, run.head), (codes{0x20, 0x30, 0x12}));
  const node_id sorted = sort_region_list(ctx, run.head);
  ASSERT_NE(sorted, node_failed);
  run.head = sorted;
  EXPECT_EQ(list_codes(ctx, run.head), (codes{0x20, 0x30, 0x12}));
  std::vector<int32_t> labels(16, -1);
  make_output(ctx, run.head, labels.data());
  EXPECT_EQ(labels, (std::vector<int32_t>{2, 2, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0}));
}

TEST(Grouping, EliminationKeepingStatisticsAndExactSize) {
  {
    RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
    run.ctx.min_region_size = 2;
    run.ctx.keep_small_stats = 1;
    eliminate_small_regions(run.ctx, grouped(run));
    EXPECT_EQ(run.node(find_code(run.ctx, run.head, 0x12)).stat_a, 52);
    EXPECT_EQ(run.node(find_code(run.ctx, run.head, 0x12)).stat_b, 100);
  }
  {
    // Regions of exactly min_region_size pixels stay.
    RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
    run.ctx.min_region_size = 1;
    eliminate_small_regions(run.ctx, grouped(run));
    EXPECT_EQ(live_codes(run.ctx, run.head), (codes{0x20, 0x30, 0x11, 0x12}));
  }
  {
    // Everything small: all merge into the last live region.
    RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
    run.ctx.min_region_size = 100;
    eliminate_small_regions(run.ctx, grouped(run));
    ASSERT_EQ(live_codes(run.ctx, run.head).size(), 1u);
    run.head = clean_region_list(run.ctx, run.head);
    EXPECT_EQ(run.ctx.region_count, 0);
    run.head = sort_region_list(run.ctx, run.head);
    ASSERT_NE(run.head, node_failed);
    EXPECT_EQ(run.node(run.head).next_region, 0u);
    EXPECT_EQ(region_size(run.ctx, run.head), 16);
  }
}

// Two hand-made regions in a store of their own.
struct Pair {
  explicit Pair(seg_context &ctx) : ctx(ctx) {
    r = new_region_node(ctx);
    n = new_region_node(ctx);
  }
  seg_context &ctx;
  node_id r, n;
  region_node &R() { return ctx.nodes[r]; }
  region_node &N() { return ctx.nodes[n]; }
};

TEST(Grouping, JoinTestsAtTheThreshold) {
  RegionRun run({0}, 1, 1, 1, 1, 0, 1, 10);
  Pair p(run.ctx);
  p.R().stat_a = 20;
  p.R().stat_b = 25;
  p.N().stat_a = 28;
  p.N().stat_b = 30;
  EXPECT_TRUE(may_join(run.ctx, p.r, p.n)); // union 20..30
  EXPECT_EQ(p.N().flags, 0);
  p.N().stat_b = 31;
  EXPECT_FALSE(may_join(run.ctx, p.r, p.n));
  EXPECT_EQ(p.N().flags, FLAG_SEEN);

  run.ctx.criterion = 4;
  p.R() = region_node{};
  p.N() = region_node{};
  p.R().stat_a = 100; // mean 10
  p.R().stat_b = 10;
  p.N().stat_a = 40; // mean 20
  p.N().stat_b = 2;
  EXPECT_TRUE(may_join(run.ctx, p.r, p.n));
  p.N().stat_a = 41;
  EXPECT_FALSE(may_join(run.ctx, p.r, p.n));
  join_statistics(run.ctx, p.r, p.n);
  EXPECT_EQ(p.R().stat_a, 141);
  EXPECT_EQ(p.R().stat_b, 12);
  // Sums past 32 bits keep their value.
  p.R().stat_a = int64_t(255) << 24;
  p.R().stat_b = int64_t(1) << 24;
  p.N().stat_a = int64_t(255) << 24;
  p.N().stat_b = int64_t(1) << 24;
  join_statistics(run.ctx, p.r, p.n);
  EXPECT_EQ(p.R().stat_a, int64_t(255) << 25);
  EXPECT_TRUE(may_join(run.ctx, p.r, p.n));
}

TEST(Grouping, DistancesUseWholeNumberMeans) {
  RegionRun run({0}, 1, 1, 1, 1, 0, 2, 10);
  region_node p{}, n{};
  p.stat_a = 109; // 10.9
  p.stat_b = 10;
  n.stat_a = 101; // 10.1
  n.stat_b = 10;
  EXPECT_EQ(region_distance(run.ctx, p, n), 0);
  n.stat_a = 95;
  EXPECT_EQ(region_distance(run.ctx, p, n), 1);
  run.ctx.criterion = 1;
  p.stat_a = 100;
  p.stat_b = 100;
  n.stat_a = 48;
  n.stat_b = 50;
  EXPECT_EQ(region_distance(run.ctx, p, n), 52);
  clear_statistics(run.ctx, p);
  EXPECT_EQ(p.stat_a, 255);
  EXPECT_EQ(p.stat_b, 0);
  run.ctx.criterion = 5;
  clear_statistics(run.ctx, p);
  EXPECT_EQ(p.stat_a, 0);
  EXPECT_EQ(p.stat_b, 0);
}

// Hand-built regions on the pixels of a 2 x 2 image (codes 1 to count),
// for the rules that the block stages do not reach on their own.
struct Pixels {
  Pixels(RegionRun &run, int count) : ctx(run.ctx) {
    for (int i = 0; i < count; ++i) {
      r[i] = new_region_node(ctx);
    }
    for (int i = 0; i < count; ++i) {
      region_node &n = ctx.nodes[r[i]];
      n.code = static_cast<block_code>(i + 1);
      n.last_member = r[i];
      n.stat_a = 10 * i;
      n.stat_b = 10 * i;
      if (i > 0) {
        ctx.nodes[r[i - 1]].next_region = r[i];
      }
    }
    run.head = r[0];
  }
  void link(node_id from, node_id to) { ASSERT_TRUE(append_neighbour(ctx, from, to)); }
  region_node &operator[](int i) { return ctx.nodes[r[i]]; }
  seg_context &ctx;
  node_id r[4] = {};
};

// A finished region met in a parallel sweep loses its marks and is kept; a
// later cell of the same sweep naming it finds it unmarked and may absorb it.
TEST(Grouping, ParallelSweepAbsorbsAFinishedRegionMetTwice) {
  RegionRun run({0, 0, 0, 0}, 2, 1, 1, 1, 0, 1, 100);
  run.ctx.parallel_seeds = 1;
  Pixels px(run, 2);
  px.link(px.r[0], px.r[1]);
  px.link(px.r[0], px.r[1]);
  px.link(px.r[1], px.r[0]);
  px.link(px.r[1], px.r[0]);
  px[1].flags = FLAG_DONE;
  testing::internal::CaptureStdout();
  const node_id result = group_parallel(run.ctx, run.head);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "finished parallell grouping\nfinished sequential grouping\n");
  run.head = result;
  EXPECT_EQ(live_codes(run.ctx, result), (codes{1}));
  EXPECT_EQ(px[1].last_member, 0u);
  EXPECT_EQ(run.node(result).nbr_head, 0u);
}

// Two neighbours at the same distance: the earlier cell of the small
// region's list wins, whatever the order of the region list.
TEST(Grouping, EliminationTieGoesToTheEarlierCell) {
  RegionRun run({0, 0, 0, 0}, 2, 1, 1, 1, 0, 1, 0);
  run.ctx.min_region_size = 2;
  Pixels px(run, 3);
  const node_id p = px.r[0], near = px.r[1], first = px.r[2];
  px[0].stat_a = px[0].stat_b = 50;
  px[1].stat_a = px[1].stat_b = 40;
  px[2].stat_a = px[2].stat_b = 60;
  px.link(p, first);
  px.link(p, near);
  px.link(near, p);
  px.link(first, p);
  eliminate_small_regions(run.ctx, p);
  EXPECT_EQ(px[2].next_block, p); // p joined the region of its first cell
  EXPECT_EQ(live_codes(run.ctx, run.head), (codes{3}));
  EXPECT_EQ(region_size(run.ctx, first), 3);
  // Both small regions joined with cleared ranges: the target's stays.
  EXPECT_EQ(px[2].stat_a, 60);
  EXPECT_EQ(px[2].stat_b, 60);
}

TEST(Grouping, CleaningUnlinksAbsorbedRuns) {
  RegionRun run({0, 0, 0, 0}, 2, 1, 1, 1, 0, 1, 100);
  Pixels px(run, 4);
  const node_id a = px.r[0], b = px.r[1], c = px.r[2], d = px.r[3];
  seg_context &ctx = run.ctx;
  // b and c were absorbed by d: their forwarding links name d.
  px.link(a, b);
  px.link(a, d);
  px.link(a, c);
  px.link(a, a);
  px.link(a, a);
  px.link(b, d);
  px.link(c, d);
  px.link(d, a);
  px.link(d, a);
  ctx.nodes[ctx.nodes[d].last_member].next_block = b;
  ctx.nodes[b].next_block = c;
  ctx.nodes[d].last_member = c;
  ctx.nodes[b].last_member = 0;
  ctx.nodes[c].last_member = 0;
  run.head = clean_region_list(ctx, a);
  EXPECT_EQ(ctx.region_count, 1);
  EXPECT_EQ(list_codes(ctx, run.head), (codes{1, 4}));
  // d holds three pixels, a one.
  run.head = sort_region_list(ctx, run.head);
  EXPECT_EQ(list_codes(ctx, run.head), (codes{4, 1}));
}

TEST(Grouping, SortingRegionListBySize) {
  // 8 x 8 plane: codes of level 2 (16 pixels), of the root (64), of level 1 (4).
  RegionRun run(std::vector<int32_t>(64, 0), 8, 1, 3, 3, 0, 1, 0);
  seg_context &ctx = run.ctx;
  const block_code level_codes[4] = {0x100, 0x000, 0x200, 0x010};
  node_id r[4];
  for (int i = 0; i < 4; ++i) {
    r[i] = new_region_node(ctx);
  }
  for (int i = 0; i < 4; ++i) {
    ctx.nodes[r[i]].code = level_codes[i];
    ctx.nodes[r[i]].last_member = r[i];
    if (i > 0) {
      ctx.nodes[r[i - 1]].next_region = r[i];
    }
  }
  run.head = r[0];
  ctx.region_count = 3;
  const node_id sorted = sort_region_list(ctx, run.head);
  ASSERT_NE(sorted, node_failed);
  run.head = sorted;
  EXPECT_EQ(list_codes(ctx, sorted), (codes{0x000, 0x100, 0x200, 0x010}));

  // Without its table the sort fails and leaves the list as it was.
  seg_fail_allocation_at(1);
  const node_id failed = sort_region_list(ctx, run.head);
  seg_fail_allocation_at(0);
  EXPECT_EQ(failed, node_failed);
  EXPECT_EQ(list_codes(ctx, run.head), (codes{0x000, 0x100, 0x200, 0x010}));
}

} // namespace
