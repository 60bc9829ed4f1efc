// regionseg_core on arbitrary geometry, parameters and images.  Every call
// is refused with one of the gateway's messages or succeeds; a successful
// run leaves nothing allocated (host arrays and blocks, and the module's own
// count of live allocations), and when it ran the whole pipeline (its last
// progress line is printed after the labels are written) the labels tile
// the image: labels 0 to k-1 are all used, and a higher label never has
// more pixels than a lower one.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzzinput.h"
#include "kalhost.h"

namespace {

const char *const kNames[16] = {
    "image",          "levels",         "flat_levels", "start_level",     "parallel_grouping",
    "parallel_seeds", "seed_any_level", "criterion",   "threshold",       "outlier_fraction",
    "noise_sigma",    "confidence_row", "size_factor", "min_region_size", "keep_small_stats",
    "snapshot_budget"};

bool knownMessage(const std::string &e) {
  if (e == "Expected 15 or 16 inputs: the image, 14 parameters and the snapshot budget." ||
      e == "At most two outputs: labels and snapshots.") {
    return true;
  }
  const std::string small = "Argument 16 (snapshot_budget) must be at least ";
  if (e.compare(0, small.size(), small) == 0 &&
      e.find(" bytes: one snapshot of this image.") != std::string::npos) {
    return true;
  }
  static const char *const any[] = {"must be a real numeric or logical value.",
                                    "must not be empty.", "must be finite.",
                                    "must fit in a 32-bit integer.", "must not be negative."};
  static const struct {
    int pos;
    const char *what;
  } specific[] = {{0, "must be a real, full int32 array."},
                  {0, "must have two or three dimensions."},
                  {0, "must be at most 2^levels in its first two dimensions."},
                  {0, "must be 3-D unless flat_levels equals levels."},
                  {0, "must have at most 2^(levels - flat_levels) planes."},
                  {0, "must hold grey values 0 to 255."},
                  {0, "must have at most 2^30 voxels."},
                  {15, "must be positive."},
                  {1, "must be 1 to 16."},
                  {3, "must be 0 to levels - 1."},
                  {2, "must be 0 to levels."},
                  {7, "must be 1 to 5."},
                  {11, "must be 1, 2 or 3 with criterion 4."},
                  {7, "4 allows blocks below the root of at most 262144 pixels."},
                  {5, "must be at least 1 with parallel grouping."}};
  char buf[200];
  for (int pos = 0; pos < 16; ++pos) {
    for (const char *what : any) {
      std::snprintf(buf, sizeof buf, "Argument %d (%s) %s", pos + 1, kNames[pos], what);
      if (e == buf) {
        return true;
      }
    }
  }
  for (const auto &s : specific) {
    std::snprintf(buf, sizeof buf, "Argument %d (%s) %s", s.pos + 1, kNames[s.pos], s.what);
    if (e == buf) {
      return true;
    }
  }
  return false;
}

// A parameter: mostly the value asked for, sometimes any array.
mxArray *parameter(kalfuzz::Bytes &in, double value) {
  const uint8_t pick = in.byte();
  if (pick < 230) {
    return mxCreateDoubleScalar(value);
  }
  if (pick < 240) {
    return mxCreateDoubleScalar(in.f64());
  }
  return kalfuzz::makeArray(in, 8);
}

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "regionseg_core: %s\n", what);
  std::abort();
}

// The labels of a finished run tile the image.
void checkLabels(const mxArray *labels, std::size_t voxels) {
  if (labels == nullptr || !mxIsInt32(labels) || mxGetNumberOfElements(labels) != voxels) {
    fail("labels missing or of the wrong size");
  }
  const int32_t *l = static_cast<const int32_t *>(mxGetData(labels));
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i < voxels; ++i) {
    if (l[i] < 0 || static_cast<std::size_t>(l[i]) >= voxels) {
      fail("a label out of range");
    }
    if (static_cast<std::size_t>(l[i]) >= sizes.size()) {
      sizes.resize(static_cast<std::size_t>(l[i]) + 1, 0);
    }
    ++sizes[static_cast<std::size_t>(l[i])];
  }
  for (std::size_t k = 0; k < sizes.size(); ++k) {
    if (sizes[k] == 0) {
      fail("a label between 0 and the largest is not used");
    }
    if (k > 0 && sizes[k] > sizes[k - 1]) {
      fail("a label has more pixels than the label before it");
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kalfuzz::preload("regionseg_core");
  return 0;
}

// Input: the counts of inputs and outputs, the geometry (levels, flat
// levels, start level, a byte that may bend the image's shape), the
// parameters, then the grey values.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  kalfuzz::Bytes in(data, size);
  const uint8_t counts = in.byte();
  // Mostly the 15 inputs, often the snapshot budget as well (a few slices
  // of these small images), now and then any count.
  const int nrhs = counts < 180 ? 15 : counts < 240 ? 16 : counts % 17;
  const int nlhs = in.byte() % 4;

  // Mostly a geometry the module accepts, filling the tree or not; small,
  // so that runs are fast.
  const int levels = 1 + in.byte() % 4;
  const uint8_t flatPick = in.byte();
  const int flat = flatPick < 160 ? levels : flatPick % (levels + 2);
  const int start = in.byte() % (levels + 1);
  const uint8_t bend = in.byte();
  mwSize dims[4] = {mwSize(1) << levels, mwSize(1) << levels, 1, 1};
  const int planes = levels - flat >= 0 ? 1 << (levels - flat) : 1;
  mwSize ndims = planes > 1 ? 3 : 2;
  dims[2] = static_cast<mwSize>(planes);
  if (in.byte() >= 96) {
    for (int k = 0; k < 3; ++k) {
      dims[k] = 1 + in.byte() % dims[k];
    }
  }
  if (bend >= 240) {
    dims[bend % 3] += 1;
  } else if (bend >= 230) {
    ndims = 4;
    dims[3] = 2;
  } else if (bend >= 225) {
    ndims = 3;
    dims[2] = 2;
  }
  const int criterion = 1 + in.byte() % 6;
  const int parallel = in.byte() % 2;
  const int seeds = in.byte() % 4;
  const int seedAny = in.byte() % 2;
  const int threshold = in.byte() % 64;
  const double outliers = (in.byte() % 40) / 100.0;
  const double sigma = in.byte() % 20;
  const int row = in.byte() % 4;
  const double factor = in.byte() % 8;
  const int minSize = in.byte() % 2 == 0 ? 0 : in.byte() % 32;
  const int keep = in.byte() % 2;
  const double values[15] = {0,
                             double(levels),
                             double(flat),
                             double(start),
                             double(parallel),
                             double(seeds),
                             double(seedAny),
                             double(criterion),
                             double(threshold),
                             outliers,
                             sigma,
                             double(row),
                             factor,
                             double(minSize),
                             double(keep)};

  kalfuzz::CallFrame frame;
  std::size_t voxels = 0;
  for (int pos = 0; pos < nrhs; ++pos) {
    if (pos != 0) {
      frame.inputs.push_back(parameter(in, pos < 15 ? values[pos] : 256.0 * in.byte()));
      continue;
    }
    const uint8_t kind = in.byte();
    if (kind >= 245) {
      // Any array: one that happens to be an int32 image the tree covers
      // is segmented.
      frame.inputs.push_back(kalfuzz::makeArray(in, 64));
      voxels = mxGetNumberOfElements(frame.inputs.back());
      continue;
    }
    mxArray *image = mxCreateNumericArray(ndims, dims, mxINT32_CLASS, mxREAL);
    voxels = mxGetNumberOfElements(image);
    int32_t *grey = static_cast<int32_t *>(mxGetData(image));
    // Grey values from few levels, so that blocks are often homogeneous;
    // now and then one out of range.
    const int spread = 1 + in.byte() % 4;
    for (std::size_t i = 0; i < voxels; ++i) {
      const uint8_t b = in.byte();
      grey[i] = (b >> (8 - spread)) * (255 >> spread);
    }
    if (kind >= 240 && voxels > 0) {
      grey[in.byte() % voxels] = (kind & 1) ? -1 : 256;
    }
    frame.inputs.push_back(image);
  }

  // Now and then one of the module's allocations fails (the call then
  // raises kalmex:regionseg_core:outOfMemory with everything released, or
  // gives its whole result), or one of the host's (the call ends with "Out
  // of memory.").
  mxArray *out[4] = {nullptr, nullptr, nullptr, nullptr};
  const kalfuzz::SegCall call =
      kalfuzz::callSegmentation("regionseg_core", in.byte(), 2, nlhs, out, frame.inputs);
  const kalhost::CallResult &r = call.result;
  const std::string &progress = call.printed;
  const bool outOfMemory = call.hostEnded;
  const bool runShort = call.moduleFailed && !r.ok && r.id == "kalmex:regionseg_core:outOfMemory" &&
                        r.error.rfind("Out of memory during ", 0) == 0;
  if (!r.ok) {
    if (!outOfMemory && !runShort && !knownMessage(r.error)) {
      std::fprintf(stderr, "regionseg_core: unexpected error \"%s\"\n", r.error.c_str());
      std::abort();
    }
  } else {
    // "No save_regionlist specified" is the last line of a finished run.
    if (nlhs >= 1 && progress.find("No save_regionlist specified\n") != std::string::npos) {
      checkLabels(out[0], voxels);
    }
    if (nlhs >= 2 && (out[1] == nullptr || !mxIsInt32(out[1]) ||
                      mxGetNumberOfElements(out[1]) % (voxels == 0 ? 1 : voxels) != 0)) {
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
