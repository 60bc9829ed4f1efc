// [labels, snapshots] = regionseg_front(image, 'name', value, ...)
//
// The compiled front end of regionseg.m: the options by name, the image of
// any class read where it lies (mxGetData, no copy), and one run of the
// segmentation, all through the front end's library (front.h).  Labels and
// snapshots come back as int32, numbered from 1.
//
// Everything is checked before anything the size of the image is made; the
// checks' own objects are gone before an error leaves the call, since a host
// may end the call without unwinding.  The snapshot stack's arena comes from
// mxMalloc / mxRealloc and becomes output 2 as it is.
#include <string.h>

#include "../common/reasons.h"
#include "front.h"
#include "mex.h"
#include "mexutil.h"

namespace {

// A refusal in host memory, raised once nothing of ours is alive.
struct Refusal {
  char *id = nullptr;
  char *text = nullptr;
};

char *hostCopy(const std::string &s) {
  char *c = static_cast<char *>(mxMalloc(s.size() + 1));
  memcpy(c, s.c_str(), s.size() + 1);
  return c;
}

Refusal refusalOf(const segfront::Failure &f) {
  return {hostCopy(segfront::identifierOf(f.fault)), hostCopy(segfront::messageOf(f))};
}

Refusal badOption(const std::string &text) {
  segfront::Failure f;
  f.fault = segfront::Fault::kBadOption;
  f.text = text;
  return refusalOf(f);
}

[[noreturn]] void raise(const Refusal &r) { kxErrorVerbatim(r.id, r.text); }

// A one-row character array: an option's name or word.
bool isTextRow(const mxArray *a) {
  return mxIsChar(a) && mxGetNumberOfDimensions(a) == 2 && mxGetM(a) == 1;
}

std::string textOf(const mxArray *a) {
  char *c = mxArrayToString(a);
  std::string s = c != nullptr ? c : "";
  mxFree(c);
  return s;
}

// An option's value: a text, a real numeric or logical scalar, or anything
// else (which the option refuses).
segfront::OptionValue valueOf(const mxArray *a) {
  if (isTextRow(a)) {
    return segfront::OptionValue::ofText(textOf(a));
  }
  if ((mxIsNumeric(a) || mxIsLogical(a)) && !mxIsComplex(a) && mxGetNumberOfElements(a) == 1) {
    return segfront::OptionValue::ofNumber(mxGetScalar(a));
  }
  return segfront::OptionValue();
}

bool sampleOf(mxClassID id, segfront::Sample &s) {
  switch (id) {
#define KX_SAMPLE(name, cls, ctype, mx, kind, bytes, dtype, kal)                                   \
  case mx:                                                                                         \
    s = segfront::Sample::k##name;                                                                 \
    return true;
    KX_SAMPLE_CLASSES(KX_SAMPLE)
#undef KX_SAMPLE
  default:
    return false;
  }
}

// The caller's image where it lies (a sparse one made full first, by the
// host's own full()).
bool viewOf(const mxArray *a, segfront::ImageView &v) {
  if (a == nullptr || !(mxIsNumeric(a) || mxIsLogical(a)) || mxIsComplex(a) ||
      !sampleOf(mxGetClassID(a), v.type)) {
    return false;
  }
  if (mxIsSparse(a)) {
    mxArray *in = const_cast<mxArray *>(a), *full = nullptr;
    mexCallMATLAB(1, &full, 1, &in, "full");
    a = full;
  }
  const mwSize n = mxGetNumberOfDimensions(a);
  const mwSize *dims = mxGetDimensions(a);
  v.ndims = static_cast<int>(n);
  int64_t stride = static_cast<int64_t>(mxGetElementSize(a));
  for (int k = 0; k < 3; ++k) {
    v.dims[k] = k < static_cast<int>(n) ? static_cast<int64_t>(dims[k]) : 1;
    v.strides[k] = stride;
    stride *= v.dims[k];
  }
  if (mxGetNumberOfElements(a) > 0) {
    v.data = mxGetData(a);
  }
  return true;
}

// The heap of the run in progress.  A host ends a call at once when its
// memory cannot be had (the snapshot arena), and the run's own memory is
// then left on it; it is released at the start of the next call, or when
// the module is cleared.  The arena, host memory of the call, the host
// releases itself.
seg_heap frontHeap;

void releaseInterruptedRun() {
  seg_use_heap(nullptr);
  seg_release_heap(frontHeap);
}

// The module is cleared: the run left behind and the memory kept for the
// next calls go back to the C library.
void releaseEverything() {
  releaseInterruptedRun();
  seg_release_pool();
}

// The MATLAB and Octave host of a call: its memory, its interrupt (Ctrl-C),
// its console and its warnings.  The labels become output 1; the stack's
// arena, host memory, becomes output 2 as it is.
class MexHost : public segfront::Host {
public:
  MexHost() {
    // regionseg.m holds the int32 stack and its double copy at once: three
    // times the stack's bytes.
    stackCopies = 3;
    lines = [](const char *line) { mexPrintf("%s", line); };
    heap = &frontHeap;
  }
  int32_t threads() override { return kxThreadCount("regionseg"); }
  // A host may make the warning an error and end the call here.
  bool warning(const char *id, const char *text) override {
    kxWarningVerbatim(id, text);
    return true;
  }
  int32_t *labels(const segfront::Plan &plan) override {
    const mwSize dims[3] = {static_cast<mwSize>(plan.d1), static_cast<mwSize>(plan.d2),
                            static_cast<mwSize>(plan.d3)};
    labels_ = mxCreateNumericArray(static_cast<mwSize>(plan.ndims), dims, mxINT32_CLASS, mxREAL);
    return static_cast<int32_t *>(mxGetData(labels_));
  }
  int32_t *grey(std::size_t voxels) override {
    return static_cast<int32_t *>(mxMalloc(sizeof(int32_t) * voxels));
  }
  void releaseGrey(int32_t *grey) override { mxFree(grey); }
  snapshot_allocator snapshotMemory() override { return {kxHostResize, kxHostRelease}; }
  bool interrupted(int32_t, double) override { return kxInterruptPending(); }
  void deliver(const segfront::Plan &plan, snapshot_list &stack) override {
    plhs_[0] = labels_;
    labels_ = nullptr;
    if (!plan.snapshots) {
      return;
    }
    mwSize dims[4] = {static_cast<mwSize>(plan.d1), static_cast<mwSize>(plan.d2),
                      static_cast<mwSize>(plan.d3), 0};
    dims[plan.ndims] = static_cast<mwSize>(stack.count);
    const size_t bytes = sizeof(int32_t) * plan.voxels() * static_cast<size_t>(stack.count);
    // The arena, whose first count slices are the stack, becomes output 2.
    plhs_[1] = kxArrayOfBlock(stack.arena.slices, bytes, mxINT32_CLASS, dims,
                              static_cast<mwSize>(plan.ndims) + 1);
    stack.arena.slices = nullptr;
    stack.arena.capacity = 0;
  }

  mxArray **plhs_ = nullptr;
  mxArray *labels_ = nullptr; // until delivered
};

// Everything about the call that is known before the run: the refusal, or
// the image's view and the options.
Refusal prepare(int nlhs, int nrhs, const mxArray *prhs[], segfront::ImageView &view,
                segfront::Options &opts) {
  if (nrhs < 1) {
    segfront::Failure f;
    f.fault = segfront::Fault::kBadImage;
    f.text = "expected an image.";
    return refusalOf(f);
  }
  if (nlhs > 2) {
    char id[80];
    kxIdentifier(id, sizeof id, "regionseg", KxReason::outputCount);
    Refusal r = {hostCopy(id), hostCopy("regionseg: at most two outputs: labels and snapshots.")};
    return r;
  }
  if ((nrhs - 1) % 2 != 0) {
    return badOption("options come in name/value pairs.");
  }
  for (int k = 1; k + 1 < nrhs; k += 2) {
    if (!isTextRow(prhs[k])) {
      return badOption("option name " + std::to_string((k + 1) / 2) + " is not a text.");
    }
    const std::string e = segfront::setOption(opts, textOf(prhs[k]), valueOf(prhs[k + 1]));
    if (!e.empty()) {
      return badOption(e);
    }
  }
  if (!viewOf(prhs[0], view)) {
    return refusalOf(segfront::notAnImage());
  }
  return Refusal();
}

// The run into the outputs: the refusal of a call that failed, whose
// labels are gone.
Refusal run(int nlhs, mxArray *plhs[], const segfront::ImageView &view,
            const segfront::Options &opts) {
  MexHost host;
  host.plhs_ = plhs;
  segfront::Plan plan;
  const segfront::Failure f = segfront::run(view, opts, nlhs >= 2, host, plan);
  if (host.labels_ != nullptr) {
    mxDestroyArray(host.labels_);
  }
  return f ? refusalOf(f) : Refusal();
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  releaseInterruptedRun();
  mexAtExit(releaseEverything);
  segfront::ImageView view;
  segfront::Options opts;
  Refusal refused = prepare(nlhs, nrhs, prhs, view, opts);
  if (refused.id == nullptr) {
    refused = run(nlhs, plhs, view, opts);
  }
  if (refused.id != nullptr) {
    raise(refused);
  }
}
