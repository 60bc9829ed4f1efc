// One call of the front end: the plan (the tree, the sizes, the budget's
// share) and the run (see front.h).

// luminance() rounds as regionseg.m's hosts do.
#include "fpcontract.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "../regionseg_core/arguments.h"
#include "front.h"
#include "grey.h"

namespace segfront {

namespace {

// Smallest b with 2^b >= n.
int bitsFor(int64_t n) {
  int b = 0;
  while ((int64_t{1} << b) < n) {
    ++b;
  }
  return b;
}

// regionseg_core takes images of at most 2^kMaxVoxelBits voxels.
constexpr int kMaxVoxelBits = 30;

// Levels of the tree over a 3-D image with flat_levels given: the planes
// must fit below the flat levels.
int levelsWith(int sideBits, int planeBits, int flatLevels) {
  return std::max({sideBits, flatLevels + planeBits, 1});
}

std::string sizeText(const std::vector<int64_t> &dims) {
  std::string s;
  for (std::size_t k = 0; k < dims.size(); ++k) {
    s += (k == 0 ? "" : " x ") + std::to_string(dims[k]);
  }
  return s;
}

// The block tree over the image: its levels and the sides of its root block.
struct Tree {
  int levels = 0, flatLevels = 0, startLevel = 0;
  int64_t p1 = 0, p3 = 1;
};

// The tree of an image of d1 x d2 x d3 (d3 1: a picture) under the options:
// the fewest levels that cover it, or the refusal.  The tree's pixels
// outside the image are absent.
Failure treeFor(int64_t d1, int64_t d2, int64_t d3, const Options &opts, Tree &t) {
  const int sideBits = bitsFor(std::max(d1, d2));
  const int planeBits = bitsFor(d3);
  const std::vector<int64_t> dims =
      d3 > 1 ? std::vector<int64_t>{d1, d2, d3} : std::vector<int64_t>{d1, d2};
  if (d3 == 1 && opts.flat_levels >= 0) {
    return failure(Fault::kBadOption, "option 'flat_levels' applies to 3-D images only.");
  }
  // Sides first: within 2^16 pixels each, their product cannot overflow.
  const bool sides = std::max(sideBits, planeBits) > max_levels;
  if (sides || d1 * d2 * d3 > (int64_t{1} << kMaxVoxelBits)) {
    return failure(
        Fault::kImageTooLarge,
        "the image of " + sizeText(dims) + " pixels is too large: it would pass the " +
            (sides ? std::to_string(1 << max_levels) + " pixels a side" : "2^30 voxels") +
            " that regionseg_core can take.");
  }
  // The fewest flat levels that fit the planes make the smallest tree.
  t.levels = std::max({sideBits, planeBits, 1});
  t.flatLevels = d3 > 1 ? t.levels - planeBits : t.levels;
  if (d3 > 1 && opts.flat_levels >= 0) {
    t.flatLevels = opts.flat_levels;
    t.levels = levelsWith(sideBits, planeBits, t.flatLevels);
    if (t.levels > max_levels) {
      int lo = -1, hi = -1;
      for (int f = 0; f <= 16; ++f) {
        if (levelsWith(sideBits, planeBits, f) <= max_levels) {
          lo = lo < 0 ? f : lo;
          hi = f;
        }
      }
      return failure(Fault::kBadOption, "option 'flat_levels' must be a whole number " +
                                            std::to_string(lo) + " to " + std::to_string(hi) +
                                            " for this image.");
    }
  }
  t.startLevel = opts.start_level < 0 ? std::min(3, t.levels - 1) : opts.start_level;
  t.p1 = int64_t{1} << t.levels;
  t.p3 = int64_t{1} << (t.levels - t.flatLevels);
  return Failure();
}

// The run's parameters against the core's invariants (the same check as the
// core's gateway), refused in the option's words: the start level beyond
// the tree, criterion 4 over blocks too large for its table.
Failure checkRun(const seg_params &r, const Plan &p, const Tree &t) {
  const int32_t dims[3] = {p.d1, p.d2, p.d3};
  seg_refusal why;
  if (check_seg_params(r, dims, p.ndims, why)) {
    return Failure();
  }
  if (why.position == arg_start_level) {
    return failure(Fault::kBadOption, "option 'start_level' must be a whole number 0 to " +
                                          std::to_string(t.levels - 1) + " for this image.");
  }
  if (why.position == arg_criterion && r.criterion == CRITERION_CHI2_VARIANCE) {
    return failure(Fault::kBadOption,
                   "option 'criterion' 'chi2_variance' allows at most " +
                       std::to_string(seg_chi2_max_block) +
                       " pixels in a block just below the root block, which is " +
                       sizeText({t.p1, t.p1, t.p3}) +
                       " here; raise 'flat_levels' or choose another criterion.");
  }
  // The options and the tree keep every other invariant.
  char text[200];
  format_refusal(why, text, sizeof text);
  return failure(Fault::kBadOption, text);
}

// The progress lines of a run that is not verbose.
void dropLine(const char *) {}

} // namespace

std::string identifierOf(Fault fault) {
  // The front end's own faults are regionseg's; a run's, regionseg_core's.
  const char *module = "regionseg";
  KxReason reason = KxReason::badOption;
  switch (fault) {
  case Fault::kBadOption:
    break;
  case Fault::kNotImage:
  case Fault::kBadImage:
    reason = KxReason::badImage;
    break;
  case Fault::kImageTooLarge:
    reason = KxReason::imageTooLarge;
    break;
  case Fault::kOutOfMemory:
  case Fault::kInterrupted:
    module = "regionseg_core";
    reason = fault == Fault::kOutOfMemory ? KxReason::outOfMemory : KxReason::interrupted;
    break;
  case Fault::kNone:
  case Fault::kHost:
    return "";
  }
  char id[80];
  kxIdentifier(id, sizeof id, module, reason);
  return id;
}

std::string messageOf(const Failure &failure) {
  const bool run = failure.fault == Fault::kOutOfMemory || failure.fault == Fault::kInterrupted;
  return run ? failure.text : "regionseg: " + failure.text;
}

Failure notAnImage() {
  return failure(Fault::kNotImage, "the image must be a real numeric or logical array.");
}

// Each class is stored in the bytes NumPy's arrays of it have.
#define KX_SAMPLE(name, cls, ctype, mx, kind, bytes, dtype, kal)                                   \
  static_assert(sizeof(ctype) == (bytes), cls " samples: their C++ type and their item size");
KX_SAMPLE_CLASSES(KX_SAMPLE)
#undef KX_SAMPLE

const char *className(Sample type) {
  static const char *const names[] = {
#define KX_SAMPLE(name, cls, ctype, mx, kind, bytes, dtype, kal) cls,
      KX_SAMPLE_CLASSES(KX_SAMPLE)
#undef KX_SAMPLE
  };
  return names[static_cast<int>(type)];
}

double luminance(double r, double g, double b) { return 0.299 * r + 0.587 * g + 0.114 * b; }

double snapshotShare(double budget, double physicalMemory, double stackCopies) {
  const double bytes = budget > 1 ? budget : budget * physicalMemory;
  return bytes / stackCopies;
}

Failure plan(const ImageView &image, const Options &opts, const CallSetup &setup, Plan &out) {
  if (image.ndims < 2 || image.ndims > 3 || image.dims[0] < 1 || image.dims[1] < 1 ||
      (image.ndims == 3 && image.dims[2] < 1)) {
    return failure(Fault::kBadImage, "the image must be a non-empty 2-D or 3-D array.");
  }
  Plan p;
  const int64_t d3 = image.ndims == 3 ? image.dims[2] : 1;
  // An M x N x 3 array is a colour picture, whatever its type, unless the
  // caller says its planes are a volume; so is an M x N x 4 one where the
  // caller's pictures carry alpha (the grey values read the first three).
  p.colour = image.colourPlanes && (d3 == 3 || (d3 == 4 && image.alpha)) && !opts.rgbVolume;
  const int64_t planes = p.colour ? 1 : d3;
  Tree t;
  Failure f = treeFor(image.dims[0], image.dims[1], planes, opts, t);
  if (f) {
    return f;
  }
  p.d1 = static_cast<int32_t>(image.dims[0]);
  p.d2 = static_cast<int32_t>(image.dims[1]);
  p.d3 = static_cast<int32_t>(planes);
  p.ndims = planes > 1 ? 3 : 2;
  p.scale = opts.scale;
  p.snapshots = setup.snapshots;

  seg_params &r = p.params;
  r = opts.run;
  r.levels = t.levels;
  r.flat_levels = t.flatLevels;
  r.start_level = t.startLevel;
  r.threads = setup.threads;
  r.progress = opts.verbose ? setup.progress : dropLine;
  r.check = setup.check;
  r.check_data = setup.checkData;
  r.heap = setup.heap;
  f = checkRun(r, p, t);
  if (f) {
    return f;
  }
  r.snapshot_budget = 0;
  if (setup.snapshots) {
    // The final state always has its slice: a budget in bytes too small for
    // it is refused, a share of the memory is raised to it.
    const double slice = 4.0 * static_cast<double>(p.voxels());
    if (!seg_snapshot_budget(opts.snapshot_budget, setup.physicalMemory, setup.stackCopies,
                             static_cast<size_t>(slice), r.snapshot_budget)) {
      char text[200];
      std::snprintf(text, sizeof text,
                    "option 'snapshot_budget' must be at least %.0f bytes for this image: the "
                    "snapshot of the final state alone takes that.",
                    slice * setup.stackCopies);
      return failure(Fault::kBadOption, text);
    }
    const double share =
        snapshotShare(opts.snapshot_budget, setup.physicalMemory, setup.stackCopies);
    p.budgetBytes = r.snapshot_budget == 0 ? 0 : std::max(share, slice) * setup.stackCopies;
  }
  out = p;
  return Failure();
}

Failure segment(const Plan &plan, const ImageView &image, int32_t *grey, int32_t *labels,
                snapshot_list *snapshots) {
  greyValues(image, plan, grey);
  snapshot_list *list = plan.snapshots ? snapshots : nullptr;
  seg_failure why = {};
  const int32_t status =
      split_merge(grey, plan.d1, plan.d2, plan.d3, plan.params, labels, list, &why);
  if (status != SEG_OK) {
    char text[200];
    format_failure(status, why, text, sizeof text);
    return failure(status == SEG_STOPPED ? Fault::kInterrupted : Fault::kOutOfMemory, text);
  }
  // The module numbers the regions from 0 by size.
  const std::size_t voxels = plan.voxels();
  for (std::size_t k = 0; k < voxels; ++k) {
    ++labels[k];
  }
  if (list != nullptr) {
    const std::size_t n = voxels * static_cast<std::size_t>(list->count);
    for (std::size_t k = 0; k < n; ++k) {
      ++list->arena.slices[k];
    }
  }
  return Failure();
}

const char *const kBudgetWarningId = "kalmex:regionseg_core:snapshotBudget";

std::string budgetWarning(const Plan &plan, int32_t kept) {
  char text[200];
  format_budget_warning(plan.budgetBytes, kept, text, sizeof text);
  return text;
}

} // namespace segfront
