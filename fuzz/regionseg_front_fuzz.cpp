// regionseg_front on arbitrary images and options.  Every call is refused
// with an identifier of its own (kalmex:regionseg:REASON and a text starting
// "regionseg: ", or the run's kalmex:regionseg_core:outOfMemory) or
// succeeds; it leaves nothing allocated (host arrays and blocks, the
// module's own count of live allocations); a successful call's labels tile
// the image, numbered 1, 2, ... by size, and its stack holds whole images.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzzinput.h"
#include "kalhost.h"

namespace {

const char *const kNames[] = {"criterion",
                              "threshold",
                              "start_level",
                              "grouping",
                              "seeds",
                              "seed_any_level",
                              "min_region_size",
                              "keep_small_stats",
                              "outlier_fraction",
                              "noise_sigma",
                              "confidence",
                              "size_factor",
                              "scale",
                              "rgb",
                              "flat_levels",
                              "snapshot_budget"};
const char *const kWords[] = {"range",
                              "range_mean",
                              "robust_range",
                              "chi2_variance",
                              "scaled_variance",
                              "sequential",
                              "parallel",
                              "none",
                              "minmax",
                              "class",
                              "clip",
                              "grey",
                              "volume",
                              ""};

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "regionseg_front: %s\n", what);
  std::abort();
}

// The labels of a finished run: 1 .. k all used, no more pixels in a
// higher label than in a lower one.
void checkLabels(const mxArray *labels) {
  if (labels == nullptr || !mxIsInt32(labels)) {
    fail("labels missing or not int32");
  }
  const std::size_t n = mxGetNumberOfElements(labels);
  const int32_t *l = static_cast<const int32_t *>(mxGetData(labels));
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i < n; ++i) {
    if (l[i] < 1 || static_cast<std::size_t>(l[i]) > n) {
      fail("a label out of range");
    }
    if (static_cast<std::size_t>(l[i]) > sizes.size()) {
      sizes.resize(static_cast<std::size_t>(l[i]), 0);
    }
    ++sizes[static_cast<std::size_t>(l[i]) - 1];
  }
  for (std::size_t k = 0; k < sizes.size(); ++k) {
    if (sizes[k] == 0 || (k > 0 && sizes[k] > sizes[k - 1])) {
      fail("the labels are not numbered by size");
    }
  }
}

// A word an option may take, in any letter case, or any text.
std::string word(kalfuzz::Bytes &in) {
  const uint8_t pick = in.byte();
  return pick < 240 ? kalfuzz::mixedCase(in, kWords[pick % 14]) : in.text(20);
}

// An option's value: mostly a number or a word it may take, sometimes any
// array.
mxArray *value(kalfuzz::Bytes &in) {
  const uint8_t pick = in.byte();
  if (pick < 110) {
    const double small[] = {0, 1, 2, 3, 0.5, 0.75, 0.9, 20, 1e-9, 1e6, -1, 16};
    return mxCreateDoubleScalar(small[in.byte() % 12]);
  }
  if (pick < 190) {
    return mxCreateString(word(in).c_str());
  }
  if (pick < 200) {
    return mxCreateLogicalScalar(in.byte() & 1);
  }
  if (pick < 215) {
    return mxCreateDoubleScalar(in.f64());
  }
  return kalfuzz::makeArray(in, 8);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kalfuzz::preload("regionseg_front");
  return 0;
}

// Input: the outputs, the image, the options, a failing allocation.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  kalfuzz::Bytes in(data, size);
  const int nlhs = in.byte() % 4;
  kalfuzz::CallFrame frame;
  if (in.byte() < 250) {
    frame.inputs.push_back(kalfuzz::makeArray(in, 600));
  }
  const int pairs = in.byte() % 5;
  for (int k = 0; k < pairs; ++k) {
    const uint8_t pick = in.byte();
    frame.inputs.push_back(pick < 230
                               ? mxCreateString(kalfuzz::mixedCase(in, kNames[pick % 16]).c_str())
                               : kalfuzz::makeArray(in, 8));
    if (in.byte() < 250) { // now and then a name without its value
      frame.inputs.push_back(value(in));
    }
  }

  // Now and then one of the module's allocations fails (the call ends with
  // kalmex:regionseg_core:outOfMemory), or one of the host's (the call
  // ends with "Out of memory.").
  mxArray *out[4] = {nullptr, nullptr, nullptr, nullptr};
  const kalfuzz::SegCall call =
      kalfuzz::callSegmentation("regionseg_front", in.byte(), 4, nlhs, out, frame.inputs);
  const kalhost::CallResult &r = call.result;
  if (!r.ok) {
    const bool ours =
        r.id.rfind("kalmex:regionseg:", 0) == 0 && r.error.rfind("regionseg: ", 0) == 0;
    const bool run = r.id == "kalmex:regionseg_core:outOfMemory" && call.moduleFailed;
    // The embedded host has no full() for a sparse image.
    const bool sparse = r.id == "MATLAB:UndefinedFunction";
    if (!ours && !run && !sparse && !call.hostEnded) {
      std::fprintf(stderr, "regionseg_front: unexpected error %s \"%s\"\n", r.id.c_str(),
                   r.error.c_str());
      std::abort();
    }
  } else {
    checkLabels(out[0]);
    const std::size_t voxels = mxGetNumberOfElements(out[0]);
    if (nlhs >= 2 &&
        (out[1] == nullptr || !mxIsInt32(out[1]) || mxGetNumberOfElements(out[1]) % voxels != 0)) {
      fail("the snapshot stack is not a whole number of images");
    }
  }
  for (mxArray *o : out) {
    if (o != nullptr) {
      mxDestroyArray(o);
    }
  }
  kalhost::clearTranscript();
  return 0;
}
