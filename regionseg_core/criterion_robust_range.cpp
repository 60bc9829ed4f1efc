// Criterion 3, robust_range: a block is homogeneous when at most
// outlier_percent of its pixels lie outside a window of the threshold's
// width around its median; it then holds the minimum and maximum of the
// others, and merging and the regions go by that range as under
// criterion 1.
#include "fpcontract.h"

#include "criterion_stages.h"

namespace {

struct robust_range : range_blocks, range_regions {
  static void evaluate(const run_config &ctx, const block_box &box, int32_t, block_record &node,
                       int32_t worker) {
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
    for_each_pixel(ctx, ctx.image, box, [&](int32_t v) {
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
    node.stat_a = (outliers * 100 / box.voxels > ctx.outlier_percent) ? -1 : minimum;
  }

  // One median buffer for each thread, for the pixels of the largest
  // present start block (no block judged is larger) and one more.
  static int32_t set_up(seg_context &ctx) {
    ctx.median_entries = box_at(ctx, 0, 0, 0, ctx.start_level).voxels + 1;
    const size_t entries = static_cast<size_t>(ctx.median_entries);
    ctx.median_buffer = static_cast<int32_t *>(
        seg_calloc(static_cast<size_t>(ctx.threads) * entries, sizeof(int32_t)));
    if (ctx.median_buffer == NULL) {
      return note_shortage(ctx, "the median buffers");
    }
    return SEG_OK;
  }
};

} // namespace

int32_t block_median(const run_config &ctx, const block_box &box, int32_t worker) {
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

extern const criterion_rules robust_range_criterion =
    rules_for<robust_range>(CRITERION_ROBUST_RANGE);
