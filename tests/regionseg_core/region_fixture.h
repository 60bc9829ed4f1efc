// A segmentation context for the region-stage tests: the per-level tables,
// the first snapshot, and the block stages run up to the region list.
#ifndef KALMEX_TESTS_REGIONSEG_CORE_REGION_FIXTURE_H
#define KALMEX_TESTS_REGIONSEG_CORE_REGION_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "stages.h"

namespace regiontest {

// One run's context over an image owned by the fixture.  Only criteria 1
// to 3 are set up (the variance criteria are exercised by whole runs).
class RegionRun {
public:
  // Over a cube of dim_x x dim_x x dim_z pixels, or an image of d1 x d2 x d3.
  RegionRun(std::vector<int32_t> image, int32_t dim_x, int32_t dim_z, int32_t levels,
            int32_t flat_levels, int32_t start_level, int32_t criterion, int32_t threshold)
      : RegionRun(std::move(image), dim_x, dim_x, dim_z, levels, flat_levels, start_level,
                  criterion, threshold) {}
  RegionRun(std::vector<int32_t> image, int32_t d1, int32_t d2, int32_t d3, int32_t levels,
            int32_t flat_levels, int32_t start_level, int32_t criterion, int32_t threshold)
      : image_(std::move(image)) {
    live_at_start_ = seg_live_allocations();
    ctx = seg_context{};
    seg_params p;
    p.levels = levels;
    p.flat_levels = flat_levels;
    p.start_level = start_level;
    p.criterion = criterion;
    p.threshold = threshold;
    set_up_context(ctx, image_.data(), d1, d2, d3, p);
    ctx.keep_snapshots = true;
    EXPECT_EQ(build_level_tables(ctx), SEG_OK);
    if (criterion == 3) {
      ctx.median_entries = box_at(ctx, 0, 0, 0, start_level).voxels + 1;
      ctx.median_buffer = static_cast<int32_t *>(seg_calloc(ctx.median_entries, sizeof(int32_t)));
    }
    open_first_snapshot(ctx);
  }

  RegionRun(const RegionRun &) = delete;
  RegionRun &operator=(const RegionRun &) = delete;

  ~RegionRun() {
    release_records(ctx);
    release_tables(ctx);
    release_snapshots(ctx);
    EXPECT_EQ(seg_live_allocations(), live_at_start_) << "allocations left behind";
  }

  // Initial blocks, checkerboard, merging and splitting: the block table.
  block_table blocks() {
    block_table table = nullptr;
    EXPECT_EQ(build_initial_blocks(ctx, table), SEG_OK);
    paint_checkerboard(ctx);
    merge_blocks(ctx, table);
    EXPECT_EQ(split_blocks(ctx, table), SEG_OK);
    return table;
  }

  // The region store of order_region_list (false when it failed).  One
  // block is not ordered, as in a run: there are no regions then.
  bool ordered() {
    block_table table = blocks();
    bool ok = true;
    if (ctx.blocks[table[0]].next_block != 0) {
      ok = order_region_list(ctx, table) == SEG_OK;
    }
    seg_free(table);
    return ok;
  }
  region_hot &hot(region_id r) { return ctx.regions.hot[r]; }

  // The label at pixel (x, y, z) of the snapshot being painted.
  int32_t painted(int32_t x, int32_t y, int32_t z = 0) const {
    return ctx.snapshot_cur->labels[x + y * ctx.dim_x + z * ctx.plane_stride];
  }

  seg_context ctx;

private:
  std::vector<int32_t> image_;
  long live_at_start_ = 0;
};

// The code of region r's own block.
inline block_code region_code(const seg_context &ctx, region_id r) {
  const int32_t start = ctx.regions.origin[r];
  const int32_t z = start / ctx.plane_stride;
  const int32_t y = (start - z * ctx.plane_stride) / ctx.dim_x;
  const int32_t x = start - z * ctx.plane_stride - y * ctx.dim_x;
  return code_at(ctx, x, y, z, region_level(ctx.regions, r));
}

// The codes of the live regions in list order.
inline std::vector<block_code> list_codes(const seg_context &ctx) {
  std::vector<block_code> codes;
  for (region_id r = 1; r <= ctx.regions.count; ++r) {
    if (!is_absorbed(ctx.regions, r)) {
      codes.push_back(region_code(ctx, r));
    }
  }
  return codes;
}

// The codes an adjacency list refers to, in list order.
inline std::vector<block_code> neighbour_codes(const seg_context &ctx, region_id r) {
  std::vector<block_code> codes;
  for (cell_id c = first_entry(ctx.regions, r); c != 0; c = next_entry(ctx.regions, c)) {
    codes.push_back(region_code(ctx, ctx.regions.cells[c]));
  }
  return codes;
}

// The live region whose own block has the code, or 0.
inline region_id find_code(const seg_context &ctx, block_code code) {
  for (region_id r = 1; r <= ctx.regions.count; ++r) {
    if (!is_absorbed(ctx.regions, r) && region_code(ctx, r) == code) {
      return r;
    }
  }
  return 0;
}

// Regions made by hand in a run's region store: count one-pixel regions
// with codes 1 .. count (the pixels of a 2 x 2 plane in a tree of one level), statistics 10 i,
// and adjacency lists as linked, each one run of cells closed by its end cell.
class HandRegions {
public:
  HandRegions(seg_context &ctx, int count) : ctx_(ctx), lists_(count + 1) {
    EXPECT_EQ(make_region_store(ctx, static_cast<region_id>(count)), SEG_OK);
    region_store &s = ctx.regions;
    for (region_id r = 1; r <= s.count; ++r) {
      s.hot[r] = region_hot{10 * (int64_t{r} - 1), 10 * (static_cast<int32_t>(r) - 1), 0};
      s.lists[r] = region_lists{0, 0};
      s.size[r] = 1;
      s.origin[r] = static_cast<int32_t>(r) - 1;
      if (s.next_member != nullptr) {
        s.next_member[r] = 0;
        s.last_member[r] = r;
      }
    }
    for (int32_t level = 0; level <= max_levels + 1; ++level) {
      s.level_first[level] = 1; // every region a pixel
    }
    ctx.region_total = s.count;
  }
  // Appends a cell for to at the end of from's list (before done()).
  void link(region_id from, region_id to) { lists_[from].push_back(to); }
  // Makes the cells of every list.
  void done() {
    size_t cells = 0;
    for (const auto &l : lists_) {
      cells += l.empty() ? 0 : l.size() + 1;
    }
    region_store &s = ctx_.regions;
    ASSERT_EQ(reserve_cells(ctx_, cells), SEG_OK);
    cell_id at = 1;
    for (region_id r = 1; r <= s.count; ++r) {
      if (lists_[r].empty()) {
        continue;
      }
      s.lists[r].first = at;
      for (const region_id to : lists_[r]) {
        s.cells[at++] = to;
      }
      s.cells[at++] = cell_end + (r - 1);
    }
  }
  region_hot &operator[](region_id r) { return ctx_.regions.hot[r]; }

private:
  seg_context &ctx_;
  std::vector<std::vector<region_id>> lists_;
};

// The 4 x 4 example: quadrants 0x20 = 100, 0x30 = 50, 0x40 = 105 stay whole,
// the first quadrant splits into the pixels 0x11 = 100, 0x12 = 52,
// 0x13 = 48, 0x14 = 103 (criterion 1, threshold 10, start level 1).
inline std::vector<int32_t> worked_example_image() {
  std::vector<int32_t> img(16);
  for (int32_t y = 0; y < 4; ++y) {
    for (int32_t x = 0; x < 4; ++x) {
      int32_t v;
      if (x < 2 && y < 2) {
        static const int32_t quadrant[4] = {100, 52, 48, 103};
        v = quadrant[x + 2 * y];
      } else if (y < 2) {
        v = 100;
      } else if (x < 2) {
        v = 50;
      } else {
        v = 105;
      }
      img[x + 4 * y] = v;
    }
  }
  return img;
}

} // namespace regiontest

#endif
