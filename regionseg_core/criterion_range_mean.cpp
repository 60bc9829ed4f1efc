// Criterion 2, range_mean: blocks are judged by their range, as under
// criterion 1; regions hold the sum of their grey values and their pixel
// count, and a neighbour joins when the means differ by at most the
// threshold.
#include "fpcontract.h"

#include "criterion_stages.h"

namespace {

struct range_mean : range_blocks, mean_regions {
  static int32_t set_up(seg_context &) { return SEG_OK; }
  // The block holds its range: its sum is taken from the image.
  static void region(const run_config &ctx, const block_record &, const block_box &box,
                     region_hot &h) {
    int64_t sum = 0;
    for_each_pixel(ctx, ctx.image, box, [&](int32_t v) { sum += v; });
    h.stat_a = sum;
    h.stat_b = box.voxels;
  }
};

} // namespace

extern const criterion_rules range_mean_criterion = rules_for<range_mean>(CRITERION_RANGE_MEAN);
