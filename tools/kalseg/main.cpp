// kalseg: split-and-merge segmentation from the command line, on the
// embedded host.   Usage: kalseg [OPTIONS] INPUT LABELS   (kalseg --help)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "imageio.h"
#include "kalhost.h"
#include "pngio.h"
#include "segfront.h"

namespace {

// A picture being composed, row-major RGB.
struct Canvas {
  int width, height;
  std::vector<uint8_t> rgb;
  Canvas(int w, int h) : width(w), height(h), rgb(3 * static_cast<std::size_t>(w) * h, 32) {}
  // Places one d1 x d2 column-major label plane in distinct colours at (left, top).
  void put(const int32_t *plane, int d1, int d2, int left, int top) {
    const std::vector<uint8_t> tile = kalpng::labelColours(plane, d1, d2);
    for (int y = 0; y < d1; ++y) {
      std::copy_n(tile.begin() + 3 * static_cast<std::ptrdiff_t>(y) * d2, 3 * d2,
                  rgb.begin() + 3 * (static_cast<std::ptrdiff_t>(top + y) * width + left));
    }
  }
};

constexpr int kGap = 2;

// The planes of the labels side by side.
bool writeColour(const std::string &path, const std::vector<int32_t> &labels, int d1, int d2,
                 int d3) {
  Canvas c(d3 * d2 + (d3 - 1) * kGap, d1);
  for (int z = 0; z < d3; ++z) {
    c.put(labels.data() + static_cast<std::size_t>(z) * d1 * d2, d1, d2, z * (d2 + kGap), 0);
  }
  return kalpng::writeRgb8(path, c.width, c.height, c.rgb);
}

// At most 64 snapshots, first and last included, in rows; the middle plane
// of a volume.
bool writeMontage(const std::string &path, const kalseg::Result &r, int d1, int d2, int d3) {
  const int count = r.snapshotCount;
  const int shown = std::min(count, 64);
  const int cols = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(shown))));
  const int rows = (shown + cols - 1) / cols;
  Canvas c(cols * d2 + (cols - 1) * kGap, rows * d1 + (rows - 1) * kGap);
  const std::size_t volume = static_cast<std::size_t>(d1) * d2 * d3;
  for (int t = 0; t < shown; ++t) {
    const int k =
        shown == 1 ? 0 : static_cast<int>(std::lround(double(t) * (count - 1) / (shown - 1)));
    const int32_t *plane = r.snapshots.data() + volume * static_cast<std::size_t>(k) +
                           static_cast<std::size_t>(d3 / 2) * d1 * d2;
    c.put(plane, d1, d2, (t % cols) * (d2 + kGap), (t / cols) * (d1 + kGap));
  }
  return kalpng::writeRgb8(path, c.width, c.height, c.rgb);
}

// For a picture too wide or high, how to make it fit (--reduce shrinks the
// first two dimensions only).
std::string reduceHint(const std::string &message) {
  const bool large = message.find("is larger than") != std::string::npos &&
                     message.find("dimension 3") == std::string::npos;
  return large ? " (--reduce N shrinks it)" : "";
}

int fail(const std::string &message) {
  std::fprintf(stderr, "kalseg: %s\n", message.c_str());
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  kalseg::Options opts;
  std::vector<std::string> files;
  std::string colour, montage;
  int reduceBy = 1;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kalseg::usage().c_str(), stdout);
      return 0;
    }
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      std::string name = arg.substr(2), value;
      const std::size_t eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
      } else if (k + 1 < argc) {
        value = argv[++k];
      } else {
        return fail("option '" + name + "' needs a value (kalseg --help)");
      }
      if (name == "colour" || name == "color") {
        colour = value;
      } else if (name == "montage") {
        montage = value;
      } else if (name == "reduce") {
        char *end = nullptr;
        const long n = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || n < 1 || n > 1024) {
          return fail("option 'reduce' must be a whole number 1 to 1024. (kalseg --help)");
        }
        reduceBy = static_cast<int>(n);
      } else {
        const std::string e = kalseg::setOption(opts, name, value);
        if (!e.empty()) {
          return fail(e + " (kalseg --help)");
        }
      }
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) {
    return fail("expected an input image and a label file (kalseg --help)");
  }

  kalseg::Volume image;
  // No larger picture can be segmented, even reduced: refuse it before its
  // pixels are read.
  std::string e = kalseg::readImage(files[0], image, kalseg::kMaxSide * reduceBy);
  if (!e.empty()) {
    return fail(e + reduceHint(e));
  }
  if (reduceBy > 1) {
    image = kalseg::reduce(image, reduceBy);
  }
  kalhost::setSearchPath({kalhost::defaultModuleDir()});
  kalhost::setEcho(true);
  std::fflush(stdout);
  const kalseg::Result r = kalseg::segment(image, opts, !montage.empty());
  std::fflush(stdout);
  if (!r.error.empty()) {
    return fail(r.error + reduceHint(r.error));
  }
  const int d1 = image.d1, d2 = image.d2, d3 = image.d3;
  e = kalseg::writeLabels(files[1], r.labels, d1, d2, d3);
  if (!e.empty()) {
    return fail(e);
  }
  if (!colour.empty() && !writeColour(colour, r.labels, d1, d2, d3)) {
    return fail("cannot write " + colour);
  }
  if (!montage.empty() && r.snapshotCount == 0) {
    return fail("no snapshot fits within the snapshot budget: " + montage + " not written");
  }
  if (!montage.empty() && !writeMontage(montage, r, d1, d2, d3)) {
    return fail("cannot write " + montage);
  }

  const kalseg::Geometry &g = r.geo;
  std::printf("kalseg: %s: %d x %d", files[0].c_str(), d1, d2);
  if (d3 > 1) {
    std::printf(" x %d", d3);
  }
  std::printf(", padded to %d x %d", g.p1, g.p2);
  if (d3 > 1) {
    std::printf(" x %d", g.p3);
  }
  std::printf(" (levels %d, flat_levels %d, start_level %d)\n", g.levels, g.flat_levels,
              g.start_level);
  const std::size_t n = r.sizes.size();
  std::printf("kalseg: %zu regions in %.3f s; sizes", n, r.seconds);
  for (std::size_t k = 0; k < n && k < 10; ++k) {
    std::printf(" %ld", r.sizes[k]);
  }
  if (n > 10) {
    std::printf(" ... %ld (median %ld)", r.sizes[n - 1], r.sizes[n / 2]);
  }
  std::printf("\nkalseg: wrote %s", files[1].c_str());
  if (!colour.empty()) {
    std::printf(", %s", colour.c_str());
  }
  if (!montage.empty()) {
    std::printf(", %s (%d snapshots)", montage.c_str(), r.snapshotCount);
  }
  std::printf("\n");
  return 0;
}
