// Homogeneity criteria: judging a block, judging the union of siblings, the
// per-level variance limits and the reference value of the robust range.
//
// Single-precision steps are written out one by one and contraction is off
// in this file, so every limit and variance is rounded exactly where the
// arithmetic says.
#include "fpcontract.h"

#include <float.h>
#include <math.h>

#include "stages.h"

const float chi2_table[3][17] = {
    {0.788657f, 0.906544f, 0.955927f, 0.978577f, 0.989438f, 0.994748f, 0.997384f, 0.998694f,
     0.999348f, 0.999674f, 0.999837f, 0.999919f, 0.999959f, 0.99998f, 0.99999f, 0.999995f,
     0.999997f},
    {1.36945f, 1.29102f, 1.21634f, 1.15746f, 1.11365f, 1.08154f, 1.05822f, 1.04146f, 1.02946f,
     1.0209f, 1.01482f, 1.01049f, 1.00743f, 1.00526f, 1.00372f, 1.00263f, 1.00186f},
    {2.0838f, 1.71671f, 1.48715f, 1.33584f, 1.2339f, 1.16382f, 1.11505f, 1.08097f, 1.05707f,
     1.04026f, 1.02843f, 1.02008f, 1.01419f, 1.01003f, 1.00709f, 1.00501f, 1.00354f}};

namespace {

// s^2 for a non-negative sum, formed exactly and rounded once to float.
// Sums below 2^32 (every block of up to 2^24 pixels) square within 64 bits;
// the sums of larger blocks need 128.
float square_as_float(int64_t s) {
  const uint64_t u = static_cast<uint64_t>(s);
  if (u < (uint64_t{1} << 32)) {
    return static_cast<float>(u * u);
  }
#if defined(__SIZEOF_INT128__)
  const unsigned __int128 wide = static_cast<unsigned __int128>(u) * u;
  return static_cast<float>(wide);
#else
  return static_cast<float>(static_cast<double>(u) * static_cast<double>(u));
#endif
}

// Sample variance of n values with sum s and sum of squares q; a single
// value is judged as such (e = s^2, d = 1).
float sample_variance(int64_t s, int64_t q, int32_t n) {
  const float e = square_as_float(s) / static_cast<float>(n);
  const float d = n > 1 ? static_cast<float>(n - 1) : 1.0f;
  return (static_cast<float>(q) - e) / d;
}

// A double rounded to float as the hardware rounds it (to nearest), with
// values beyond the float range made infinite explicitly: from FLT_MAX plus
// half a unit on, the nearest float is infinity.
float to_float(double v) {
  const double overflow = ldexp(1.0, 128) - ldexp(1.0, 103);
  if (v >= overflow) {
    return INFINITY;
  }
  if (v <= -overflow) {
    return -INFINITY;
  }
  if (v > static_cast<double>(FLT_MAX)) {
    return FLT_MAX;
  }
  if (v < -static_cast<double>(FLT_MAX)) {
    return -FLT_MAX;
  }
  return static_cast<float>(v);
}

} // namespace

void evaluate_block(const seg_context &ctx, const block_box &box, int32_t level, block_record &node,
                    int32_t worker) {
  const int32_t *image = ctx.image;
  const int32_t n = box.voxels;

  if (ctx.criterion == CRITERION_RANGE || ctx.criterion == CRITERION_RANGE_MEAN) {
    int32_t minimum = 255;
    int32_t maximum = 0;
    for_each_pixel(ctx, image, box, [&](int32_t v) {
      if (v <= minimum) {
        minimum = v;
      }
      if (v > maximum) {
        maximum = v;
      }
    });
    node.stat_b = maximum;
    node.stat_a = (maximum - minimum > ctx.threshold) ? -1 : minimum;
    return;
  }

  if (ctx.criterion == CRITERION_ROBUST_RANGE) {
    const int32_t m = block_median(ctx, box, worker);
    int32_t low = m - ctx.half_threshold;
    int32_t high = m + ctx.half_threshold;
    if (low < 0) {
      low = 0;
    }
    if (high > 255) {
      high = 255;
    }
    int32_t minimum = 255;
    int32_t maximum = 0;
    int64_t outliers = 0;
    for_each_pixel(ctx, image, box, [&](int32_t v) {
      if (v < low || v > high) {
        ++outliers;
      } else {
        if (v < minimum) {
          minimum = v;
        }
        if (v > maximum) {
          maximum = v;
        }
      }
    });
    node.stat_b = maximum;
    node.stat_a = (outliers * 100 / n > ctx.outlier_percent) ? -1 : minimum;
    return;
  }

  // Criteria 4 and 5: sum and sum of squares.
  int64_t s = 0;
  int64_t q = 0;
  for_each_pixel(ctx, image, box, [&](int64_t v) {
    s += v;
    q += v * v;
  });
  const float v = sample_variance(s, q, n);
  node.stat_a = (v > ctx.variance_limit[level]) ? -1 : s;
  node.stat_b = q;
}

bool merge_test(const seg_context &ctx, const block_record &child, int64_t &acc_a, int64_t &acc_b,
                int32_t position, int32_t child_level, const sibling_group &group) {
  if (!is_homogeneous(child)) {
    return false;
  }
  if (!variance_statistics(ctx.criterion)) {
    if (position == 1) {
      acc_a = child.stat_a;
      acc_b = child.stat_b;
      return true;
    }
    if (acc_b - child.stat_a > ctx.threshold || child.stat_b - acc_a > ctx.threshold) {
      return false;
    }
    if (child.stat_a < acc_a) {
      acc_a = child.stat_a;
    }
    if (child.stat_b > acc_b) {
      acc_b = child.stat_b;
    }
    return true;
  }
  acc_a += child.stat_a;
  acc_b += child.stat_b;
  // The last present sibling closes the group: the union's variance.
  if (position < group.children) {
    return true;
  }
  const int32_t parent = child_level + 1;
  const float v = sample_variance(acc_a, acc_b, group.voxels);
  return !(v > ctx.variance_limit[parent]);
}

int32_t build_variance_limits(seg_context &ctx) {
  // levels + 1 entries for both criteria: the merge into the root reads the
  // entry of level levels.
  const int32_t entries = ctx.levels + 1;
  float *limit = static_cast<float *>(seg_calloc(static_cast<size_t>(entries), sizeof(float)));
  if (limit == NULL) {
    return SEG_FAIL;
  }
  const double noise_variance = ctx.noise_variance;
  if (ctx.criterion == CRITERION_CHI2_VARIANCE) {
    const float *row = chi2_table[ctx.confidence_row - 1];
    for (int32_t level = 1; level < ctx.levels; ++level) {
      int32_t k = -2;
      for (int64_t n = ctx.block_voxels[level]; n > 1; n >>= 1) {
        ++k;
      }
      limit[level] = to_float(noise_variance) * row[k];
    }
  } else {
    const float factor = to_float(ctx.size_factor);
    const double variance = static_cast<double>(to_float(noise_variance));
    for (int32_t level = 0; level <= ctx.levels; ++level) {
      const float n = static_cast<float>(ctx.block_voxels[level]);
      const float root = static_cast<float>(sqrt(static_cast<double>(n)));
      const float quotient = factor / root;
      limit[level] = to_float((static_cast<double>(quotient) + 1.0) * variance);
    }
  }
  ctx.variance_limit = limit;
  return SEG_OK;
}

int32_t block_median(const seg_context &ctx, const block_box &box, int32_t worker) {
  int32_t *buffer = median_buffer_of(ctx, worker);
  int32_t n = 0;
  for_each_pixel(ctx, ctx.image, box, [&](int32_t v) { buffer[n++] = v; });
  buffer[n] = buffer[n - 1];
  return select_kth(buffer, 0, n, n >> 1);
}

int32_t select_kth(int32_t *values, int32_t first, int32_t last, int32_t k) {
  for (;;) {
    int32_t p = first + 1;
    while (p <= last && values[p] == values[first]) {
      ++p;
    }
    if (p > last) {
      return values[first];
    }
    const int32_t pivot = values[p] > values[first] ? values[p] : values[first];
    int32_t l = first;
    int32_t r = last;
    do {
      const int32_t t = values[l];
      values[l] = values[r];
      values[r] = t;
      while (values[l] < pivot) {
        ++l;
      }
      while (values[r] >= pivot) {
        --r;
      }
    } while (l < r);
    // values[first..l-1] < pivot <= values[l..last]
    if (k <= l - first) {
      last = l - 1;
    } else {
      k -= l - first;
      first = l;
    }
  }
}
