// The arguments of a regionseg_core call and their checks, shared by every
// caller that hands them on as the module takes them (the gateway and the
// Python binding), so that each refusal has one text.
//
// Each check names the first argument at fault: its 0-based position, the
// rest of the sentence after "Argument N (name) " and the last part of the
// error identifier kalmex:regionseg_core:REASON.
#ifndef KALMEX_REGIONSEG_ARGUMENTS_H
#define KALMEX_REGIONSEG_ARGUMENTS_H

#include <stddef.h>
#include <stdint.h>

#include "../common/reasons.h"
#include "regionseg.h"

enum : int {
  arg_image,
  arg_levels,
  arg_flat_levels,
  arg_start_level,
  arg_parallel_grouping,
  arg_parallel_seeds,
  arg_seed_any_level,
  arg_criterion,
  arg_threshold,
  arg_outlier_fraction,
  arg_noise_sigma,
  arg_confidence_row,
  arg_size_factor,
  arg_min_region_size,
  arg_keep_small_stats,
  arg_snapshot_budget,
  arg_count
};
// The inputs every call gives; the snapshot budget may follow.
constexpr int arg_required = arg_snapshot_budget;

extern const char *const seg_argument_names[arg_count];

// The images the block codes and 32-bit pixel offsets reach.
constexpr int64_t seg_max_voxels = int64_t{1} << 30;

struct seg_refusal {
  int position;       // 0-based argument position
  const char *what;   // "must be ...", the end of the sentence
  KxReason reason;    // badImage, badParameter, imageTooLarge
  char text[96] = {}; // the end of the sentence with a number in it, when not empty
};

// The rules of the run's parameters, each written once: the core's gateway
// reads its inputs by position against them, and the front end's option
// table maps each of its options of a parameter onto its position here and
// takes its range from it.  For position pos: the smallest and largest
// value a caller may give (the integer parameters as whole numbers).
struct seg_rule {
  double lo, hi;
};
extern const seg_rule seg_rules[arg_count];

// The snapshot budget when the caller gives none: a quarter of the
// physical memory.
constexpr double seg_default_snapshot_budget = 0.25;
// The chi-square table of criterion 4 covers blocks just below the root
// block of at most this many pixels.
constexpr int64_t seg_chi2_max_block = 262144;
// Pixels of a block just below the root of a tree of levels levels,
// flat_levels of them flat.
int64_t seg_voxels_below_root(int32_t levels, int32_t flat_levels);

// The bytes the module's stack may take, from a budget as callers give it
// (above 1 in bytes, up to 1 a share of the physical memory, memory; 0
// when unknown) over the caller's copies of the stack: 0 for no bound.  The
// final state always has its slice of slice bytes: a share of the memory
// is raised to it, and a budget in bytes too small for copies of it is
// refused (false).
bool seg_snapshot_budget(double budget, double memory, double copies, size_t slice, size_t &bytes);

// The warning of a run whose stack reached its budget of bytes, kept
// snapshots kept, into buf (identifier kalmex:regionseg_core:snapshotBudget).
void format_budget_warning(double bytes, int32_t kept, char *buf, size_t size);

// The refusal of argument pos, that it what (badImage for the image,
// badParameter for the others unless reason says otherwise).
seg_refusal seg_refusal_of(int pos, const char *what);

// "Argument N (name) what" into buf.
void format_refusal(const seg_refusal &r, char *buf, size_t size);

// Each returns true when the arguments pass, else fills r.
//
// The image's type, already tested by the caller: real, full int32 (false
// refuses it).  Then its shape: ndims dimensions (dims[2] 1 for two), none
// of them 0, at most seg_max_voxels voxels.
bool check_image_type(bool int32_array, seg_refusal &r);
bool check_image_shape(const int32_t dims[3], int ndims, bool shape_fits, seg_refusal &r);
// The value of scalar parameter pos as read (the caller has tested that it
// is a non-empty, real numeric or logical value): finite, and within 32 bits
// for the integer parameters.
bool check_parameter_value(int pos, double v, seg_refusal &r);
// The record from the values of positions 1 .. count - 1 (count 15 or 16:
// with or without the budget), checked against each other and the image's
// shape.  memory is the machine's physical memory in bytes (0 when unknown),
// for a budget given as a share of it.  A budget given in bytes must hold
// one snapshot (the final state); a share of the memory (the default is a
// quarter) is raised to one snapshot when it holds none.
bool seg_params_from_values(const double *value, int count, const int32_t dims[3], int ndims,
                            double memory, seg_params &p, seg_refusal &r);
// The record's tree shape against the image's, its criterion and the
// parameters the criterion reads (the part of seg_params_from_values after
// the conversion).
bool check_seg_params(const seg_params &p, const int32_t dims[3], int ndims, seg_refusal &r);
// Grey values 0 to 255.
bool check_grey_values(const int32_t *grey, int32_t voxels, seg_refusal &r);

#endif
