// The rules of a criterion C (see criterion.h): its own operations and every
// loop of the stages that calls them, compiled for C.  Included by the
// criterion's file, once.
#ifndef KALMEX_REGIONSEG_CRITERION_STAGES_H
#define KALMEX_REGIONSEG_CRITERION_STAGES_H

#include "blocks_loops.h"
#include "criterion_parts.h"
#include "elimination_loops.h"
#include "grouping_loops.h"
#include "region_list_loops.h"

template <typename C> constexpr criterion_rules rules_for(int32_t number) {
  return criterion_rules{number,
                         &C::set_up,
                         &C::evaluate,
                         &C::merge,
                         &C::joins,
                         &C::join,
                         &C::distance,
                         &C::clear,
                         &evaluate_start_blocks<C>,
                         &merge_blocks<C>,
                         &accept_pixel<C>,
                         &split_part<C>,
                         &make_regions<C>,
                         &group_sequential<C>,
                         &group_sequential_observed<C>,
                         &group_parallel<C>,
                         &absorb_region<C>,
                         &nearest_neighbour<C>};
}

#endif
