// The loop of small-region elimination that compares a small region with
// its neighbours (elimination.cpp), compiled for each criterion C (see
// criterion.h).
#ifndef KALMEX_REGIONSEG_ELIMINATION_LOOPS_H
#define KALMEX_REGIONSEG_ELIMINATION_LOOPS_H

#include "criterion.h"

// The live neighbour nearest to p, its first entry's on a tie; 0 when
// every entry of p's list names p itself (or there is none).
template <typename C> region_id nearest_neighbour(seg_context &ctx, region_id p) {
  region_store &s = ctx.regions;
  cell_id c = first_entry(s, p);
  for (; c != 0; c = next_entry(s, c)) {
    ++ctx.elimination.own_cells;
    if (resolve_cell(s, c) != p) {
      break;
    }
  }
  if (c == 0) {
    return 0;
  }
  region_id target = s.cells[c];
  int64_t best = C::distance(s.hot[p], s.hot[target]);
  for (c = next_entry(s, c); c != 0; c = next_entry(s, c)) {
    ++ctx.elimination.own_cells;
    const region_id n = resolve_cell(s, c);
    if (n != p) {
      const int64_t d = C::distance(s.hot[p], s.hot[n]);
      if (d < best) {
        best = d;
        target = n;
      }
    }
  }
  return target;
}

#endif
