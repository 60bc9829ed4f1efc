// Small-region elimination's work counters and the width of its place tags
// (elimination.cpp), for the tests and the benchmarks.
#ifndef KALMEX_REGIONSEG_ELIMINATION_INDEX_H
#define KALMEX_REGIONSEG_ELIMINATION_INDEX_H

#include <stdint.h>

// What the sweeps did, added up over every run since the caller last zeroed
// it.  A cell is counted each time it is looked at.
struct elimination_work {
  long regions_taken; // small regions absorbed by a neighbour
  long own_cells;     // cells of the small regions' own lists (choosing the target)
  long target_cells;  // cells of targets' lists walked from their head (no index)
  long indexed;       // cells entered in the referrer index when it was built
  long referrers;     // referrer entries looked at to find the cell in the target's list
  long placed;        // cells of a small region given their place in the target's list
  long relabelled;    // cells of a target's list given a new place to make room
  long index_runs;    // sweeps that used the referrer index
};
extern elimination_work elimination_counts;

// Test hook: place tags of bits bits (2 to 63), so that small lists already
// run out of room between tags; 0 restores the default of 63.
void set_elimination_tag_bits(int32_t bits);

#endif
