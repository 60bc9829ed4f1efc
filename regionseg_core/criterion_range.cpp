// Criterion 1, range: a block is homogeneous when its grey values span at
// most the threshold; regions hold their minimum and maximum, and a
// neighbour joins when the union's range stays within the threshold.
#include "fpcontract.h"

#include "criterion_stages.h"

namespace {

struct range : range_blocks, range_regions {
  static int32_t set_up(seg_context &) { return SEG_OK; }
};

} // namespace

extern const criterion_rules range_criterion = rules_for<range>(CRITERION_RANGE);
