// Criterion 4, chi2_variance: a block is homogeneous when its sample
// variance is within the noise variance times the chi-square quantile of
// confidence_row for the block's pixels over their degrees of freedom;
// regions hold the sum of their grey values and their pixel count, and a
// neighbour joins when the means differ by at most the threshold.
#include "fpcontract.h"

#include "criterion_stages.h"

const float chi2_table[3][17] = {
    {0.788657f, 0.906544f, 0.955927f, 0.978577f, 0.989438f, 0.994748f, 0.997384f, 0.998694f,
     0.999348f, 0.999674f, 0.999837f, 0.999919f, 0.999959f, 0.99998f, 0.99999f, 0.999995f,
     0.999997f},
    {1.36945f, 1.29102f, 1.21634f, 1.15746f, 1.11365f, 1.08154f, 1.05822f, 1.04146f, 1.02946f,
     1.0209f, 1.01482f, 1.01049f, 1.00743f, 1.00526f, 1.00372f, 1.00263f, 1.00186f},
    {2.0838f, 1.71671f, 1.48715f, 1.33584f, 1.2339f, 1.16382f, 1.11505f, 1.08097f, 1.05707f,
     1.04026f, 1.02843f, 1.02008f, 1.01419f, 1.01003f, 1.00709f, 1.00501f, 1.00354f}};

namespace {

struct chi2_variance : variance_blocks, mean_regions {
  // variance_limit: levels + 1 entries, 0 for single pixels and for the
  // merge into the root; level L of n pixels (n = 4 .. 262144) takes
  // column log2(n) - 2 of the table.
  static int32_t set_up(seg_context &ctx) {
    const float *row = chi2_table[ctx.confidence_row - 1];
    return set_up_limits(ctx, 1, ctx.levels - 1, [&](int32_t level) {
      int32_t k = -2;
      for (int64_t n = ctx.block_voxels[level]; n > 1; n >>= 1) {
        ++k;
      }
      return to_float(ctx.noise_variance) * row[k];
    });
  }
};

} // namespace

extern const criterion_rules chi2_variance_criterion =
    rules_for<chi2_variance>(CRITERION_CHI2_VARIANCE);
