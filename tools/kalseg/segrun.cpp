// kalseg's runs through the front end (segrun.h).
#include "segrun.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "machine.h"

namespace kalseg {

std::string setOption(segfront::Options &opts, const std::string &name, const std::string &word) {
  std::string key = name;
  std::replace(key.begin(), key.end(), '-', '_');
  // Colour is grey once read, the pages of a file are its planes, and the
  // progress lines are the tool's own option (--verbose).
  if (key == "rgb" || key == "verbose") {
    return "unknown option '" + name + "'.";
  }
  return segfront::setOption(opts, key, segfront::commandLineValue(key, word));
}

namespace {

// The shell's host of a run: the C library's memory, KALMEX_THREADS (kalseg
// says what is wrong with it once, before its first run), the watch's
// lines and check, and the warnings kept for the caller to print.
class ShellHost : public segfront::Host {
public:
  ShellHost(Result &r, const Watch &watch) : r_(r), watch_(watch) {
    stackCopies = 1; // the result takes the module's stack as it is
    lines = watch.lines;
    prefixOwn = false;
    scaleFix = "--scale minmax";
  }
  int32_t threads() override { return kxEnvironmentThreads(nullptr, 0); }
  bool warning(const char *id, const char *text) override {
    if (std::strcmp(id, segfront::kLowRangeWarningId) == 0) {
      r_.lowRange = text;
    }
    return true; // the budget's: Result::budgetReached
  }
  // The run's buffers fail as the module's own do when memory runs short
  // for them: the message is kept for the caller.
  int32_t *labels(const segfront::Plan &plan) override {
    shortage = tryResize(r_.labels, plan.voxels(), "set-up", "the labels");
    return shortage.empty() ? r_.labels.data() : nullptr;
  }
  int32_t *grey(std::size_t voxels) override {
    shortage = tryResize(grey_, voxels, "set-up", "the grey values");
    if (!shortage.empty()) {
      return nullptr;
    }
    // The run's time: from its grey values to their release.
    start_ = std::chrono::steady_clock::now();
    return grey_.data();
  }
  void releaseGrey(int32_t *) override {
    r_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::vector<int32_t>().swap(grey_);
  }
  snapshot_allocator snapshotMemory() override {
    return {[](void *block, std::size_t bytes) { return std::realloc(block, bytes); }, std::free};
  }
  bool interrupted(int32_t stage, double done) override {
    return watch_.check != nullptr && watch_.check(watch_.data, stage, done);
  }
  void deliver(const segfront::Plan &plan, snapshot_list &stack) override {
    if (!plan.snapshots) {
      return;
    }
    r_.snapshotCount = stack.count;
    r_.budgetReached = stack.budget_reached;
    r_.snapshots.reset(stack.arena.slices,
                       [](const int32_t *p) { std::free(const_cast<int32_t *>(p)); });
    stack.arena.slices = nullptr;
    stack.arena.capacity = 0;
  }

  std::string shortage; // what the host could not allocate

private:
  Result &r_;
  const Watch &watch_;
  std::vector<int32_t> grey_;
  std::chrono::steady_clock::time_point start_;
};

} // namespace

Result segment(const Volume &image, const segfront::Options &opts, bool wantSnapshots,
               const Watch &watch) {
  Result r;
  ShellHost host(r, watch);
  const segfront::Failure f = segfront::run(viewOf(image), opts, wantSnapshots, host, r.plan);
  if (f) {
    r.error = host.shortage.empty() ? f.text : host.shortage;
    r.labels.clear();
    r.lowRange.clear();
    return r;
  }
  const int32_t regions = *std::max_element(r.labels.begin(), r.labels.end());
  r.error =
      tryResize(r.sizes, static_cast<std::size_t>(regions), "label output", "the region sizes");
  if (!r.error.empty()) {
    r.labels.clear();
    return r;
  }
  for (int32_t l : r.labels) {
    ++r.sizes[static_cast<std::size_t>(l) - 1];
  }
  return r;
}

Volume reduce(const Volume &in, int n) {
  Volume out;
  out.d1 = (in.d1 + n - 1) / n;
  out.d2 = (in.d2 + n - 1) / n;
  out.d3 = in.d3;
  out.type = in.type;
  out.maxval = in.maxval;
  withSampleType(in.type, [&](auto t) {
    using T = decltype(t);
    std::vector<T> v(out.size());
    const T *from = reinterpret_cast<const T *>(in.bytes.data());
    for (int z = 0; z < out.d3; ++z) {
      for (int y = 0; y < out.d2; ++y) {
        for (int x = 0; x < out.d1; ++x) {
          double sum = 0;
          int count = 0;
          for (int yy = y * n; yy < std::min(in.d2, (y + 1) * n); ++yy) {
            for (int xx = x * n; xx < std::min(in.d1, (x + 1) * n); ++xx) {
              sum += static_cast<double>(
                  from[static_cast<std::size_t>(xx) + static_cast<std::size_t>(yy) * in.d1 +
                       static_cast<std::size_t>(z) * in.d1 * in.d2]);
              ++count;
            }
          }
          // Integers rounded, floating point as it is.
          const double mean = sum / count;
          v[static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * out.d1 +
            static_cast<std::size_t>(z) * out.d1 * out.d2] =
              static_cast<T>(std::is_floating_point<T>::value ? mean : std::round(mean));
        }
      }
    }
    out = Volume::of(out.d1, out.d2, out.d3, v, out.maxval);
  });
  out.type = in.type; // logical stays logical
  return out;
}

std::string usage() {
  return R"(Usage: kalseg [OPTIONS] INPUT LABELS
Segments the grey image INPUT by split and merge with regionseg_core, and
writes the region of every pixel to LABELS, numbered 1, 2, ... by size: a
16-bit grey PNG (.png) or TIFF (.tif, .tiff; one page per plane, 32-bit when
the labels need it).

INPUT is a PNG, PGM or TIFF file.  A TIFF's samples keep their class: 1-bit
(logical), 2- to 16-bit, 32- and 64-bit unsigned and 8- to 64-bit signed
integers, 32- and 64-bit floating point (single, double), in strips or
tiles, the samples of a pixel together or in planes.  Each page of a TIFF is
a plane of a 3-D volume, and its pages must be of one size and class
(thumbnails and masks are passed over).  Colour is turned to grey (0.299 R +
0.587 G + 0.114 B, rounded for integers), a palette picture is the grey of
its colours, and other colour spaces (CMYK, YCbCr, ...) are read as libtiff
turns them to 8-bit RGB.

Pixels are neighbours when they share a face: 4 neighbours a pixel in a
picture, 6 a voxel in a volume.  The result depends on the image's
orientation: the tree of blocks and the order of the region list see the
axes in order (rows, columns, pages), so a transposed image may give a
slightly different segmentation.

Options (as for regionseg in MATLAB and Octave; '-' and '_' alike):
  --criterion NAME        range (default), range_mean, robust_range,
                          chi2_variance, scaled_variance, or 1 to 5
  --threshold N           grey-value threshold, whole number >= 0 (20)
  --start_level N         initial blocks of 2^N pixels a side, 0 to L - 1 for
                          a tree of 2^L pixels a side (min(3, L - 1))
  --grouping MODE         sequential (default) or parallel
  --seeds N               seed regions of parallel grouping, >= 1 (4)
  --seed_any_level B      seeds from any block level (false)
  --min_region_size N     merge regions of fewer pixels, whole number >= 0;
                          0 keeps them (0)
  --keep_small_stats B    merged small regions add their statistics (false)
  --outlier_fraction F    robust_range: tolerated outliers, 0 to 1 (0.05)
  --noise_sigma F         variance criteria: noise deviation, >= 0 (2)
  --confidence P          chi2_variance: 0.5, 0.75 (default) or 0.9
  --size_factor F         scaled_variance: factor of the limit, >= 0 (1)
  --scale MODE            class (default): as the samples' class or format
                          says: 8-bit values as they are, 16-bit from
                          0..65535, floating point from 0..1, 1-bit to
                          0/255, a PGM's from 0..maxval, a 12-bit TIFF's
                          from 0..4095; signed and 32- or 64-bit integers
                          as they are when they all lie in 0..255, else
                          refused; none: values used as they are, whole
                          numbers in 0..255 only; minmax: the image's range
                          to 0..255; clip: rounded and clipped to 0..255.
                          A scale that would bring an image of several
                          values less than one grey value apart is refused
                          (16-bit samples holding 0..255 under class: use
                          clip); one that brings more than 32 distinct
                          values to fewer than 32 grey values warns (12-bit
                          data in a 16-bit file: use --scale minmax)
  --flat_levels N         3-D only: block levels one plane thick, 0 to 16
  --snapshot_budget M     memory the snapshots of --montage may take: bytes
                          above 1, at least one snapshot's, or a fraction of
                          the physical memory up to 1 (0.25); a longer run
                          keeps its first snapshots and its final state
  --colour FILE           also write the labels in distinct colours (PNG;
                          the planes side by side for a volume)
  --montage FILE          also write the snapshots of the run side by side
                          (PNG; the middle plane of a volume)
  --reduce N              first shrink the image N times in its first two
                          dimensions (mean of N x N pixels), for coarser
                          regions and a faster run; the labels are of that
                          size.  N larger than the image is a usage error
  --help                  show this text
B is true or false (also 1/0, on/off, yes/no).  Images of any size up to
65536 pixels a side and 2^30 voxels are taken as they are: the tree of
blocks, 2^L x 2^L with up to 2^L planes, covers the image, and its pixels
outside it are absent.  A summary (regions, their sizes, the time) is
printed to standard output, and with --verbose the module's progress lines.
)";
}

} // namespace kalseg
