// Small-region elimination with its referrer index against a plain
// transcription of the stage, which walks each target's list from its head:
// on random grouped region lists, 2-D and 3-D, every criterion, both
// grouping modes, several sizes and min_region_size values, everything the
// stage leaves must be the same, element by element.  Narrow place tags make
// the index run out of room between tags; side memory that cannot be had
// makes the stage fail, leaving nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "region_fixture.h"

using regiontest::RegionRun;

namespace {

// The stage step by step as it is defined.
void eliminate_as_defined(seg_context &ctx) {
  region_store &s = ctx.regions;
  for (region_id p = 1; p <= s.count; ++p) {
    if (is_absorbed(s, p) || s.size[p] >= ctx.min_region_size) {
      continue;
    }
    cell_id c = first_entry(s, p);
    while (c != 0 && resolve_cell(s, c) == p) {
      c = next_entry(s, c);
    }
    if (c == 0) {
      continue;
    }
    region_id target = s.cells[c];
    int64_t d = region_distance(ctx, s.hot[p], s.hot[target]);
    for (c = next_entry(s, c); c != 0; c = next_entry(s, c)) {
      const region_id n = resolve_cell(s, c);
      if (n != p && region_distance(ctx, s.hot[p], s.hot[n]) < d) {
        d = region_distance(ctx, s.hot[p], s.hot[n]);
        target = n;
      }
    }
    cell_id back = first_entry(s, target);
    while (back != 0 && resolve_cell(s, back) != p) {
      back = next_entry(s, back);
    }
    if (back == 0) {
      continue;
    }
    if (ctx.keep_small_stats == 0) {
      clear_statistics(ctx, s.hot[p]);
    }
    ctx.paint_label = ctx.snapshot_cur->labels[s.origin[target]];
    absorb_region(ctx, target, p, back);
  }
}

struct Case {
  int32_t levels, flat_levels, start_level, criterion, threshold;
  int32_t parallel, seeds, seed_any_level, min_size, keep_stats;
  int32_t dim() const { return 1 << levels; }
  int32_t depth() const { return 1 << (levels - flat_levels); }
  std::string describe() const {
    return "levels " + std::to_string(levels) + " flat " + std::to_string(flat_levels) + " start " +
           std::to_string(start_level) + " criterion " + std::to_string(criterion) + " threshold " +
           std::to_string(threshold) + " parallel " + std::to_string(parallel) + "/" +
           std::to_string(seeds) + "/" + std::to_string(seed_any_level) + " min " +
           std::to_string(min_size) + " keep " + std::to_string(keep_stats);
  }
};

// Boxes of random grey values over a gradient, with strong noise: many
// regions of every size, the small ones scattered everywhere.
std::vector<int32_t> noisy_image(std::mt19937 &rng, const Case &k) {
  const int32_t d = k.dim(), dz = k.depth();
  std::vector<int32_t> img(static_cast<size_t>(d) * d * dz);
  const int32_t noise = 4 + static_cast<int32_t>(rng() % 30);
  std::vector<std::vector<int32_t>> boxes(3 + rng() % 8);
  for (auto &b : boxes) {
    b = {static_cast<int32_t>(rng() % d),      static_cast<int32_t>(rng() % d),
         static_cast<int32_t>(rng() % dz),     1 + static_cast<int32_t>(rng() % (d / 2)),
         1 + static_cast<int32_t>(rng() % dz), static_cast<int32_t>(rng() % 256)};
  }
  for (int32_t z = 0; z < dz; ++z) {
    for (int32_t y = 0; y < d; ++y) {
      for (int32_t x = 0; x < d; ++x) {
        int32_t v = 60 + (120 * x) / d;
        for (const auto &b : boxes) {
          if (x >= b[0] && x < b[0] + b[3] && y >= b[1] && y < b[1] + b[3] && z >= b[2] &&
              z < b[2] + b[4]) {
            v = b[5];
          }
        }
        v += static_cast<int32_t>(rng() % (2 * noise + 1)) - noise;
        img[x + y * d + z * d * d] = std::clamp(v, 0, 255);
      }
    }
  }
  return img;
}

// Everything the stage can change: per region of the list, in list order,
// whether it is live, its statistics and marks, its size, member chain and
// the live regions its cells resolve to; the painting; and the labels of
// the cleaned and sorted list.
std::vector<int64_t> outcome(RegionRun &run) {
  seg_context &ctx = run.ctx;
  region_store &s = ctx.regions;
  std::vector<int64_t> out;
  for (region_id r = 1; r <= s.count; ++r) {
    if (is_absorbed(s, r)) {
      out.insert(out.end(), {-6, find_live_region(s, r)});
      continue;
    }
    const region_hot &n = s.hot[r];
    out.insert(out.end(), {-1, r, n.stat_a, n.stat_b, n.mark & ((1u << flag_bits) - 1), s.size[r]});
    out.push_back(-2);
    for (region_id b = r; b != 0; b = s.next_member[b]) {
      out.push_back(b);
    }
    out.push_back(-3);
    for (cell_id c = first_entry(s, r); c != 0; c = next_entry(s, c)) {
      out.push_back(resolve_cell(s, c));
    }
  }
  const size_t voxels = static_cast<size_t>(ctx.image_voxels);
  out.insert(out.end(), {-4, ctx.paint_label, ctx.snapshot_count});
  for (const snapshot *shot = ctx.snapshot_head; shot != nullptr; shot = shot->next) {
    out.insert(out.end(), shot->labels, shot->labels + voxels);
  }
  clean_region_list(ctx);
  EXPECT_EQ(sort_region_list(ctx), SEG_OK);
  std::vector<int32_t> labels(voxels, -1);
  make_output(ctx, labels.data());
  out.push_back(-5);
  out.insert(out.end(), labels.begin(), labels.end());
  return out;
}

enum class Stage { as_defined, indexed, narrow_tags, side_memory_fails };

// What the index did over the cases.
elimination_work seen = {};

void add_work(const elimination_work &w) {
  seen.index_runs += w.index_runs;
  seen.relabelled += w.relabelled;
}

// One case grouped afresh and eliminated by one of the stages.
std::vector<int64_t> run_case(const Case &k, const std::vector<int32_t> &img, Stage stage,
                              int32_t variant) {
  RegionRun run(img, k.dim(), k.depth(), k.levels, k.flat_levels, k.start_level, k.criterion,
                k.threshold);
  seg_context &ctx = run.ctx;
  ctx.parallel_grouping = k.parallel;
  ctx.parallel_seeds = k.seeds;
  ctx.seed_any_level = k.seed_any_level;
  ctx.min_region_size = k.min_size;
  ctx.keep_small_stats = k.keep_stats;
  ctx.outlier_percent = 10;
  ctx.noise_variance = 16.0;
  ctx.confidence_row = 2;
  ctx.size_factor = 2.0;
  if (k.criterion >= 4) {
    EXPECT_EQ(set_up_criterion(ctx), SEG_OK);
  }
  std::vector<int64_t> out;
  EXPECT_TRUE(run.ordered());
  if (ctx.regions.count != 0) {
    testing::internal::CaptureStdout();
    if (k.parallel != 0) {
      EXPECT_EQ(group_parallel(ctx), SEG_OK);
    } else {
      group_sequential(ctx);
    }
    testing::internal::GetCapturedStdout();
    if (k.min_size > 0) {
      // Ahead of elimination, every list grouping scanned holds its entries
      // alone: no dropped cell on its path, each entry a live region other
      // than its owner.
      const region_store &s = ctx.regions;
      for (region_id r = 1; r <= s.count; ++r) {
        for (cell_id c = s.lists[r].first; c != 0 && !is_absorbed(s, r);) {
          const uint32_t v = s.cells[c];
          if (v == cell_dropped) {
            ADD_FAILURE() << "a dropped cell in a grouped list: " << k.describe();
            break;
          }
          if (v < cell_jump) {
            EXPECT_NE(find_live_region(s, v), r) << k.describe();
          }
          c = v < cell_jump  ? c + 1
              : v < cell_end ? s.lists[v - cell_jump + 1].first
                             : s.lists[v - cell_end + 1].resume;
        }
      }
    }
    if (first_entry(ctx.regions, first_live_region(ctx)) != 0) {
      const long live = seg_live_allocations();
      switch (stage) {
      case Stage::as_defined:
        eliminate_as_defined(ctx);
        break;
      case Stage::indexed: {
        // As in a whole run: the labels output is the stage's to use.
        std::vector<int32_t> scratch(static_cast<size_t>(ctx.image_voxels));
        ctx.scratch = scratch.data();
        eliminate_small_regions(ctx);
        ctx.scratch = nullptr;
        break;
      }
      case Stage::narrow_tags:
        ctx.elimination_tag_bits = variant;
        eliminate_small_regions(ctx);
        break;
      case Stage::side_memory_fails: {
        seg_fail_allocation_at(variant);
        const int32_t status = eliminate_small_regions(ctx);
        seg_fail_allocation_at(0);
        EXPECT_EQ(status, SEG_FAIL);
        EXPECT_STREQ(ctx.failure.what, variant == 1 ? "the adjacency cells" : "the referrer index");
        EXPECT_EQ(ctx.elimination.regions_taken, 0);
        EXPECT_EQ(seg_live_allocations(), live);
        seg_free(ctx.variance_limit);
        ctx.variance_limit = nullptr;
        return {};
      }
      }
      add_work(ctx.elimination);
      // Painting may open snapshots; the index must leave nothing more.
      out.push_back(seg_live_allocations() - live);
    }
    const std::vector<int64_t> rest = outcome(run);
    out.insert(out.end(), rest.begin(), rest.end());
  }
  seg_free(ctx.variance_limit);
  ctx.variance_limit = nullptr;
  return out;
}

void expect_same(const std::vector<int64_t> &want, const std::vector<int64_t> &got,
                 const char *stage) {
  const auto diff = std::mismatch(want.begin(), want.end(), got.begin(), got.end());
  EXPECT_TRUE(diff.first == want.end() && diff.second == got.end())
      << stage << ": first difference at element " << (diff.first - want.begin()) << " of "
      << want.size() << " (" << got.size() << " given)";
}

void compare_random_cases(uint32_t seed, int rounds, bool volume) {
  std::mt19937 rng(seed);
  seen = elimination_work{};
  for (int round = 0; round < rounds; ++round) {
    Case k;
    k.levels = volume ? 2 + static_cast<int32_t>(rng() % 3) : 3 + static_cast<int32_t>(rng() % 4);
    k.flat_levels = volume ? static_cast<int32_t>(rng() % k.levels) : k.levels;
    k.start_level = static_cast<int32_t>(rng() % std::min(k.levels, 3));
    k.criterion = 1 + round % 5;
    k.threshold = 4 + static_cast<int32_t>(rng() % 24);
    k.parallel = (round / 5) % 2;
    k.seeds = 1 + static_cast<int32_t>(rng() % 6);
    k.seed_any_level = static_cast<int32_t>(rng() % 2);
    static const int32_t min_sizes[] = {2, 3, 5, 8, 16, 40, 100};
    k.min_size = min_sizes[rng() % 7];
    k.keep_stats = static_cast<int32_t>(rng() % 2);
    const std::vector<int32_t> img = noisy_image(rng, k);
    SCOPED_TRACE("round " + std::to_string(round) + ": " + k.describe());

    const std::vector<int64_t> want = run_case(k, img, Stage::as_defined, 0);
    expect_same(want, run_case(k, img, Stage::indexed, 0), "indexed");
    // Tags of 6 to 20 bits: room runs out between tags and at the end of
    // lists, and the narrowest leave too little room for the index at all.
    expect_same(want, run_case(k, img, Stage::narrow_tags, 6 + round % 15), "narrow tags");
    // The stage's allocations: the packed lists, then the three side
    // tables.
    run_case(k, img, Stage::side_memory_fails, 1 + round % 4);
    if (::testing::Test::HasFailure()) {
      return;
    }
  }
  // The cases reached every path of the index.
  EXPECT_GT(seen.index_runs, 0);
  EXPECT_GT(seen.relabelled, 0);
}

TEST(Elimination, IndexedSweepEqualsTheWalkOnRandomPlanes) { compare_random_cases(7, 150, false); }

TEST(Elimination, IndexedSweepEqualsTheWalkOnRandomVolumes) { compare_random_cases(8, 100, true); }

} // namespace
