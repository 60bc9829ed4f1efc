// [labels, snapshots] = regionseg_core(image, levels, flat_levels,
//     start_level, parallel_grouping, parallel_seeds, seed_any_level,
//     criterion, threshold, outlier_fraction, noise_sigma, confidence_row,
//     size_factor, min_region_size, keep_small_stats [, snapshot_budget])
//
// Every argument is checked before anything is allocated, since an error
// leaves the call at once; only then are the outputs created and the
// driver run.  The snapshot stack is built only when the caller asks for it:
// its arena comes from mxMalloc / mxRealloc and becomes output 2 as it is.
// A run that memory runs short for, or that the host's interrupt stops,
// raises kalmex:regionseg_core:outOfMemory or :interrupted, saying what ran
// short or where it stopped, with nothing left allocated.
#include <stdio.h>
#include <string.h>

#include "mex.h"
#include "mexutil.h"
#include "arguments.h"
#include "regionseg.h"

namespace {

// Raises the refusal under kalmex:regionseg_core:REASON.  Nothing is owned
// when the error leaves.
[[noreturn]] void refuse(const seg_refusal &r) {
  KxStatus refusal = kxFailure("regionseg_core", r.reason, "");
  format_refusal(r, refusal.text, sizeof refusal.text);
  kxRaise(refusal);
}

[[noreturn]] void refuse(int pos, const char *what) { refuse(seg_refusal_of(pos, what)); }

// Raises the module's own error of that reason.
[[noreturn]] void raise_error(KxReason reason, const char *text) {
  kxRaise(kxFailure("regionseg_core", reason, text));
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
  seg_refusal r;
  if (!check_parameter_value(pos, v, r)) {
    refuse(r);
  }
  return v;
}

// The heap of the run in progress.  A host ends a call at once when its
// memory cannot be had (the snapshot arena), and the run's records, tables
// and snapshot cells are then left on it; they are released at the start of
// the next call, or when the module is cleared.  The arena, host memory of
// the call, the host releases itself.  The hosts call a module one call at a
// time, so one heap serves every call of the gateway (other callers of the
// driver run on heaps of their own).
seg_heap gateway_heap;

void release_interrupted_run() {
  seg_use_heap(NULL);
  seg_release_heap(gateway_heap);
}

// The module is cleared: the run left behind and the memory kept for the
// next calls go back to the C library.
void release_everything() {
  release_interrupted_run();
  seg_release_pool();
}

// The host's interrupt (Ctrl-C), asked between the stages of a run and
// within them.
bool host_interrupt(void *, int32_t, double) { return kxInterruptPending(); }

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  release_interrupted_run();
  mexAtExit(release_everything);
  if (nrhs != arg_required && nrhs != arg_count) {
    raise_error(KxReason::inputCount,
                "Expected 15 or 16 inputs: the image, 14 parameters and the snapshot budget.");
  }
  if (nlhs > 2) {
    raise_error(KxReason::outputCount, "At most two outputs: labels and snapshots.");
  }

  // The image: a real, full int32 array of two or three dimensions.
  const mxArray *image = prhs[arg_image];
  seg_refusal r;
  if (!check_image_type(
          image != NULL && mxIsInt32(image) && !mxIsComplex(image) && !mxIsSparse(image), r)) {
    refuse(r);
  }
  int32_t dims[3] = {0, 0, 1};
  int ndims = 0;
  const bool shape_fits = kxDims32(image, dims, 3, &ndims);
  if (ndims < 3) {
    dims[2] = 1;
  }
  if (!check_image_shape(dims, ndims, shape_fits, r)) {
    refuse(r);
  }

  double value[arg_count] = {0};
  for (int pos = 1; pos < nrhs; ++pos) {
    value[pos] = read_parameter(prhs[pos], pos);
  }
  seg_params p;
  if (!seg_params_from_values(value, nrhs, dims, ndims, kxPhysicalMemoryBytes(), p, r)) {
    refuse(r);
  }

  // Grey values, one pass.
  const int32_t voxels = dims[0] * dims[1] * dims[2];
  const int32_t *grey = static_cast<const int32_t *>(mxGetData(image));
  if (!check_grey_values(grey, voxels, r)) {
    refuse(r);
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
  snapshots.arena.allocator.resize = kxHostResize;
  snapshots.arena.allocator.release = kxHostRelease;
  const bool want_snapshots = nlhs >= 2;
  p.heap = &gateway_heap;
  p.check = host_interrupt;
  seg_failure why = {};
  const int32_t status = split_merge(grey, dims[0], dims[1], dims[2], p, labels,
                                     want_snapshots ? &snapshots : NULL, &why);
  if (status != SEG_OK) {
    char text[200];
    format_failure(status, why, text, sizeof text);
    raise_error(status == SEG_STOPPED ? KxReason::interrupted : KxReason::outOfMemory, text);
  }
  if (want_snapshots) {
    mwSize stack_dims[4] = {label_dims[0], label_dims[1], label_dims[2], 0};
    stack_dims[ndims] = static_cast<mwSize>(snapshots.count);
    const size_t stack_bytes =
        sizeof(int32_t) * static_cast<size_t>(voxels) * static_cast<size_t>(snapshots.count);
    // The arena, whose first count slices are the stack, becomes output 2.
    plhs[1] = kxArrayOfBlock(snapshots.arena.slices, stack_bytes, mxINT32_CLASS, stack_dims,
                             static_cast<mwSize>(ndims) + 1);
    snapshots.arena.slices = NULL;
    snapshots.arena.capacity = 0;
    if (snapshots.budget_reached) {
      char text[200];
      format_budget_warning(static_cast<double>(p.snapshot_budget), snapshots.count, text,
                            sizeof text);
      char id[64];
      kxIdentifier(id, sizeof id, "regionseg_core", KxReason::snapshotBudget);
      mexWarnMsgIdAndTxt(id, "%s", text);
    }
  }
}
