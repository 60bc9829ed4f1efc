// Criterion 5, scaled_variance: a block of n pixels is homogeneous when
// its sample variance is within the noise variance times 1 + size_factor /
// sqrt(n); regions go by their means as under criterion 4.
#include "fpcontract.h"

#include "criterion_stages.h"

namespace {

struct scaled_variance : variance_blocks, mean_regions {
  // variance_limit: levels + 1 entries, the root's included (the merge into
  // the root reads it).
  static int32_t set_up(seg_context &ctx) {
    const int32_t entries = ctx.levels + 1;
    float *limit = static_cast<float *>(seg_calloc(static_cast<size_t>(entries), sizeof(float)));
    if (limit == NULL) {
      return note_shortage(ctx, "the variance limits");
    }
    const float factor = to_float(ctx.size_factor);
    const double variance = static_cast<double>(to_float(ctx.noise_variance));
    for (int32_t level = 0; level <= ctx.levels; ++level) {
      const float n = static_cast<float>(ctx.block_voxels[level]);
      const float root = static_cast<float>(sqrt(static_cast<double>(n)));
      const float quotient = factor / root;
      limit[level] = to_float((static_cast<double>(quotient) + 1.0) * variance);
    }
    ctx.variance_limit = limit;
    return SEG_OK;
  }
};

} // namespace

extern const criterion_rules scaled_variance_criterion =
    rules_for<scaled_variance>(CRITERION_SCALED_VARIANCE);
