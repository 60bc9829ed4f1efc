// kalseg's runs: one image through the front end (front.h), its options
// from the command line, and --reduce.
#ifndef KALMEX_TOOLS_KALSEG_SEGRUN_H
#define KALMEX_TOOLS_KALSEG_SEGRUN_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "front.h"
#include "imageio.h"

namespace kalseg {

// Sets the option NAME (as in regionseg.m, '-' taken as '_', any letter
// case) from its word on the command line.  Returns "" or the message.
std::string setOption(segfront::Options &opts, const std::string &name, const std::string &word);

struct Result {
  std::string error;           // "" on success
  segfront::Plan plan;         // the tree and the parameters of the run
  std::vector<int32_t> labels; // d1 x d2 x d3, 1..regions
  std::vector<long> sizes;     // pixels of region 1, 2, ...
  int snapshotCount = 0;
  // d1 x d2 x d3 x snapshotCount, each value one more than the value painted
  std::shared_ptr<const int32_t> snapshots;
  bool budgetReached = false; // the stack was cut to its budget
  double seconds = 0;         // time of the run
  // The warning of an image that its scale squeezes into few grey values
  // (segfront::lowRangeWarning), "" for none.
  std::string lowRange;
};

// What a run shows while it goes: where its progress lines go (null:
// standard output; a run whose options are not verbose shows none) and its
// check, which hears the stage and how far the run is (seg_params::check;
// null: none).
struct Watch {
  void (*lines)(const char *line) = nullptr;
  bool (*check)(void *data, int32_t stage, double done) = nullptr;
  void *data = nullptr;
};

// The whole run of one image.  Snapshots only when asked for.
Result segment(const Volume &image, const segfront::Options &opts, bool wantSnapshots,
               const Watch &watch = Watch());

// The image shrunk by n in its first two dimensions: every n x n block (the
// last ones may be smaller) becomes its mean, rounded: coarser regions, and
// a faster run, for large pictures.
Volume reduce(const Volume &in, int n);

// The text of --help for the segmentation's options.
std::string usage();

} // namespace kalseg

#endif
