// The segmentation front end of kalseg: the options of regionseg.m, the
// scaling of grey values, the padding to the power-of-two geometry of
// regionseg_core, the call on the embedded host, and the cropping and
// renumbering of its labels.  Everything here behaves as toolbox/regionseg.m.
#ifndef KALMEX_TOOLS_KALSEG_SEGFRONT_H
#define KALMEX_TOOLS_KALSEG_SEGFRONT_H

#include <cstdint>
#include <string>
#include <vector>

namespace kalseg {

// An image of d1 x d2 x d3 samples in column-major order (first dimension
// fastest; for a picture d1 is its height, d2 its width, d3 its pages).
// maxval is the largest value its format can hold (255 for 8 bits).
struct Volume {
  int d1 = 0, d2 = 0, d3 = 1;
  double maxval = 255;
  std::vector<double> v;
  std::size_t size() const {
    return static_cast<std::size_t>(d1) * static_cast<std::size_t>(d2) *
           static_cast<std::size_t>(d3);
  }
};

struct Options {
  int criterion = 1;
  int threshold = 20;
  int start_level = -1; // -1: min(3, levels - 1)
  bool parallel = false;
  int seeds = 4;
  bool seed_any_level = false;
  int min_region_size = 0;
  bool keep_small_stats = false;
  double outlier_fraction = 0.05;
  double noise_sigma = 2;
  int confidence_row = 2;
  double size_factor = 1;
  std::string scale = "none";
  int flat_levels = -1; // -1: the fewest that fit the planes
};

// Sets the option NAME (as in regionseg.m, '-' taken as '_', any letter
// case) from its text.  Returns "" or the message naming the option.
std::string setOption(Options &opts, const std::string &name, const std::string &value);

// Block tree of the padded image.
struct Geometry {
  int levels = 0, flat_levels = 0, start_level = 0;
  int p1 = 0, p2 = 0, p3 = 1; // padded sizes
};

// Grey values 0..255 as opts.scale says, or "" and a message.
std::string greyValues(const Volume &in, const std::string &scale, std::vector<int32_t> &grey);

// The padded geometry for an image of d1 x d2 x d3, or a message.
std::string geometryFor(int d1, int d2, int d3, const Options &opts, Geometry &geo);

// Grey values padded to the geometry by repeating the last row, column and plane.
std::vector<int32_t> pad(const std::vector<int32_t> &grey, int d1, int d2, int d3,
                         const Geometry &geo);

// Labels of the padded image cropped to d1 x d2 x d3 and numbered 1..k by
// their size within the crop (equal sizes keep the module's order).
std::vector<int32_t> cropAndNumber(const int32_t *padded, const Geometry &geo, int d1, int d2,
                                   int d3, std::vector<long> &sizes);

struct Result {
  std::string error; // "" on success
  Geometry geo;
  std::vector<int32_t> labels; // d1 x d2 x d3, 1..regions
  std::vector<long> sizes;     // pixels of region 1, 2, ...
  int snapshotCount = 0;
  std::vector<int32_t> snapshots; // d1 x d2 x d3 x snapshotCount, the values painted
  double seconds = 0;             // time of the regionseg_core call
};

// The whole run: scaling, geometry, padding, one regionseg_core call on the
// embedded host (its module folder must be on the host's search path),
// cropping.  Snapshots only when asked for.
Result segment(const Volume &image, const Options &opts, bool wantSnapshots);

// The image shrunk by n in its first two dimensions: every n x n block (the
// last ones may be smaller) becomes its mean, rounded.  For pictures larger
// than the 256 x 256 that regionseg_core can take.
Volume reduce(const Volume &in, int n);

// The text of --help.
std::string usage();

} // namespace kalseg

#endif
