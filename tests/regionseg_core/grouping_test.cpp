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

std::vector<uint32_t> live_codes(const region_node *head) {
  std::vector<uint32_t> codes;
  for (const region_node *r = head; r != nullptr; r = r->next_region) {
    if (r->last_member != nullptr) {
      codes.push_back(r->code);
    }
  }
  return codes;
}

// The codes a list refers to once each cell is followed to its live region.
std::vector<uint32_t> resolved_codes(region_node *r) {
  std::vector<uint32_t> codes;
  for (node_link *c = r->nbr_head; c != nullptr; c = c->next) {
    resolve_link(c);
    codes.push_back(c->node->code);
  }
  return codes;
}

TEST(Grouping, WorkedExampleSequential) {
  RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
  region_node *head = run.ordered();
  ASSERT_NE(head, nullptr);
  testing::internal::CaptureStdout();
  run.head = group_sequential(run.ctx, head);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "finished sequential grouping\n");
  region_node *r = run.head;
  EXPECT_EQ(list_codes(r), (std::vector<uint32_t>{0x20, 0x30, 0x11, 0x12}));
  EXPECT_EQ(region_size(run.ctx, find_code(r, 0x20)), 9);
  EXPECT_EQ(region_size(run.ctx, find_code(r, 0x30)), 5);
  EXPECT_EQ(region_size(run.ctx, find_code(r, 0x11)), 1);
  EXPECT_EQ(region_size(run.ctx, find_code(r, 0x12)), 1);
  // 0x20 took 0x14 and 0x40: range 100 to 105; 0x30 took 0x13: 48 to 50.
  EXPECT_EQ(find_code(r, 0x20)->stat_a, 100);
  EXPECT_EQ(find_code(r, 0x20)->stat_b, 105);
  EXPECT_EQ(find_code(r, 0x30)->stat_a, 48);
  EXPECT_EQ(find_code(r, 0x30)->stat_b, 50);
  EXPECT_EQ(neighbour_codes(find_code(r, 0x20)), (std::vector<uint32_t>{0x12, 0x13, 0x30}));
  EXPECT_EQ(resolved_codes(find_code(r, 0x30)), (std::vector<uint32_t>{0x20, 0x11}));
  for (const region_node *q = r; q != nullptr; q = q->next_region) {
    EXPECT_EQ(q->flags, FLAG_DONE);
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
  region_node *head = run.ordered();
  ASSERT_NE(head, nullptr);
  testing::internal::CaptureStdout();
  run.head = group_sequential(run.ctx, head);
  testing::internal::GetCapturedStdout();
  eliminate_small_regions(run.ctx, run.head);
  EXPECT_EQ(live_codes(run.head), (std::vector<uint32_t>{0x20, 0x30, 0x12}));
  const region_node *r12 = find_code(run.head, 0x12);
  EXPECT_EQ(r12->stat_a, 52);
  EXPECT_EQ(r12->stat_b, 52);
  EXPECT_EQ(region_size(run.ctx, r12), 2);
  // 0x11 painted with 0x12's label 3.
  EXPECT_EQ(run.painted(0, 0), 3);
  EXPECT_EQ(run.painted(1, 0), 3);

  run.head = clean_region_list(run.ctx, run.head);
  EXPECT_EQ(run.ctx.region_count, 2);
  EXPECT_EQ(list_codes(run.head), (std::vector<uint32_t>{0x20, 0x30, 0x12}));
  region_node *sorted = sort_region_list(run.ctx, run.head);
  ASSERT_FALSE(seg_failed(sorted));
  run.head = sorted;
  EXPECT_EQ(list_codes(run.head), (std::vector<uint32_t>{0x20, 0x30, 0x12}));
  // Every list now names distinct live regions; the self entry that
  // elimination left stays.
  EXPECT_EQ(neighbour_codes(find_code(run.head, 0x12)), (std::vector<uint32_t>{0x12, 0x30, 0x20}));
  std::vector<int32_t> labels(16, -1);
  make_output(run.ctx, run.head, labels.data());
  EXPECT_EQ(labels, (std::vector<int32_t>{2, 2, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0}));
}

TEST(Grouping, EliminationKeepingStatisticsAndExactSize) {
  {
    RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
    run.ctx.min_region_size = 2;
    run.ctx.keep_small_stats = 1;
    region_node *head = run.ordered();
    testing::internal::CaptureStdout();
    run.head = group_sequential(run.ctx, head);
    testing::internal::GetCapturedStdout();
    eliminate_small_regions(run.ctx, run.head);
    EXPECT_EQ(find_code(run.head, 0x12)->stat_a, 52);
    EXPECT_EQ(find_code(run.head, 0x12)->stat_b, 100);
  }
  {
    // Regions of exactly min_region_size pixels stay.
    RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
    run.ctx.min_region_size = 1;
    region_node *head = run.ordered();
    testing::internal::CaptureStdout();
    run.head = group_sequential(run.ctx, head);
    testing::internal::GetCapturedStdout();
    eliminate_small_regions(run.ctx, run.head);
    EXPECT_EQ(live_codes(run.head), (std::vector<uint32_t>{0x20, 0x30, 0x11, 0x12}));
  }
  {
    // Everything small: all merge into the last live region.
    RegionRun run(regiontest::worked_example_image(), 4, 1, 2, 2, 1, 1, 10);
    run.ctx.min_region_size = 100;
    region_node *head = run.ordered();
    testing::internal::CaptureStdout();
    run.head = group_sequential(run.ctx, head);
    testing::internal::GetCapturedStdout();
    eliminate_small_regions(run.ctx, run.head);
    ASSERT_EQ(live_codes(run.head).size(), 1u);
    run.head = clean_region_list(run.ctx, run.head);
    EXPECT_EQ(run.ctx.region_count, 0);
    run.head = sort_region_list(run.ctx, run.head);
    ASSERT_FALSE(seg_failed(run.head));
    EXPECT_EQ(run.head->next_region, nullptr);
    EXPECT_EQ(region_size(run.ctx, run.head), 16);
  }
}

TEST(Grouping, JoinTestsAtTheThreshold) {
  RegionRun run({0}, 1, 1, 1, 1, 0, 1, 10);
  region_node r{}, n{};
  r.stat_a = 20;
  r.stat_b = 25;
  n.stat_a = 28;
  n.stat_b = 30;
  EXPECT_TRUE(may_join(run.ctx, &r, &n)); // union 20..30
  EXPECT_EQ(n.flags, 0);
  n.stat_b = 31;
  EXPECT_FALSE(may_join(run.ctx, &r, &n));
  EXPECT_EQ(n.flags, FLAG_SEEN);

  run.ctx.criterion = 4;
  r = region_node{};
  n = region_node{};
  r.stat_a = 100; // mean 10
  r.stat_b = 10;
  n.stat_a = 40; // mean 20
  n.stat_b = 2;
  EXPECT_TRUE(may_join(run.ctx, &r, &n));
  n.stat_a = 41;
  EXPECT_FALSE(may_join(run.ctx, &r, &n));
  join_statistics(run.ctx, &r, &n);
  EXPECT_EQ(r.stat_a, 141);
  EXPECT_EQ(r.stat_b, 12);
  // Sums past 32 bits keep their value.
  r.stat_a = int64_t(255) << 24;
  r.stat_b = int64_t(1) << 24;
  n.stat_a = int64_t(255) << 24;
  n.stat_b = int64_t(1) << 24;
  join_statistics(run.ctx, &r, &n);
  EXPECT_EQ(r.stat_a, int64_t(255) << 25);
  EXPECT_TRUE(may_join(run.ctx, &r, &n));
}

TEST(Grouping, DistancesUseWholeNumberMeans) {
  RegionRun run({0}, 1, 1, 1, 1, 0, 2, 10);
  region_node p{}, n{};
  p.stat_a = 109; // 10.9
  p.stat_b = 10;
  n.stat_a = 101; // 10.1
  n.stat_b = 10;
  EXPECT_EQ(region_distance(run.ctx, &p, &n), 0);
  n.stat_a = 95;
  EXPECT_EQ(region_distance(run.ctx, &p, &n), 1);
  run.ctx.criterion = 1;
  p.stat_a = 100;
  p.stat_b = 100;
  n.stat_a = 48;
  n.stat_b = 50;
  EXPECT_EQ(region_distance(run.ctx, &p, &n), 52);
  clear_statistics(run.ctx, &p);
  EXPECT_EQ(p.stat_a, 255);
  EXPECT_EQ(p.stat_b, 0);
  run.ctx.criterion = 5;
  clear_statistics(run.ctx, &p);
  EXPECT_EQ(p.stat_a, 0);
  EXPECT_EQ(p.stat_b, 0);
}

// Hand-built regions on the four pixels of a 2 x 2 image (codes 1 to 4),
// for the rules that the block stages do not reach on their own.
struct Pixels {
  explicit Pixels(RegionRun &run) {
    for (int i = 0; i < 4; ++i) {
      r[i] = new_region_node();
      r[i]->code = static_cast<uint32_t>(i + 1);
      r[i]->last_member = r[i];
      r[i]->stat_a = 10 * i;
      r[i]->stat_b = 10 * i;
      if (i > 0) {
        r[i - 1]->next_region = r[i];
      }
    }
    run.head = r[0];
  }
  void link(region_node *from, region_node *to) {
    node_link *c = new_node_link();
    c->node = to;
    if (from->nbr_tail != nullptr) {
      from->nbr_tail->next = c;
    } else {
      from->nbr_head = c;
    }
    from->nbr_tail = c;
  }
  region_node *r[4];
};

// A finished region met in a parallel sweep loses its marks and is kept; a
// later cell of the same sweep naming it finds it unmarked and may absorb it.
TEST(Grouping, ParallelSweepAbsorbsAFinishedRegionMetTwice) {
  RegionRun run({0, 0, 0, 0}, 2, 1, 1, 1, 0, 1, 100);
  run.ctx.parallel_seeds = 1;
  Pixels px(run);
  px.r[0]->next_region = px.r[1];
  px.r[1]->next_region = nullptr;
  px.link(px.r[0], px.r[1]);
  px.link(px.r[0], px.r[1]);
  px.link(px.r[1], px.r[0]);
  px.link(px.r[1], px.r[0]);
  px.r[1]->flags = FLAG_DONE;
  // Pixels 3 and 4 are not in this list; release them here.
  free_region_node(px.r[2]);
  free_region_node(px.r[3]);
  testing::internal::CaptureStdout();
  region_node *result = group_parallel(run.ctx, run.head);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "finished parallell grouping\nfinished sequential grouping\n");
  run.head = result;
  EXPECT_EQ(live_codes(result), (std::vector<uint32_t>{1}));
  EXPECT_EQ(px.r[1]->last_member, nullptr);
  EXPECT_EQ(result->nbr_head, nullptr);
}

// Two neighbours at the same distance: the earlier cell of the small
// region's list wins, whatever the order of the region list.
TEST(Grouping, EliminationTieGoesToTheEarlierCell) {
  RegionRun run({0, 0, 0, 0}, 2, 1, 1, 1, 0, 1, 0);
  run.ctx.min_region_size = 2;
  Pixels px(run);
  region_node *p = px.r[0], *near = px.r[1], *first = px.r[2];
  px.r[2]->next_region = nullptr;
  free_region_node(px.r[3]);
  p->stat_a = p->stat_b = 50;
  near->stat_a = near->stat_b = 40;
  first->stat_a = first->stat_b = 60;
  px.link(p, first);
  px.link(p, near);
  px.link(near, p);
  px.link(first, p);
  eliminate_small_regions(run.ctx, p);
  EXPECT_EQ(first->next_block, p); // p joined the region of its first cell
  EXPECT_EQ(live_codes(run.head), (std::vector<uint32_t>{3}));
  EXPECT_EQ(region_size(run.ctx, first), 3);
  // Both small regions joined with cleared ranges: the target's stays.
  EXPECT_EQ(first->stat_a, 60);
  EXPECT_EQ(first->stat_b, 60);
}

TEST(Grouping, CleaningUnlinksAbsorbedRunsAndDuplicates) {
  RegionRun run({0, 0, 0, 0}, 2, 1, 1, 1, 0, 1, 100);
  Pixels px(run);
  region_node *a = px.r[0], *b = px.r[1], *c = px.r[2], *d = px.r[3];
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
  d->last_member->next_block = b;
  b->next_block = c;
  d->last_member = c;
  b->last_member = nullptr;
  c->last_member = nullptr;
  run.head = clean_region_list(run.ctx, a);
  EXPECT_EQ(run.ctx.region_count, 1);
  EXPECT_EQ(list_codes(run.head), (std::vector<uint32_t>{1, 4}));
  EXPECT_EQ(neighbour_codes(a), (std::vector<uint32_t>{4, 1}));
  EXPECT_EQ(neighbour_codes(d), (std::vector<uint32_t>{1}));
  EXPECT_EQ(d->nbr_tail, d->nbr_head);
  EXPECT_EQ(a->nbr_tail->next, nullptr);
  EXPECT_EQ(a->flags, 0);
  EXPECT_EQ(d->flags, 0);
  // d holds three pixels, a one.
  run.head = sort_region_list(run.ctx, run.head);
  EXPECT_EQ(list_codes(run.head), (std::vector<uint32_t>{4, 1}));
}

TEST(Grouping, SortingRegionListBySize) {
  // 8 x 8 plane: codes of level 2 (16 pixels), of the root (64), of level 1 (4).
  RegionRun run(std::vector<int32_t>(64, 0), 8, 1, 3, 3, 0, 1, 0);
  const uint32_t codes[4] = {0x100, 0x000, 0x200, 0x010};
  region_node *r[4];
  for (int i = 0; i < 4; ++i) {
    r[i] = new_region_node();
    r[i]->code = codes[i];
    r[i]->last_member = r[i];
    if (i > 0) {
      r[i - 1]->next_region = r[i];
    }
  }
  run.head = r[0];
  run.ctx.region_count = 3;
  region_node *sorted = sort_region_list(run.ctx, run.head);
  ASSERT_FALSE(seg_failed(sorted));
  run.head = sorted;
  EXPECT_EQ(list_codes(sorted), (std::vector<uint32_t>{0x000, 0x100, 0x200, 0x010}));

  // Without its table the sort fails and leaves the list as it was.
  seg_fail_allocation_at(1);
  region_node *failed = sort_region_list(run.ctx, run.head);
  seg_fail_allocation_at(0);
  EXPECT_TRUE(seg_failed(failed));
  EXPECT_EQ(list_codes(run.head), (std::vector<uint32_t>{0x000, 0x100, 0x200, 0x010}));
}

} // namespace
