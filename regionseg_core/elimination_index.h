// Small-region elimination's work counters (elimination.cpp), kept in the
// run's context for the tests and the benchmarks.
#ifndef KALMEX_REGIONSEG_ELIMINATION_INDEX_H
#define KALMEX_REGIONSEG_ELIMINATION_INDEX_H

#include <stdint.h>

// What the sweeps of a context did.  A cell is counted each time it is
// looked at.
struct elimination_work {
  long regions_taken; // small regions absorbed by a neighbour
  long own_cells;     // cells of the small regions' own lists (choosing the target)
  long indexed;       // cells entered in the referrer index when it was built
  long referrers;     // referrer entries looked at to find the cell in the target's list
  long placed;        // cells of a small region given their place in the target's list
  long relabelled;    // cells of a target's list given a new place to make room
  long index_runs;    // sweeps that used the referrer index
};

#endif
