#include "segfront.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <numeric>

namespace kalseg {

namespace {

const char *const kCriteria[] = {"range", "range_mean", "robust_range", "chi2_variance",
                                 "scaled_variance"};

std::string lower(std::string s) {
  for (char &c : s) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return s;
}

// The whole text as a finite number.
bool number(const std::string &text, double &v) {
  if (text.empty()) {
    return false;
  }
  char *end = nullptr;
  v = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(v);
}

std::string wholeOption(const std::string &name, const std::string &text, long lo, long hi,
                        int &out) {
  double v = 0;
  if (!number(text, v) || v != std::trunc(v) || v < static_cast<double>(lo) ||
      v > static_cast<double>(hi)) {
    if (hi < 2147483647L) {
      return "option '" + name + "' must be a whole number " + std::to_string(lo) + " to " +
             std::to_string(hi) + ".";
    }
    return "option '" + name + "' must be a whole number >= " + std::to_string(lo) + ".";
  }
  out = static_cast<int>(v);
  return "";
}

std::string format(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::string realOption(const std::string &name, const std::string &text, double lo, double hi,
                       double &out) {
  double v = 0;
  if (!number(text, v) || v < lo || v > hi) {
    if (std::isinf(hi)) {
      return "option '" + name + "' must be a finite number >= " + format(lo) + ".";
    }
    return "option '" + name + "' must be a number " + format(lo) + " to " + format(hi) + ".";
  }
  out = v;
  return "";
}

std::string flagOption(const std::string &name, const std::string &text, int32_t &out) {
  const std::string t = lower(text);
  if (t == "1" || t == "true" || t == "on" || t == "yes") {
    out = 1;
  } else if (t == "0" || t == "false" || t == "off" || t == "no") {
    out = 0;
  } else {
    return "option '" + name + "' must be true or false.";
  }
  return "";
}

// 'a', 'b' or 'c'
std::string wordList(const std::vector<std::string> &words) {
  std::string s;
  for (std::size_t k = 0; k < words.size(); ++k) {
    s += (k == 0 ? "" : k + 1 == words.size() ? " or " : ", ") + ("'" + words[k] + "'");
  }
  return s;
}

// Smallest b with 2^b >= n.
int bitsFor(int n) {
  int b = 0;
  while ((1L << b) < n) {
    ++b;
  }
  return b;
}

// regionseg_core takes at most 2^kMaxVoxelBits voxels.
constexpr int kMaxVoxelBits = 30;

// Levels of a 3-D image with flat_levels given: the planes must fit below
// the flat levels.
int paddedLevels(int side_bits, int plane_bits, int flat_levels) {
  return std::max({side_bits, flat_levels + plane_bits, 1});
}

std::string sizeText(const std::vector<long> &dims) {
  std::string s;
  for (std::size_t k = 0; k < dims.size(); ++k) {
    s += (k == 0 ? "" : " x ") + std::to_string(dims[k]);
  }
  return s;
}

// "" when the image of these dimensions, padded to 2^levels a side and
// 2^plane_bits planes, stays within what regionseg_core takes.
std::string sizeCheck(const std::vector<long> &dims, int levels, int plane_bits) {
  if (2 * levels + plane_bits <= kMaxVoxelBits) {
    return "";
  }
  std::vector<long> padded = {1L << levels, 1L << levels};
  if (dims.size() > 2) {
    padded.push_back(1L << plane_bits);
  }
  return "the image of " + sizeText(dims) + " pixels is too large: padded to " + sizeText(padded) +
         " it would pass the 2^30 voxels that regionseg_core can take.";
}

} // namespace

std::string wordOption(const std::string &name, const std::string &text,
                       const std::vector<std::string> &words, int &index) {
  for (std::size_t k = 0; k < words.size(); ++k) {
    if (lower(text) == words[k]) {
      index = static_cast<int>(k);
      return "";
    }
  }
  return "option '" + name + "' must be " + wordList(words) + ".";
}

seg_params defaultRunParams() {
  seg_params p;
  p.criterion = CRITERION_RANGE;
  p.threshold = 20;
  p.parallel_grouping = 0;
  p.parallel_seeds = 4;
  p.seed_any_level = 0;
  p.min_region_size = 0;
  p.keep_small_stats = 0;
  p.outlier_fraction = 0.05;
  p.noise_sigma = 2;
  p.confidence_row = 2;
  p.size_factor = 1;
  return p;
}

std::string setOption(Options &opts, const std::string &rawName, const std::string &value) {
  std::string name = lower(rawName);
  std::replace(name.begin(), name.end(), '-', '_');
  const long big = 2147483647L;
  if (name == "criterion") {
    std::vector<std::string> words(std::begin(kCriteria), std::end(kCriteria));
    int k = -1;
    double v = 0;
    if (wordOption(name, value, words, k).empty()) {
      opts.run.criterion = k + 1;
    } else if (number(value, v) && v == std::trunc(v) && v >= 1 && v <= 5) {
      opts.run.criterion = static_cast<int>(v);
    } else {
      return "option 'criterion' must be one of " + wordList(words) + " or 1 to 5.";
    }
    return "";
  }
  if (name == "threshold") {
    return wholeOption(name, value, 0, big, opts.run.threshold);
  }
  if (name == "start_level") {
    return wholeOption(name, value, 0, 15, opts.start_level);
  }
  if (name == "grouping") {
    int k = 0;
    std::string e = wordOption(name, value, {"sequential", "parallel"}, k);
    opts.run.parallel_grouping = k == 1 ? 1 : 0;
    return e;
  }
  if (name == "seeds") {
    return wholeOption(name, value, 1, big, opts.run.parallel_seeds);
  }
  if (name == "seed_any_level") {
    return flagOption(name, value, opts.run.seed_any_level);
  }
  if (name == "min_region_size") {
    return wholeOption(name, value, 0, big, opts.run.min_region_size);
  }
  if (name == "keep_small_stats") {
    return flagOption(name, value, opts.run.keep_small_stats);
  }
  if (name == "outlier_fraction") {
    return realOption(name, value, 0, 1, opts.run.outlier_fraction);
  }
  if (name == "noise_sigma") {
    return realOption(name, value, 0, INFINITY, opts.run.noise_sigma);
  }
  if (name == "confidence") {
    const double p[3] = {0.5, 0.75, 0.9};
    double v = 0;
    if (number(value, v)) {
      for (int k = 0; k < 3; ++k) {
        if (std::fabs(v - p[k]) < 1e-9) {
          opts.run.confidence_row = k + 1;
          return "";
        }
      }
    }
    return "option 'confidence' must be 0.5, 0.75 or 0.9.";
  }
  if (name == "size_factor") {
    return realOption(name, value, 0, INFINITY, opts.run.size_factor);
  }
  if (name == "scale") {
    const std::vector<std::string> words = {"none", "minmax", "class", "clip"};
    int k = 0;
    std::string e = wordOption(name, value, words, k);
    if (e.empty()) {
      opts.scale = words[static_cast<std::size_t>(k)];
    }
    return e;
  }
  if (name == "flat_levels") {
    return wholeOption(name, value, 0, 16, opts.flat_levels);
  }
  if (name == "snapshot_budget") {
    double v = 0;
    if (!number(value, v) || !(v > 0)) {
      return "option 'snapshot_budget' must be a number > 0: bytes above 1, a fraction of the "
             "physical memory up to 1.";
    }
    opts.snapshot_budget = v;
    return "";
  }
  return "unknown option '" + rawName + "'.";
}

std::string greyValues(const Volume &in, const std::string &scale, std::vector<int32_t> &grey) {
  const std::size_t n = in.size();
  if (n == 0 || in.v.size() != n) {
    return "the image must be a non-empty 2-D or 3-D array.";
  }
  double lo = INFINITY, hi = -INFINITY;
  bool finite = true;
  for (double v : in.v) {
    if (std::isnan(v)) {
      return "the image must not hold NaN.";
    }
    finite = finite && std::isfinite(v);
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  grey.assign(n, 0);
  if (scale == "minmax") {
    if (!finite) {
      return "the image must hold finite values for 'scale' 'minmax'.";
    }
    const double f = hi > lo ? 255 / (hi - lo) : 0.0;
    for (std::size_t k = 0; k < n; ++k) {
      grey[k] = static_cast<int32_t>(std::round((in.v[k] - lo) * f));
    }
  } else if (scale == "class") {
    // The samples of a file are whole numbers 0..maxval; an integer array's
    // type spans minval..maxval, a floating-point array's values 0..1.
    if (!in.floatClass.empty() && (lo < 0 || hi > 1)) {
      return "for 'scale' 'class' a " + in.floatClass + " image must hold values in 0..1 (found " +
             format(lo) + ".." + format(hi) +
             "); use the option 'scale' ('none' takes grey values 0..255 as they are).";
    }
    const double f = 255 / (in.maxval - in.minval);
    // A single-precision array is scaled in single precision, as its host
    // scales it.
    const bool single = in.floatClass == "single";
    for (std::size_t k = 0; k < n; ++k) {
      const double g = single
                           ? std::round(static_cast<double>(static_cast<float>(in.v[k]) * 255.0f))
                           : std::round((in.v[k] - in.minval) * f);
      if (!(g >= 0 && g <= 255)) {
        return "for 'scale' 'class' the image must hold values in 0.." + format(in.maxval) + ".";
      }
      grey[k] = static_cast<int32_t>(g);
    }
  } else if (scale == "clip") {
    for (std::size_t k = 0; k < n; ++k) {
      grey[k] = static_cast<int32_t>(std::min(std::max(std::round(in.v[k]), 0.0), 255.0));
    }
  } else {
    for (std::size_t k = 0; k < n; ++k) {
      const double v = in.v[k];
      if (v < 0 || v > 255 || v != std::trunc(v)) {
        return "the image must hold whole numbers in 0..255 (found " + format(lo) + ".." +
               format(hi) + "); use the option 'scale'.";
      }
      grey[k] = static_cast<int32_t>(v);
    }
  }
  return "";
}

std::string geometryFor(int d1, int d2, int d3, const Options &opts, Geometry &geo) {
  const int side_bits = bitsFor(std::max(d1, d2));
  const int plane_bits = bitsFor(d3);
  if (d3 > 1) {
    // The fewest flat levels that fit the planes need the fewest voxels.
    geo.levels = std::max({side_bits, plane_bits, 1});
    std::string e = sizeCheck({d1, d2, d3}, geo.levels, plane_bits);
    if (!e.empty()) {
      return e;
    }
    if (opts.flat_levels < 0) {
      geo.flat_levels = geo.levels - plane_bits;
    } else {
      geo.flat_levels = opts.flat_levels;
      geo.levels = paddedLevels(side_bits, plane_bits, geo.flat_levels);
      if (3 * geo.levels - geo.flat_levels > kMaxVoxelBits) {
        int lo = -1, hi = -1;
        for (int f = 0; f <= 16; ++f) {
          if (3 * paddedLevels(side_bits, plane_bits, f) - f <= kMaxVoxelBits) {
            lo = lo < 0 ? f : lo;
            hi = f;
          }
        }
        return "option 'flat_levels' must be a whole number " + std::to_string(lo) + " to " +
               std::to_string(hi) + " for this image.";
      }
    }
  } else {
    if (opts.flat_levels >= 0) {
      return "option 'flat_levels' applies to 3-D images only.";
    }
    geo.levels = std::max(side_bits, 1);
    std::string e = sizeCheck({d1, d2}, geo.levels, 0);
    if (!e.empty()) {
      return e;
    }
    geo.flat_levels = geo.levels;
  }
  if (opts.start_level < 0) {
    geo.start_level = std::min(3, geo.levels - 1);
  } else if (opts.start_level > geo.levels - 1) {
    return "option 'start_level' must be a whole number 0 to " + std::to_string(geo.levels - 1) +
           " for this image.";
  } else {
    geo.start_level = opts.start_level;
  }
  geo.p1 = geo.p2 = 1 << geo.levels;
  geo.p3 = 1 << (geo.levels - geo.flat_levels);
  if (opts.run.criterion == 4) {
    // The chi-square table covers blocks of up to 262144 pixels below the root.
    const int flat = std::min(geo.levels - 1, geo.flat_levels);
    const long below_root = 1L << (2 * flat + 3 * (geo.levels - 1 - flat));
    if (below_root > 262144) {
      return "option 'criterion' 'chi2_variance' allows at most 262144 pixels in a block just "
             "below the whole padded image, which is " +
             std::to_string(geo.p1) + " x " + std::to_string(geo.p2) + " x " +
             std::to_string(geo.p3) + " here; raise 'flat_levels' or choose another criterion.";
    }
  }
  return "";
}

void pad(const std::vector<int32_t> &grey, int d1, int d2, int d3, const Geometry &geo,
         int32_t *out) {
  std::size_t k = 0;
  for (int z = 0; z < geo.p3; ++z) {
    const std::size_t zz = static_cast<std::size_t>(std::min(z, d3 - 1));
    for (int y = 0; y < geo.p2; ++y) {
      const int32_t *row = grey.data() + static_cast<std::size_t>(std::min(y, d2 - 1)) * d1 +
                           zz * static_cast<std::size_t>(d1) * d2;
      std::copy(row, row + d1, out + k);
      std::fill(out + k + d1, out + k + geo.p1, row[d1 - 1]);
      k += static_cast<std::size_t>(geo.p1);
    }
  }
}

double moduleBudget(double budget, std::size_t voxels, std::size_t paddedVoxels) {
  // The module's stack S and the cropped copy, S * voxels / paddedVoxels,
  // live together while the copy is made.
  const double share =
      budget / (1 + static_cast<double>(voxels) / static_cast<double>(paddedVoxels));
  return budget > 1 ? std::max(share, 2.0) : share; // bytes stay bytes
}

std::vector<int32_t> cropAndNumber(const int32_t *padded, const Geometry &geo, int d1, int d2,
                                   int d3, std::vector<long> &sizes) {
  std::vector<int32_t> labels(static_cast<std::size_t>(d1) * d2 * d3);
  std::vector<long> counts;
  std::size_t k = 0;
  for (int z = 0; z < d3; ++z) {
    for (int y = 0; y < d2; ++y) {
      for (int x = 0; x < d1; ++x) {
        const int32_t l =
            padded[static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * geo.p1 +
                   static_cast<std::size_t>(z) * geo.p1 * geo.p2];
        const std::size_t idx = static_cast<std::size_t>(std::max(l, 0));
        if (idx >= counts.size()) {
          counts.resize(idx + 1, 0);
        }
        ++counts[idx];
        labels[k++] = static_cast<int32_t>(idx);
      }
    }
  }
  std::vector<int32_t> present;
  for (std::size_t l = 0; l < counts.size(); ++l) {
    if (counts[l] > 0) {
      present.push_back(static_cast<int32_t>(l));
    }
  }
  std::stable_sort(present.begin(), present.end(), [&](int32_t a, int32_t b) {
    return counts[static_cast<std::size_t>(a)] > counts[static_cast<std::size_t>(b)];
  });
  std::vector<int32_t> map(counts.size(), 0);
  sizes.clear();
  for (std::size_t r = 0; r < present.size(); ++r) {
    map[static_cast<std::size_t>(present[r])] = static_cast<int32_t>(r + 1);
    sizes.push_back(counts[static_cast<std::size_t>(present[r])]);
  }
  for (int32_t &l : labels) {
    l = map[static_cast<std::size_t>(l)];
  }
  return labels;
}

void moduleParams(const Geometry &g, const seg_params &run, double params[14]) {
  const double p[14] = {double(g.levels),
                        double(g.flat_levels),
                        double(g.start_level),
                        double(run.parallel_grouping),
                        double(run.parallel_seeds),
                        double(run.seed_any_level),
                        double(run.criterion),
                        double(run.threshold),
                        run.outlier_fraction,
                        run.noise_sigma,
                        double(run.confidence_row),
                        run.size_factor,
                        double(run.min_region_size),
                        double(run.keep_small_stats)};
  std::copy(p, p + 14, params);
}

std::string prepareCall(const Volume &image, const Options &opts, bool wantSnapshots,
                        CoreCall &call) {
  std::string e = greyValues(image, opts.scale, call.grey);
  if (e.empty()) {
    e = geometryFor(image.d1, image.d2, image.d3, opts, call.geo);
  }
  if (!e.empty()) {
    return e;
  }
  const Geometry &g = call.geo;
  const std::size_t slice = static_cast<std::size_t>(g.p1) * g.p2 * g.p3;
  moduleParams(g, opts.run, call.params);
  call.params[14] = moduleBudget(opts.snapshot_budget, image.size(), slice);
  // The budget only with the snapshots: a labels-only run paints nothing.
  call.count = wantSnapshots ? 16 : 15;
  return "";
}

void takeOutputs(const Volume &image, const Geometry &g, const int32_t *labels,
                 const int32_t *stack, int snapshotCount, Result &r) {
  r.geo = g;
  r.labels = cropAndNumber(labels, g, image.d1, image.d2, image.d3, r.sizes);
  if (stack == nullptr) {
    return;
  }
  const std::size_t slice = static_cast<std::size_t>(g.p1) * g.p2 * g.p3;
  r.snapshotCount = snapshotCount;
  const std::size_t cropped = image.size();
  r.snapshots.resize(cropped * static_cast<std::size_t>(r.snapshotCount));
  for (int k = 0; k < r.snapshotCount; ++k) {
    std::size_t o = cropped * static_cast<std::size_t>(k);
    for (int z = 0; z < image.d3; ++z) {
      for (int y = 0; y < image.d2; ++y) {
        const int32_t *row = stack + slice * static_cast<std::size_t>(k) +
                             static_cast<std::size_t>(y) * g.p1 +
                             static_cast<std::size_t>(z) * g.p1 * g.p2;
        std::copy(row, row + image.d1, r.snapshots.begin() + static_cast<std::ptrdiff_t>(o));
        o += static_cast<std::size_t>(image.d1);
      }
    }
  }
}

Volume reduce(const Volume &in, int n) {
  Volume out;
  out.d1 = (in.d1 + n - 1) / n;
  out.d2 = (in.d2 + n - 1) / n;
  out.d3 = in.d3;
  out.maxval = in.maxval;
  out.v.assign(out.size(), 0);
  for (int z = 0; z < out.d3; ++z) {
    for (int y = 0; y < out.d2; ++y) {
      for (int x = 0; x < out.d1; ++x) {
        double sum = 0;
        int count = 0;
        for (int yy = y * n; yy < std::min(in.d2, (y + 1) * n); ++yy) {
          for (int xx = x * n; xx < std::min(in.d1, (x + 1) * n); ++xx) {
            sum += in.v[static_cast<std::size_t>(xx) + static_cast<std::size_t>(yy) * in.d1 +
                        static_cast<std::size_t>(z) * in.d1 * in.d2];
            ++count;
          }
        }
        out.v[static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * out.d1 +
              static_cast<std::size_t>(z) * out.d1 * out.d2] = std::round(sum / count);
      }
    }
  }
  return out;
}

std::string usage() {
  return R"(Usage: kalseg [OPTIONS] INPUT LABELS
Segments the grey image INPUT (PNG, PGM, or TIFF; a TIFF of several pages is
a 3-D volume) by split and merge with regionseg_core, and writes the region
of every pixel to LABELS, numbered 1, 2, ... by size: a 16-bit grey PNG
(.png) or TIFF (.tif, .tiff; one page per plane, 32-bit when the labels need
it).  Colour pictures are turned to grey (0.299 R + 0.587 G + 0.114 B).

Options (as for regionseg in MATLAB and Octave; '-' and '_' alike):
  --criterion NAME        range (default), range_mean, robust_range,
                          chi2_variance, scaled_variance, or 1 to 5
  --threshold N           grey-value threshold, whole number >= 0 (20)
  --start_level N         initial blocks of 2^N pixels a side, 0 to L - 1 for
                          an image padded to 2^L (min(3, L - 1))
  --grouping MODE         sequential (default) or parallel
  --seeds N               seed regions of parallel grouping, >= 1 (4)
  --seed_any_level B      seeds from any block level (false)
  --min_region_size N     merge regions of fewer pixels, 0 keeps them (0)
  --keep_small_stats B    merged small regions add their statistics (false)
  --outlier_fraction F    robust_range: tolerated outliers, 0 to 1 (0.05)
  --noise_sigma F         variance criteria: noise deviation, >= 0 (2)
  --confidence P          chi2_variance: 0.5, 0.75 (default) or 0.9
  --size_factor F         scaled_variance: factor of the limit, >= 0 (1)
  --scale MODE            class (default): the format's range to 0..255,
                          8-bit values as they are, 16-bit from 0..65535;
                          none: values used as they are, whole numbers in
                          0..255 only; minmax: the image's range to 0..255;
                          clip: clipped to 0..255
  --flat_levels N         3-D only: block levels one plane thick, 0 to 16
  --snapshot_budget M     memory the snapshots of --montage may take, this
                          program's copy included: bytes above 1, a fraction
                          of the physical memory up to 1 (0.25); a longer
                          run keeps its first snapshots and its final state
  --colour FILE           also write the labels in distinct colours (PNG;
                          the planes side by side for a volume)
  --montage FILE          also write the snapshots of the run side by side
                          (PNG; the middle plane of a volume)
  --reduce N              first shrink the image N times in its first two
                          dimensions (mean of N x N pixels), for coarser
                          regions and a faster run; the labels are of that
                          size
  --help                  show this text
B is true or false (also 1/0, on/off, yes/no).  Images are padded to a
power of two, 2^L x 2^L with up to 2^L planes, of at most 2^30 voxels: up
to 32768 x 32768 pixels, or 1024 x 1024 x 1024.  The module's progress
lines and a summary (regions, their sizes, the time) are printed to
standard output.
)";
}

} // namespace kalseg
