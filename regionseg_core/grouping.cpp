// Region grouping: regions grow over their adjacency lists, absorbing every
// neighbour that passes the grouping test against their current statistics.
// Sequential grouping lets the regions grow one after another in list order;
// parallel grouping lets a set of seeds take turns of one sweep each, and a
// sequential run follows it.  Growth is painted into the snapshots.  The
// passes themselves are compiled for each criterion (grouping_loops.h);
// here are what they share and the ways in from outside the run's loops.
#include "criterion.h"

void end_scan(region_store &s) {
  // The last stamp is left out: with both flags it would read as
  // mark_absorbed.
  if (++s.stamp < (1u << (32 - flag_bits)) - 1) {
    return;
  }
  // The stamps ran out: every old one is cleared, and they start again.
  for (region_id r = 1; r <= s.count; ++r) {
    if (!is_absorbed(s, r)) {
      s.hot[r].mark &= (1u << flag_bits) - 1;
    }
  }
  s.stamp = 1;
}

bool may_join(seg_context &ctx, region_id r, region_id n) {
  const bool accept =
      find_criterion(ctx.criterion)->joins(ctx, ctx.regions.hot[r], ctx.regions.hot[n]);
  if (!accept) {
    mark_seen(ctx.regions, n);
  }
  return accept;
}

void join_statistics(const run_config &ctx, region_hot &r, const region_hot &n) {
  find_criterion(ctx.criterion)->join(r, n);
}

int32_t label_at_region(const seg_context &ctx, region_id r) {
  if (!painting(ctx)) {
    return 0;
  }
  return ctx.snapshot_cur->labels[ctx.regions.origin[r]];
}

void paint_region(seg_context &ctx, int32_t value, region_id r) {
  if (!painting(ctx)) {
    return;
  }
  const region_store &s = ctx.regions;
  for (region_id b = r; b != 0; b = s.next_member[b]) {
    fill_region(ctx, ctx.snapshot_cur->labels, b, value);
  }
  count_paint_event(ctx);
}

void absorb_region(seg_context &ctx, region_id r, region_id n, cell_id cell) {
  ctx.rules->absorb_region(ctx, r, n, cell);
}

region_id first_live_region(const seg_context &ctx) {
  const region_store &s = ctx.regions;
  for (region_id r = 1; r <= s.count; ++r) {
    if (!is_absorbed(s, r)) {
      return r;
    }
  }
  return 0;
}

void group_sequential(seg_context &ctx) { ctx.rules->group_sequential(ctx); }

void group_sequential_observed(seg_context &ctx, const grouping_observer &observer) {
  ctx.rules->group_sequential_observed(ctx, observer);
}

int32_t group_parallel(seg_context &ctx) { return ctx.rules->group_parallel(ctx); }
