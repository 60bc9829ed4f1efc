// The segmentation front end of kalseg and of the Python package: the
// options of regionseg.m, the scaling of grey values, the padding to the
// power-of-two geometry of regionseg_core, the arguments of the module call,
// and the cropping and renumbering of its labels.  Everything here behaves
// as toolbox/regionseg.m.  Only segment() (segcall.cpp) needs a host: the
// rest is the library kalseg_segfront, which uses none.
#ifndef KALMEX_TOOLS_KALSEG_SEGFRONT_H
#define KALMEX_TOOLS_KALSEG_SEGFRONT_H

// luminance() below rounds as regionseg.m does, in every file it is used in.
#include "fpcontract.h"

#include <cstdint>
#include <string>
#include <vector>

#include "regionseg.h"

namespace kalseg {

// An image of d1 x d2 x d3 samples in column-major order (first dimension
// fastest; for a picture d1 is its height, d2 its width, d3 its pages).
// maxval is the largest value its format can hold (255 for 8 bits), minval
// the smallest (below 0 for a signed integer type).  floatClass names the
// type of a floating-point array ("double", "single"): its values are then
// taken from 0..1 for 'scale' 'class', and refused outside it; "" for the
// samples of a file.
struct Volume {
  int d1 = 0, d2 = 0, d3 = 1;
  double maxval = 255;
  double minval = 0;
  std::string floatClass;
  std::vector<double> v;
  std::size_t size() const {
    return static_cast<std::size_t>(d1) * static_cast<std::size_t>(d2) *
           static_cast<std::size_t>(d3);
  }
};

// Sizes regionseg_core can take: at most 2^30 voxels once padded, so at
// most 32768 pixels a side (a 2-D image) and 1024 planes (a cube).  Readers
// refuse larger pictures before reading their pixels.
constexpr int kMaxSide = 32768;
constexpr int kMaxPlanes = 1024;

// The defaults of regionseg.m for the parameters of a run that are options.
seg_params defaultRunParams();

struct Options {
  // The module's own parameters that are options, with regionseg.m's
  // defaults: criterion, threshold, parallel_grouping ('grouping'),
  // parallel_seeds ('seeds'), seed_any_level, min_region_size,
  // keep_small_stats, outlier_fraction, noise_sigma, confidence_row
  // ('confidence'), size_factor.  Its tree fields and its budget in bytes
  // follow from the image and the options below.
  seg_params run = defaultRunParams();
  int start_level = -1; // -1: min(3, levels - 1)
  std::string scale = "class";
  int flat_levels = -1; // -1: the fewest that fit the planes
  // Memory the snapshots may take in the whole call: above 1 in bytes, up
  // to 1 as a fraction of the physical memory.
  double snapshot_budget = 0.25;
};

// Sets the option NAME (as in regionseg.m, '-' taken as '_', any letter
// case) from its text.  Returns "" or the message naming the option.
std::string setOption(Options &opts, const std::string &name, const std::string &value);

// Index of TEXT among WORDS (any letter case), or the message naming the
// option NAME and the words.
std::string wordOption(const std::string &name, const std::string &text,
                       const std::vector<std::string> &words, int &index);

// Block tree of the padded image.
struct Geometry {
  int levels = 0, flat_levels = 0, start_level = 0;
  int p1 = 0, p2 = 0, p3 = 1; // padded sizes
};

// Grey values 0..255 as opts.scale says, or "" and a message.
std::string greyValues(const Volume &in, const std::string &scale, std::vector<int32_t> &grey);

// The padded geometry for an image of d1 x d2 x d3, or a message.
std::string geometryFor(int d1, int d2, int d3, const Options &opts, Geometry &geo);

// Grey values padded to the geometry by repeating the last row, column and
// plane, written to out (geo.p1 x geo.p2 x geo.p3 values).
void pad(const std::vector<int32_t> &grey, int d1, int d2, int d3, const Geometry &geo,
         int32_t *out);

// The budget to hand regionseg_core for its int32 stack when the whole call
// may take opts.snapshot_budget: the stack is copied once more, cropped to
// voxels of the padded voxels.
double moduleBudget(double budget, std::size_t voxels, std::size_t paddedVoxels);

// Labels of the padded image cropped to d1 x d2 x d3 and numbered 1..k by
// their size within the crop (equal sizes keep the module's order).
std::vector<int32_t> cropAndNumber(const int32_t *padded, const Geometry &geo, int d1, int d2,
                                   int d3, std::vector<long> &sizes);

// The grey value of a colour (0.299 R + 0.587 G + 0.114 B), not rounded.
inline double luminance(double r, double g, double b) { return 0.299 * r + 0.587 * g + 0.114 * b; }

// One regionseg_core call as the front end makes it: the geometry, the grey
// values before padding (pad() them into the module's image) and the
// module's scalar arguments 2 .. count (count 15, or 16 with the snapshot
// budget when the snapshots are wanted).
struct CoreCall {
  Geometry geo;
  std::vector<int32_t> grey;
  double params[15] = {};
  int count = 15;
};

// The module's scalar arguments 2 .. 15 for a run of these parameters on that
// geometry, in the module's order.
void moduleParams(const Geometry &g, const seg_params &run, double params[14]);

// Scaling, geometry and arguments for one call, or a message.
std::string prepareCall(const Volume &image, const Options &opts, bool wantSnapshots,
                        CoreCall &call);

struct Result {
  std::string error; // "" on success
  Geometry geo;
  std::vector<int32_t> labels; // d1 x d2 x d3, 1..regions
  std::vector<long> sizes;     // pixels of region 1, 2, ...
  int snapshotCount = 0;
  std::vector<int32_t> snapshots; // d1 x d2 x d3 x snapshotCount, the values painted
  double seconds = 0;             // time of the regionseg_core call
};

// The module's outputs, on the padded geometry of call, cropped to the
// image into r: labels numbered by size, and the snapshotCount slices of
// stack (none when it is NULL).
void takeOutputs(const Volume &image, const Geometry &geo, const int32_t *labels,
                 const int32_t *stack, int snapshotCount, Result &r);

// The whole run: scaling, geometry, padding, one regionseg_core call on the
// embedded host (its module folder must be on the host's search path),
// cropping.  Snapshots only when asked for.
Result segment(const Volume &image, const Options &opts, bool wantSnapshots);

// The image shrunk by n in its first two dimensions: every n x n block (the
// last ones may be smaller) becomes its mean, rounded: coarser regions, and
// a faster run, for large pictures.
Volume reduce(const Volume &in, int n);

// The text of --help.
std::string usage();

} // namespace kalseg

#endif
