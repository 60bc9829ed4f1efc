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
    const float factor = to_float(ctx.size_factor);
    const double variance = static_cast<double>(to_float(ctx.noise_variance));
    return set_up_limits(ctx, 0, ctx.levels, [&](int32_t level) {
      const float n = static_cast<float>(ctx.block_voxels[level]);
      const float root = static_cast<float>(sqrt(static_cast<double>(n)));
      const float quotient = factor / root;
      return to_float((static_cast<double>(quotient) + 1.0) * variance);
    });
  }
};

} // namespace

extern const criterion_rules scaled_variance_criterion =
    rules_for<scaled_variance>(CRITERION_SCALED_VARIANCE);
