// A segmentation context for the unit tests, set up as the driver does it.
#ifndef KALMEX_TESTS_REGIONSEG_BLOCKS_SUPPORT_H
#define KALMEX_TESTS_REGIONSEG_BLOCKS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "stages.h"

namespace segtest {

// The parameters the unit tests start from: the record's own, but for a
// 4 x 4 tree (levels 2) and threshold 10.
inline seg_params test_params() {
  seg_params p;
  p.levels = 2;
  p.flat_levels = 2;
  p.threshold = 10;
  return p;
}

// Owns the tables, the image and the snapshot list of one context: over the
// whole cube of the tree, or over an image of d1 x d2 x d3 pixels in it.
class Context {
public:
  explicit Context(const seg_params &g, bool keep_snapshots = true, int32_t d1 = 0, int32_t d2 = 0,
                   int32_t d3 = 0) {
    ctx = seg_context{};
    const int32_t side = int32_t{1} << g.levels;
    const int32_t planes = int32_t{1} << (g.levels - g.flat_levels);
    set_up_context(ctx, nullptr, d1 > 0 ? d1 : side, d2 > 0 ? d2 : side, d3 > 0 ? d3 : planes, g);
    ctx.keep_snapshots = keep_snapshots;
    EXPECT_EQ(build_level_tables(ctx), SEG_OK);
    set_median_size(static_cast<int32_t>(ctx.block_voxels[g.start_level]) + 1);
    image.assign(ctx.image_voxels, 0);
    ctx.image = image.data();
    EXPECT_EQ(open_first_snapshot(ctx), SEG_OK);
  }
  Context(const Context &) = delete;
  Context &operator=(const Context &) = delete;
  ~Context() {
    release_records(ctx);
    release_snapshots(ctx);
    release_tables(ctx);
  }

  // Pixel (x, y, z) of the image and of the current snapshot.
  int32_t &pixel(int32_t x, int32_t y, int32_t z = 0) {
    return image[x + y * ctx.dim_x + z * ctx.plane_stride];
  }
  int32_t label(int32_t x, int32_t y, int32_t z = 0) const {
    return ctx.snapshot_cur->labels[x + y * ctx.dim_x + z * ctx.plane_stride];
  }
  void set_median_size(int32_t entries) {
    seg_free(ctx.median_buffer);
    ctx.median_buffer = static_cast<int32_t *>(seg_calloc(entries, sizeof(int32_t)));
    ctx.median_entries = entries;
  }

  seg_context ctx;
  std::vector<int32_t> image;
};

// The codes of the block chain from slot 0.
inline std::vector<block_code> chain_codes(const seg_context &ctx, block_table table) {
  std::vector<block_code> codes;
  for (block_id n = table[0]; n != 0; n = ctx.blocks[n].next_block) {
    codes.push_back(ctx.blocks[n].code);
  }
  return codes;
}

} // namespace segtest

#endif
