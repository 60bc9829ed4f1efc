// The pieces the homogeneity criteria share (see criterion.h): the block
// tests and sibling merges of a range and of a variance, and the region
// rules of a range and of a mean.  A criterion takes one of each and adds
// what is its own.
//
// Included after fpcontract.h: every single-precision step is rounded
// exactly where the arithmetic says.
#ifndef KALMEX_REGIONSEG_CRITERION_PARTS_H
#define KALMEX_REGIONSEG_CRITERION_PARTS_H

#include <float.h>
#include <math.h>

#include "criterion.h"

// s^2 for a non-negative sum, formed exactly and rounded once to float.
// Sums below 2^32 (every block of up to 2^24 pixels) square within 64 bits;
// the sums of larger blocks need 128.
inline float square_as_float(int64_t s) {
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
inline float sample_variance(int64_t s, int64_t q, int32_t n) {
  const float e = square_as_float(s) / static_cast<float>(n);
  const float d = n > 1 ? static_cast<float>(n - 1) : 1.0f;
  return (static_cast<float>(q) - e) / d;
}

// A double rounded to float as the hardware rounds it (to nearest), with
// values beyond the float range made infinite explicitly: from FLT_MAX plus
// half a unit on, the nearest float is infinity.
inline float to_float(double v) {
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

// Blocks hold their minimum and maximum: homogeneous when the range is
// within the threshold; siblings merge when the union's range is.
struct range_blocks {
  static void evaluate(const run_config &ctx, const block_box &box, int32_t, block_record &node,
                       int32_t) {
    int32_t minimum = 255;
    int32_t maximum = 0;
    for_each_pixel(ctx, ctx.image, box, [&](int32_t v) {
      if (v <= minimum) {
        minimum = v;
      }
      if (v > maximum) {
        maximum = v;
      }
    });
    node.stat_b = maximum;
    node.stat_a = (maximum - minimum > ctx.threshold) ? -1 : minimum;
  }

  static void accept(block_record &node, int64_t v) {
    node.stat_a = v;
    node.stat_b = v;
  }

  static bool merge(const run_config &ctx, const block_record &child, int64_t &acc_a,
                    int64_t &acc_b, int32_t position, int32_t, const sibling_group &) {
    if (!is_homogeneous(child)) {
      return false;
    }
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
};

// Blocks hold the sum of their grey values and the sum of their squares:
// homogeneous when the sample variance is within the limit of the block's
// level (variance_limit, the criterion's set-up); siblings merge when the
// union's variance is within the parent level's.
struct variance_blocks {
  // variance_limit, levels + 1 entries: limit_of(level) for the levels
  // first to last, 0 for the others.
  template <typename LimitOf>
  static int32_t set_up_limits(seg_context &ctx, int32_t first, int32_t last, LimitOf limit_of) {
    float *limit =
        static_cast<float *>(seg_calloc(static_cast<size_t>(ctx.levels) + 1, sizeof(float)));
    if (limit == NULL) {
      return note_shortage(ctx, "the variance limits");
    }
    for (int32_t level = first; level <= last; ++level) {
      limit[level] = limit_of(level);
    }
    ctx.variance_limit = limit;
    return SEG_OK;
  }
  static void evaluate(const run_config &ctx, const block_box &box, int32_t level,
                       block_record &node, int32_t) {
    int64_t s = 0;
    int64_t q = 0;
    for_each_pixel(ctx, ctx.image, box, [&](int64_t v) {
      s += v;
      q += v * v;
    });
    const float v = sample_variance(s, q, box.voxels);
    node.stat_a = (v > ctx.variance_limit[level]) ? -1 : s;
    node.stat_b = q;
  }

  static void accept(block_record &node, int64_t v) {
    node.stat_a = v;
    node.stat_b = v * v;
  }

  static bool merge(const run_config &ctx, const block_record &child, int64_t &acc_a,
                    int64_t &acc_b, int32_t position, int32_t child_level,
                    const sibling_group &group) {
    if (!is_homogeneous(child)) {
      return false;
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
};

// Regions hold their minimum and maximum (the block's own): a neighbour
// joins when the union's range stays within the threshold.
struct range_regions {
  static void region(const run_config &, const block_record &block, const block_box &,
                     region_hot &h) {
    h.stat_a = block.stat_a;
    h.stat_b = static_cast<int32_t>(block.stat_b);
  }

  static bool joins(const run_config &ctx, const region_hot &r, const region_hot &n) {
    return r.stat_b - n.stat_a <= ctx.threshold && n.stat_b - r.stat_a <= ctx.threshold;
  }

  static void join(region_hot &r, const region_hot &n) {
    if (n.stat_a < r.stat_a) {
      r.stat_a = n.stat_a;
    }
    if (n.stat_b > r.stat_b) {
      r.stat_b = n.stat_b;
    }
  }

  static int64_t distance(const region_hot &p, const region_hot &n) {
    const int64_t one = n.stat_b - p.stat_a;
    const int64_t other = p.stat_b - n.stat_a;
    const int64_t a = one < 0 ? -one : one;
    const int64_t b = other < 0 ? -other : other;
    return a > b ? a : b;
  }

  // An empty range, which leaves any partner's range unchanged.
  static void clear(region_hot &p) {
    p.stat_a = 255;
    p.stat_b = 0;
  }
};

// Regions hold the sum of their grey values and their pixel count: a
// neighbour joins when the means, in single precision, differ by at most
// the threshold.
struct mean_regions {
  // The block's sum (a variance block's own) and its pixels.
  static void region(const run_config &, const block_record &block, const block_box &box,
                     region_hot &h) {
    h.stat_a = block.stat_a;
    h.stat_b = box.voxels;
  }

  static bool joins(const run_config &ctx, const region_hot &r, const region_hot &n) {
    const float m = static_cast<float>(n.stat_a) / static_cast<float>(n.stat_b) -
                    static_cast<float>(r.stat_a) / static_cast<float>(r.stat_b);
    const float a = m < 0.0f ? -m : m;
    return a <= static_cast<float>(ctx.threshold);
  }

  static void join(region_hot &r, const region_hot &n) {
    r.stat_a += n.stat_a;
    r.stat_b += n.stat_b;
  }

  // Whole-number means, truncated toward zero.
  static int64_t distance(const region_hot &p, const region_hot &n) {
    const int64_t mean_p = p.stat_b != 0 ? p.stat_a / p.stat_b : 0;
    const int64_t mean_n = n.stat_b != 0 ? n.stat_a / n.stat_b : 0;
    const int64_t d = mean_p - mean_n;
    return d < 0 ? -d : d;
  }

  static void clear(region_hot &p) {
    p.stat_a = 0;
    p.stat_b = 0;
  }
};

#endif
