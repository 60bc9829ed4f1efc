// A segmentation context for the region-stage tests: the per-level tables,
// the first snapshot, and the block stages run up to the region list.
#ifndef KALMEX_TESTS_REGIONSEG_CORE_REGION_FIXTURE_H
#define KALMEX_TESTS_REGIONSEG_CORE_REGION_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "regionseg.h"

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
    block_table table = build_initial_blocks(ctx);
    paint_checkerboard(ctx);
    merge_blocks(ctx, table);
    EXPECT_EQ(split_blocks(ctx, table), SEG_OK);
    return table;
  }

  // The region list of order_region_list; the fixture releases it.
  // One block is not ordered: it is the one-region list, as in a run.
  node_id ordered() {
    block_table table = blocks();
    if (ctx.nodes[table[0]].next_block == 0) {
      head = table[0];
      set_region_statistics(ctx, ctx.nodes[head]);
      ctx.nodes[head].last_member = head;
    } else {
      head = order_region_list(ctx, table);
      if (head == node_failed) {
        head = 0;
      }
    }
    seg_free(table);
    return head;
  }
  region_node &node(node_id id) { return ctx.nodes[id]; }

  // The label at pixel (x, y, z) of the snapshot being painted.
  int32_t painted(int32_t x, int32_t y, int32_t z = 0) const {
    return ctx.snapshot_cur->labels[x + y * ctx.dim_x + z * ctx.plane_stride];
  }

  seg_context ctx;
  node_id head = 0; // the fixture releases the store

private:
  std::vector<int32_t> image_;
  long live_at_start_ = 0;
};

// The codes of a region list in list order.
inline std::vector<block_code> list_codes(const seg_context &ctx, node_id head) {
  std::vector<block_code> codes;
  for (node_id r = head; r != 0; r = ctx.nodes[r].next_region) {
    codes.push_back(ctx.nodes[r].code);
  }
  return codes;
}

// The codes an adjacency list refers to, in list order.
inline std::vector<block_code> neighbour_codes(const seg_context &ctx, node_id r) {
  std::vector<block_code> codes;
  for (link_id c = ctx.nodes[r].nbr_head; c != 0; c = ctx.links[c].next) {
    codes.push_back(ctx.nodes[ctx.links[c].node].code);
  }
  return codes;
}

inline node_id find_code(const seg_context &ctx, node_id head, block_code code) {
  for (node_id r = head; r != 0; r = ctx.nodes[r].next_region) {
    if (ctx.nodes[r].code == code) {
      return r;
    }
  }
  return 0;
}

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
