// [labels, snapshots] = regionseg_core(image, levels, flat_levels,
//     start_level, parallel_grouping, parallel_seeds, seed_any_level,
//     criterion, threshold, outlier_fraction, noise_sigma, confidence_row,
//     size_factor, min_region_size, keep_small_stats [, snapshot_budget])
//
// Every argument is checked before anything is allocated, since an error
// leaves the call at once; only then are the outputs created and the
// driver run.  The snapshot stack is built only when the caller asks for it:
// its arena comes from mxMalloc / mxRealloc and becomes output 2 as it is.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "mex.h"
#include "mexutil.h"
#include "regionseg.h"

namespace {

enum {
  arg_image,
  arg_levels,
  arg_flat_levels,
  arg_start_level,
  arg_parallel_grouping,
  arg_parallel_seeds,
  arg_seed_any_level,
  arg_criterion,
  arg_threshold,
  arg_outlier_fraction,
  arg_noise_sigma,
  arg_confidence_row,
  arg_size_factor,
  arg_min_region_size,
  arg_keep_small_stats,
  arg_snapshot_budget,
  arg_count
};
// The inputs every call gives; the snapshot budget may follow.
constexpr int arg_required = arg_snapshot_budget;

const char *const arg_names[arg_count] = {
    "image",          "levels",         "flat_levels", "start_level",     "parallel_grouping",
    "parallel_seeds", "seed_any_level", "criterion",   "threshold",       "outlier_fraction",
    "noise_sigma",    "confidence_row", "size_factor", "min_region_size", "keep_small_stats",
    "snapshot_budget"};

// Parameters read as 32-bit integers (truncated toward zero); the others stay doubles.
bool is_int_parameter(int pos) {
  return pos != arg_outlier_fraction && pos != arg_noise_sigma && pos != arg_size_factor &&
         pos != arg_snapshot_budget;
}

// Raises "Argument N (name) ..." for the argument at pos, under the
// identifier kalmex:regionseg_core:badImage or :badParameter (or the reason
// given).  Nothing is owned when the error leaves.
void refuse(int pos, const char *what, const char *reason = NULL) {
  if (reason == NULL) {
    reason = pos == arg_image ? "badImage" : "badParameter";
  }
  char id[64];
  snprintf(id, sizeof id, "kalmex:regionseg_core:%s", reason);
  mexErrMsgIdAndTxt(id, "Argument %d (%s) %s", pos + 1, arg_names[pos], what);
}

// Reads parameter pos after checking that it is a real numeric or logical
// value that means what it says.
double read_parameter(const mxArray *a, int pos) {
  if (a == NULL || !(mxIsNumeric(a) || mxIsLogical(a)) || mxIsComplex(a) || mxIsSparse(a)) {
    refuse(pos, "must be a real numeric or logical value.");
  }
  if (mxGetNumberOfElements(a) == 0) {
    refuse(pos, "must not be empty.");
  }
  const double v = mxGetScalar(a);
  if (!isfinite(v) && !(pos == arg_snapshot_budget && v > 0)) {
    refuse(pos, "must be finite.");
  }
  if (is_int_parameter(pos) && (v <= -2147483649.0 || v >= 2147483648.0)) {
    refuse(pos, "must fit in a 32-bit integer.");
  }
  return v;
}

// Set while a run and its outputs are being made.  A host ends a call at
// once when its memory cannot be had (the snapshot arena growing, output 2),
// and the run's records, tables and snapshot cells are then left behind; they
// are released at the start of the next call, or when the module is
// cleared.  The arena, host memory of the call, the host releases itself.
bool run_in_progress = false;

void release_interrupted_run() {
  if (run_in_progress) {
    seg_release_everything();
    run_in_progress = false;
  }
}

// The snapshot arena's allocator: host memory, so that output 2 can take the
// arena as its data.
void *host_resize(void *block, size_t bytes) {
  const mwSize n = static_cast<mwSize>(bytes);
  return block == NULL ? mxMalloc(n) : mxRealloc(block, n);
}

void host_release(void *block) { mxFree(block); }

// Output 2 from the arena, whose first count slices are the stack: the arena
// becomes the array's data.  Only a host that refuses the stack's dimensions for that
// data gets a copy.
mxArray *stack_output(snapshot_list &snapshots, const mwSize *dims, mwSize ndims,
                      size_t stack_bytes) {
  mxArray *stack = mxCreateNumericMatrix(0, 0, mxINT32_CLASS, mxREAL);
  if (snapshots.arena.slices != NULL) {
    // Not every host frees the data that mxSetData displaces.
    mxFree(mxGetData(stack));
    mxSetData(stack, snapshots.arena.slices);
    snapshots.arena.slices = NULL; // the array owns it now
    snapshots.arena.capacity = 0;
  }
  if (mxSetDimensions(stack, dims, ndims) == 0) {
    return stack;
  }
  mxArray *copy = mxCreateNumericArray(ndims, dims, mxINT32_CLASS, mxREAL);
  if (stack_bytes != 0) {
    memcpy(mxGetData(copy), mxGetData(stack), stack_bytes);
  }
  mxDestroyArray(stack);
  return copy;
}

// The images the block codes and 32-bit pixel offsets reach.
constexpr int64_t max_voxels = int64_t{1} << 30;

// The snapshot budget in bytes (0: none): above 1 the value is bytes, in
// (0, 1] a share of the machine's physical memory; without the input a
// quarter of it.  A machine that does not tell its memory gets no bound; a
// share too small for one byte allows none.
size_t snapshot_budget_bytes(int nrhs, const double *value) {
  double budget = nrhs > arg_snapshot_budget ? value[arg_snapshot_budget] : 0.25;
  if (budget <= 1.0) {
    const double memory = kxPhysicalMemoryBytes();
    if (memory <= 0) {
      return 0;
    }
    budget *= memory;
  }
  if (budget >= 1.8e19) {
    return 0;
  }
  return budget < 1.0 ? 1 : static_cast<size_t>(budget);
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  release_interrupted_run();
  mexAtExit(release_interrupted_run);
  if (nrhs != arg_required && nrhs != arg_count) {
    mexErrMsgIdAndTxt(
        "kalmex:regionseg_core:inputCount",
        "Expected 15 or 16 inputs: the image, 14 parameters and the snapshot budget.");
  }
  if (nlhs > 2) {
    mexErrMsgIdAndTxt("kalmex:regionseg_core:outputCount",
                      "At most two outputs: labels and snapshots.");
  }

  // The image: a real, full int32 array of two or three dimensions.
  const mxArray *image = prhs[arg_image];
  if (image == NULL || !mxIsInt32(image) || mxIsComplex(image) || mxIsSparse(image)) {
    refuse(arg_image, "must be a real, full int32 array.");
  }
  int32_t dims[3] = {0, 0, 1};
  int ndims = 0;
  if (!kxDims32(image, dims, 3, &ndims)) {
    refuse(arg_image, "must have two or three dimensions.");
  }
  if (ndims < 3) {
    dims[2] = 1;
  }
  if (int64_t{dims[0]} * dims[1] * dims[2] > max_voxels) {
    refuse(arg_image, "must have at most 2^30 voxels.", "imageTooLarge");
  }

  double value[arg_count] = {0};
  for (int pos = 1; pos < nrhs; ++pos) {
    value[pos] = read_parameter(prhs[pos], pos);
  }
  seg_params p;
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
  if (nrhs > arg_snapshot_budget && !(value[arg_snapshot_budget] > 0)) {
    refuse(arg_snapshot_budget, "must be positive.");
  }
  p.snapshot_budget = snapshot_budget_bytes(nrhs, value);
  const int32_t levels = p.levels;
  const int32_t flat_levels = p.flat_levels;
  const int32_t start_level = p.start_level;
  const int32_t criterion = p.criterion;

  // Tree shape: a block code holds sixteen digits.
  if (levels < 1 || levels > max_levels) {
    refuse(arg_levels, "must be 1 to 16.");
  }
  if (start_level < 0 || start_level >= levels) {
    refuse(arg_start_level, "must be 0 to levels - 1.");
  }
  if (flat_levels < 0 || flat_levels > levels) {
    refuse(arg_flat_levels, "must be 0 to levels.");
  }
  const int32_t side = int32_t{1} << levels;
  if (dims[0] != side || dims[1] != side) {
    refuse(arg_image, "must be 2^levels in its first two dimensions.");
  }
  if (ndims == 2 && flat_levels != levels) {
    refuse(arg_image, "must be 3-D unless flat_levels equals levels.");
  }
  if (dims[2] != (int32_t{1} << (levels - flat_levels))) {
    refuse(arg_image, "must have 2^(levels - flat_levels) planes.");
  }

  // Criterion and the parameters it reads.
  if (criterion < CRITERION_RANGE || criterion > CRITERION_SCALED_VARIANCE) {
    refuse(arg_criterion, "must be 1 to 5.");
  }
  if (criterion == CRITERION_CHI2_VARIANCE) {
    if (p.confidence_row < 1 || p.confidence_row > 3) {
      refuse(arg_confidence_row, "must be 1, 2 or 3 with criterion 4.");
    }
    // Pixels in a block of level levels - 1: 4 per level up to flat_levels, 8 above.
    const int32_t below_root = levels - 1;
    const int32_t flat = below_root < flat_levels ? below_root : flat_levels;
    const int64_t voxels = int64_t{1} << (2 * flat + 3 * (below_root - flat));
    if (voxels > 262144) {
      refuse(arg_criterion, "4 allows blocks below the root of at most 262144 pixels.");
    }
  }
  if (p.parallel_grouping != 0 && p.parallel_seeds < 1) {
    refuse(arg_parallel_seeds, "must be at least 1 with parallel grouping.");
  }
  if (p.threshold < 0) {
    refuse(arg_threshold, "must not be negative.");
  }
  if (p.outlier_fraction < 0.0) {
    refuse(arg_outlier_fraction, "must not be negative.");
  }

  // Grey values, one pass.
  const int32_t voxels = dims[0] * dims[1] * dims[2];
  const int32_t *grey = static_cast<const int32_t *>(mxGetData(image));
  for (int32_t i = 0; i < voxels; ++i) {
    if (grey[i] < 0 || grey[i] > 255) {
      refuse(arg_image, "must hold grey values 0 to 255.");
    }
  }

  // The thread count, read only when the image is large enough for a
  // stage to use two (see plan_parts).
  if (voxels >= 2 * p.voxels_per_thread) {
    p.threads = kxThreadCount("regionseg_core");
  }

  // Everything is checked: build the outputs and run.
  const mwSize label_dims[3] = {static_cast<mwSize>(dims[0]), static_cast<mwSize>(dims[1]),
                                static_cast<mwSize>(dims[2])};
  plhs[0] = mxCreateNumericArray(static_cast<mwSize>(ndims), label_dims, mxINT32_CLASS, mxREAL);
  int32_t *labels = static_cast<int32_t *>(mxGetData(plhs[0]));

  snapshot_list snapshots = {};
  snapshots.arena.allocator.resize = host_resize;
  snapshots.arena.allocator.release = host_release;
  const bool want_snapshots = nlhs >= 2;
  run_in_progress = true;
  split_merge(grey, dims[0], dims[1], dims[2], p, labels, want_snapshots ? &snapshots : NULL);
  if (want_snapshots) {
    mwSize stack_dims[4] = {label_dims[0], label_dims[1], label_dims[2], 0};
    stack_dims[ndims] = static_cast<mwSize>(snapshots.count);
    const size_t stack_bytes =
        sizeof(int32_t) * static_cast<size_t>(voxels) * static_cast<size_t>(snapshots.count);
    plhs[1] = stack_output(snapshots, stack_dims, static_cast<mwSize>(ndims) + 1, stack_bytes);
    release_snapshot_cells(snapshots.head);
    if (snapshots.budget_reached) {
      run_in_progress = false;
      mexWarnMsgIdAndTxt("kalmex:regionseg_core:snapshotBudget",
                         "The snapshot stack reached its budget of %.0f bytes: %d snapshots kept, "
                         "the last one showing the final state.",
                         static_cast<double>(p.snapshot_budget), snapshots.count);
    }
  }
  run_in_progress = false;
}
