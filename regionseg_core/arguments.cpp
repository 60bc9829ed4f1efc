// The checks of a regionseg_core call's arguments (arguments.h).
#include "arguments.h"

#include <math.h>
#include <stdio.h>

const char *const seg_argument_names[arg_count] = {
    "image",          "levels",         "flat_levels", "start_level",     "parallel_grouping",
    "parallel_seeds", "seed_any_level", "criterion",   "threshold",       "outlier_fraction",
    "noise_sigma",    "confidence_row", "size_factor", "min_region_size", "keep_small_stats",
    "snapshot_budget"};

const seg_rule seg_rules[arg_count] = {
    {0, 0},                                       // image
    {1, max_levels},                              // levels
    {0, max_levels},                              // flat_levels
    {0, max_levels - 1},                          // start_level
    {0, 1},                                       // parallel_grouping
    {1, 2147483647.0},                            // parallel_seeds
    {0, 1},                                       // seed_any_level
    {CRITERION_RANGE, CRITERION_SCALED_VARIANCE}, // criterion
    {0, 2147483647.0},                            // threshold
    {0, 1},                                       // outlier_fraction
    {0, INFINITY},                                // noise_sigma
    {1, 3},                                       // confidence_row
    {0, INFINITY},                                // size_factor
    {0, 2147483647.0},                            // min_region_size
    {0, 1},                                       // keep_small_stats
    {0, INFINITY},                                // snapshot_budget
};

int64_t seg_voxels_below_root(int32_t levels, int32_t flat_levels) {
  // 4 pixels per level up to flat_levels, 8 above.
  const int32_t below_root = levels - 1;
  const int32_t flat = below_root < flat_levels ? below_root : flat_levels;
  return int64_t{1} << (2 * flat + 3 * (below_root - flat));
}

bool seg_snapshot_budget(double budget, double memory, double copies, size_t slice, size_t &bytes) {
  double share = budget;
  if (share <= 1.0) {
    share *= memory > 0 ? memory : 0;
  }
  share /= copies;
  // No bound for a share of an unknown memory, or one beyond every size.
  if (!(share > 0) || share >= 1.8e19) {
    bytes = 0;
    return true;
  }
  bytes = share < 1.0 ? 1 : static_cast<size_t>(share);
  if (bytes < slice) {
    if (budget > 1.0) {
      return false;
    }
    bytes = slice;
  }
  return true;
}

void format_budget_warning(double bytes, int32_t kept, char *buf, size_t size) {
  snprintf(buf, size,
           "The snapshot stack reached its budget of %.0f bytes: %d snapshots kept, the last one "
           "showing the final state.",
           bytes, kept);
}

namespace {

bool refuse(seg_refusal &r, int pos, const char *what, const KxReason *reason = NULL) {
  r.position = pos;
  r.what = what;
  r.text[0] = '\0';
  r.reason = reason != NULL ? *reason : seg_refusal_of(pos, what).reason;
  return false;
}

// Parameters read as 32-bit integers (truncated toward zero); the others stay doubles.
bool is_int_parameter(int pos) {
  return pos != arg_outlier_fraction && pos != arg_noise_sigma && pos != arg_size_factor &&
         pos != arg_snapshot_budget;
}

} // namespace

seg_refusal seg_refusal_of(int pos, const char *what) {
  seg_refusal r = {pos, what, pos == arg_image ? KxReason::badImage : KxReason::badParameter};
  return r;
}

void format_refusal(const seg_refusal &r, char *buf, size_t size) {
  snprintf(buf, size, "Argument %d (%s) %s", r.position + 1, seg_argument_names[r.position],
           r.text[0] != '\0' ? r.text : r.what);
}

bool check_image_type(bool int32_array, seg_refusal &r) {
  return int32_array || refuse(r, arg_image, "must be a real, full int32 array.");
}

bool check_image_shape(const int32_t dims[3], int ndims, bool shape_fits, seg_refusal &r) {
  if (!shape_fits || ndims < 2 || ndims > 3) {
    return refuse(r, arg_image, "must have two or three dimensions.");
  }
  if (dims[0] < 1 || dims[1] < 1 || dims[2] < 1) {
    return refuse(r, arg_image, "must not be empty.");
  }
  if (int64_t{dims[0]} * dims[1] * dims[2] > seg_max_voxels) {
    const KxReason large = KxReason::imageTooLarge;
    return refuse(r, arg_image, "must have at most 2^30 voxels.", &large);
  }
  return true;
}

bool check_parameter_value(int pos, double v, seg_refusal &r) {
  if (!isfinite(v) && !(pos == arg_snapshot_budget && v > 0)) {
    return refuse(r, pos, "must be finite.");
  }
  if (is_int_parameter(pos) && (v <= -2147483649.0 || v >= 2147483648.0)) {
    return refuse(r, pos, "must fit in a 32-bit integer.");
  }
  return true;
}

bool seg_params_from_values(const double *value, int count, const int32_t dims[3], int ndims,
                            double memory, seg_params &p, seg_refusal &r) {
  p.levels = static_cast<int32_t>(value[arg_levels]);
  p.flat_levels = static_cast<int32_t>(value[arg_flat_levels]);
  p.start_level = static_cast<int32_t>(value[arg_start_level]);
  p.parallel_grouping = static_cast<int32_t>(value[arg_parallel_grouping]);
  p.parallel_seeds = static_cast<int32_t>(value[arg_parallel_seeds]);
  p.seed_any_level = static_cast<int32_t>(value[arg_seed_any_level]);
  p.criterion = static_cast<int32_t>(value[arg_criterion]);
  p.threshold = static_cast<int32_t>(value[arg_threshold]);
  p.outlier_fraction = value[arg_outlier_fraction];
  p.noise_sigma = value[arg_noise_sigma];
  p.confidence_row = static_cast<int32_t>(value[arg_confidence_row]);
  p.size_factor = value[arg_size_factor];
  p.min_region_size = static_cast<int32_t>(value[arg_min_region_size]);
  p.keep_small_stats = static_cast<int32_t>(value[arg_keep_small_stats]);
  const bool budget_given = count > arg_snapshot_budget;
  const double budget = budget_given ? value[arg_snapshot_budget] : seg_default_snapshot_budget;
  if (budget_given && !(budget > 0)) {
    return refuse(r, arg_snapshot_budget, "must be positive.");
  }
  if (!check_seg_params(p, dims, ndims, r)) {
    return false;
  }
  // The final state always has its slice.
  const size_t slice = sizeof(int32_t) * static_cast<size_t>(dims[0]) *
                       static_cast<size_t>(dims[1]) * static_cast<size_t>(dims[2]);
  if (!seg_snapshot_budget(budget, memory, 1, slice, p.snapshot_budget)) {
    refuse(r, arg_snapshot_budget, "");
    snprintf(r.text, sizeof r.text, "must be at least %zu bytes: one snapshot of this image.",
             slice);
    return false;
  }
  return true;
}

bool check_seg_params(const seg_params &p, const int32_t dims[3], int ndims, seg_refusal &r) {
  const int32_t levels = p.levels;
  const int32_t flat_levels = p.flat_levels;
  const int32_t start_level = p.start_level;
  const int32_t criterion = p.criterion;

  // Tree shape: a block code holds sixteen digits.
  if (levels < seg_rules[arg_levels].lo || levels > seg_rules[arg_levels].hi) {
    return refuse(r, arg_levels, "must be 1 to 16.");
  }
  if (start_level < seg_rules[arg_start_level].lo || start_level >= levels) {
    return refuse(r, arg_start_level, "must be 0 to levels - 1.");
  }
  if (flat_levels < seg_rules[arg_flat_levels].lo || flat_levels > levels) {
    return refuse(r, arg_flat_levels, "must be 0 to levels.");
  }
  // The tree covers the image: pixels of its cube outside the image are
  // absent.
  const int32_t side = int32_t{1} << levels;
  if (dims[0] > side || dims[1] > side) {
    return refuse(r, arg_image, "must be at most 2^levels in its first two dimensions.");
  }
  if (ndims == 2 && flat_levels != levels) {
    return refuse(r, arg_image, "must be 3-D unless flat_levels equals levels.");
  }
  if (dims[2] > (int32_t{1} << (levels - flat_levels))) {
    return refuse(r, arg_image, "must have at most 2^(levels - flat_levels) planes.");
  }

  // Criterion and the parameters it reads.
  if (criterion < seg_rules[arg_criterion].lo || criterion > seg_rules[arg_criterion].hi) {
    return refuse(r, arg_criterion, "must be 1 to 5.");
  }
  if (criterion == CRITERION_CHI2_VARIANCE) {
    if (p.confidence_row < seg_rules[arg_confidence_row].lo ||
        p.confidence_row > seg_rules[arg_confidence_row].hi) {
      return refuse(r, arg_confidence_row, "must be 1, 2 or 3 with criterion 4.");
    }
    if (seg_voxels_below_root(levels, flat_levels) > seg_chi2_max_block) {
      refuse(r, arg_criterion, "");
      snprintf(r.text, sizeof r.text, "4 allows blocks below the root of at most %lld pixels.",
               static_cast<long long>(seg_chi2_max_block));
      return false;
    }
  }
  if (p.parallel_grouping != 0 && p.parallel_seeds < seg_rules[arg_parallel_seeds].lo) {
    return refuse(r, arg_parallel_seeds, "must be at least 1 with parallel grouping.");
  }
  if (p.threshold < seg_rules[arg_threshold].lo) {
    return refuse(r, arg_threshold, "must not be negative.");
  }
  if (p.outlier_fraction < seg_rules[arg_outlier_fraction].lo) {
    return refuse(r, arg_outlier_fraction, "must not be negative.");
  }
  return true;
}

bool check_grey_values(const int32_t *grey, int32_t voxels, seg_refusal &r) {
  for (int32_t i = 0; i < voxels; ++i) {
    if (grey[i] < 0 || grey[i] > 255) {
      return refuse(r, arg_image, "must hold grey values 0 to 255.");
    }
  }
  return true;
}
