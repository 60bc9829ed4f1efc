// The loops of region grouping (grouping.cpp), compiled for each criterion
// C (see criterion.h): the scans of the sequential pass and the sweeps of
// the parallel one, and absorbing a region, which elimination shares.
#ifndef KALMEX_REGIONSEG_GROUPING_LOOPS_H
#define KALMEX_REGIONSEG_GROUPING_LOOPS_H

#include "criterion.h"

// No observer: its calls cost nothing.
struct unobserved {
  void grows(region_id) const {}
  void reads(uint32_t, region_id, const region_hot &) const {}
  void absorbs(region_id) const {}
};

// The observer's calls, for sequential_pass.
struct observed {
  const grouping_observer &o;
  void grows(region_id r) const { o.grows(o.data, r); }
  void reads(uint32_t entry, region_id n, const region_hot &r) const {
    o.reads(o.data, entry, n, r);
  }
  void absorbs(region_id n) const { o.absorbs(o.data, n); }
};

// Regions grown or absorbed so far, of the region list's: how far
// grouping is (sequential grouping grows each region that is still live at
// its turn, and no region is both).
inline size_t regions_settled(const run_progress &ctx) {
  return ctx.region_total - ctx.live_regions + ctx.regions_grown;
}

// Takes seed s out of the seed set: the first slot that holds it receives
// the last active seed.
inline void leave_seed_set(region_id *seed_table, int32_t &last, region_id s) {
  for (int32_t i = 0; i <= last; ++i) {
    if (seed_table[i] == s) {
      seed_table[i] = seed_table[last];
      --last;
      return;
    }
  }
}

// The grouping test of n against r; n is seen when it may not join.
template <typename C> inline bool joins(seg_context &ctx, region_id r, region_id n) {
  const bool accept = C::joins(ctx, ctx.regions.hot[r], ctx.regions.hot[n]);
  if (!accept) {
    mark_seen(ctx.regions, n);
  }
  return accept;
}

// Afterwards n is absorbed: forward_of(n) is r, r holds n's pixels and
// statistics, and n's list stands in r's list in place of the cell (an
// entry of n), which now leads into it.
template <typename C> void absorb_region(seg_context &ctx, region_id r, region_id n, cell_id cell) {
  region_store &s = ctx.regions;
  C::join(s.hot[r], s.hot[n]);
  s.size[r] += s.size[n];
  --ctx.live_regions;
  paint_region(ctx, ctx.paint_label, n);
  if (s.next_member != NULL) {
    s.next_member[s.last_member[r]] = n;
    s.last_member[r] = s.last_member[n];
  }
  set_forward(s, n, r);
  // The cell that referred to n leads into n's list, which comes back to
  // the cell after it.
  s.cells[cell] = cell_jump + (n - 1);
  s.lists[n].resume = cell + 1;
}

// How many cells ahead a scan fetches what it reads of a neighbour (see
// scan_list), and the regions from which on it does (their records and
// lists passing a second-level cache).
constexpr cell_id fetch_far = 8;
constexpr cell_id fetch_near = 4;
constexpr region_id prefetch_regions = 1u << 16;

// The first cell at or after c on the path of a list (jumps and the ends
// of runs followed) that holds an entry or a dropped one; 0 at the end of
// the list.
inline cell_id slot_from(const region_store &s, cell_id c) {
  while (c != 0 && s.cells[c] >= cell_jump) {
    const uint32_t v = s.cells[c];
    c = v < cell_end ? s.lists[v - cell_jump + 1].first : s.lists[v - cell_end + 1].resume;
  }
  return c;
}

// One scan of r's list under the rules both grouping passes share: an
// entry naming r itself or a region seen before in this scan is dropped; a
// finished region is kept and handed to finished(n, mark); a region that
// may not join is kept (and seen); one that may is handed to join(n, mark,
// c, kept), which takes it in and returns the next entry to examine.  The
// scan's marks end with it (end_scan).
//
// A compacting scan writes the entries it keeps one after another into the
// cells it has passed, in the order of its path (kept: where the next
// goes, or a cell before it on the path), and ends r's list behind the
// last of them with an end cell of r's: the list it leaves holds no
// dropped entries, so that whatever walks it again reads only what is in
// it.  A scan that follows the list it splices in passes the jump into it;
// one that leaves it for later (parallel grouping's sweeps) keeps the jump
// among its entries (see sweep_join).  A scan that does not compact drops
// entries in place.
//
// watch hears every entry the scan resolves (see grouping_observer).
template <typename C, bool compacting, typename Finished, typename Join,
          typename Watch = unobserved>
void scan_list(seg_context &ctx, region_id r, Finished finished, Join join,
               const Watch &watch = Watch{}) {
  region_store &s = ctx.regions;
  cell_id kept = s.lists[r].first; // where the next kept entry goes, or after
  cell_id c = first_entry(s, r);
  // Regions that the caches hold anyway are not fetched ahead.
  const bool fetch_ahead = s.count >= prefetch_regions;
  while (c != 0 && !tick(ctx, regions_settled(ctx), ctx.region_total)) {
    // What the scan reads of the neighbours a few cells on is fetched while
    // this one is judged: the record and list place of the one far ahead,
    // the first cells of the list of the one nearer (which it takes up
    // when it absorbs it), whose place has come in by then.  The run of
    // cells goes on that far but for its last cells; what lies beyond is
    // the next run's or a jump's, fetched in vain.
    if (fetch_ahead && c + fetch_far < s.cell_count) {
      const uint32_t far = s.cells[c + fetch_far];
      if (far != cell_dropped && far < cell_jump) {
        prefetch(&s.hot[far]);
        prefetch(&s.lists[far]);
      }
      const uint32_t near = s.cells[c + fetch_near];
      if (near != cell_dropped && near < cell_jump) {
        prefetch(&s.cells[s.lists[near].first]);
      }
    }
    const uint32_t entry = s.cells[c];
    const region_id n = resolve_cell(s, c);
    watch.reads(entry, n, s.hot[r]);
    const uint32_t mark = s.hot[n].mark;
    if (n == r || was_seen(s, n)) {
      if (!compacting) {
        s.cells[c] = cell_dropped;
      }
      c = next_entry(s, c);
    } else if ((mark & FLAG_DONE) != 0 || !joins<C>(ctx, r, n)) {
      if ((mark & FLAG_DONE) != 0) {
        finished(n, mark);
      }
      if (compacting) {
        // Nothing to move while nothing was dropped before c on the path.
        if (kept != c) {
          kept = slot_from(s, kept);
          s.cells[kept] = n;
        }
        ++kept;
      }
      c = next_entry(s, c);
    } else {
      c = join(n, mark, c, kept);
    }
  }
  if (compacting && c == 0) {
    // Cells are left behind the kept entries only when some were dropped.
    kept = slot_from(s, kept);
    if (kept != 0) {
      s.cells[kept] = cell_end + (r - 1);
    }
  }
  end_scan(s);
}

// Absorbs n into r at entry c during a compacting sweep that leaves n's
// list for its next turn: the jump into that list is kept as an entry is,
// in the next cell of the kept ones, and n's list comes back behind it.
// Returns the entry after c.
template <typename C>
cell_id sweep_join(seg_context &ctx, region_id r, region_id n, cell_id c, cell_id &kept) {
  region_store &s = ctx.regions;
  // Found while c is an entry still: the path up to it has no jump to n.
  const cell_id at = slot_from(s, kept);
  absorb_region<C>(ctx, r, n, c);
  if (at != c) {
    s.cells[at] = s.cells[c];
    s.cells[c] = cell_dropped; // passed, and free for what is kept next
    s.lists[n].resume = at + 1;
  }
  kept = at + 1;
  return next_entry(s, c);
}

// One scan of the sequential pass over r's list; r grows until nothing more
// joins it.  The scan compacts the list when elimination will walk it.
template <typename C, bool compacting, typename Watch>
void grow_region(seg_context &ctx, region_id r, const Watch &watch) {
  scan_list<C, compacting>(
      ctx, r, [&](region_id n, uint32_t) { mark_seen(ctx.regions, n); },
      [&](region_id n, uint32_t, cell_id c, cell_id &) {
        watch.absorbs(n);
        // c now leads to n's first neighbour, n's others follow it.
        absorb_region<C>(ctx, r, n, c);
        return entry_from(ctx.regions, c);
      },
      watch);
}

// The sequential pass, watched.
template <typename C, typename Watch> void sequential_pass(seg_context &ctx, const Watch &watch) {
  region_store &s = ctx.regions;
  ctx.paint_label = 0;
  // The region list: every region in order, the absorbed ones passed over.
  ctx.regions_grown = 0;
  for (region_id r = 1; r <= s.count && !tick(ctx, regions_settled(ctx), ctx.region_total); ++r) {
    if (is_absorbed(s, r)) {
      continue;
    }
    ++ctx.regions_grown;
    paint_region(ctx, ctx.paint_label, r);
    if ((s.hot[r].mark & FLAG_DONE) == 0) {
      watch.grows(r);
      if (ctx.min_region_size > 0) {
        grow_region<C, true>(ctx, r, watch);
      } else {
        grow_region<C, false>(ctx, r, watch);
      }
      s.hot[r].mark = FLAG_DONE;
    }
    ++ctx.paint_label;
  }
  if (ctx.ending == SEG_OK) {
    report_progress(ctx, "finished sequential grouping\n");
  }
}

template <typename C> void group_sequential(seg_context &ctx) {
  sequential_pass<C>(ctx, unobserved{});
}

template <typename C>
void group_sequential_observed(seg_context &ctx, const grouping_observer &observer) {
  sequential_pass<C>(ctx, observed{observer});
}

template <typename C> int32_t group_parallel(seg_context &ctx) {
  region_store &s = ctx.regions;
  // No more seeds can be taken than the list holds regions, so a huge
  // parallel_seeds does not ask for a table it could never fill.
  const int64_t regions = s.count;
  int32_t capacity =
      static_cast<int32_t>(ctx.parallel_seeds < regions ? ctx.parallel_seeds : regions);
  if (capacity < 1) {
    capacity = 1;
  }
  region_id *seed_table =
      static_cast<region_id *>(seg_calloc(static_cast<size_t>(capacity), sizeof(region_id)));
  if (seed_table == nullptr) {
    return note_shortage(ctx, "the seed table");
  }
  const region_id s0 = 1; // the head of the list
  seed_table[0] = s0;
  s.hot[s0].mark = FLAG_SEED;
  ctx.paint_label = 0;

  int32_t last = 0;
  const int32_t s0_level = region_level(s, s0);
  for (region_id n = s0 + 1; n <= s.count && last + 1 < capacity; ++n) {
    if (ctx.seed_any_level == 0 && region_level(s, n) != s0_level) {
      break;
    }
    seed_table[++last] = n;
    s.hot[n].mark = FLAG_SEED;
    paint_region(ctx, ctx.paint_label, n);
    ++ctx.paint_label;
  }

  int32_t t = 0;
  while (last >= 0 && !tick(ctx, regions_settled(ctx), ctx.region_total)) {
    const region_id seed = seed_table[t];
    ctx.paint_label = label_at_region(ctx, seed);
    // One sweep: cells gained in this turn are examined in the next.
    bool grew = false;
    scan_list<C, true>(
        ctx, seed,
        // A finished region met again may be absorbed.
        [&](region_id n, uint32_t) { s.hot[n].mark = 0; },
        [&](region_id n, uint32_t mark, cell_id c, cell_id &kept) {
          if ((mark & FLAG_SEED) != 0) {
            s.hot[n].mark = 0;
            leave_seed_set(seed_table, last, n);
          }
          grew = true;
          // n's list, now in place of c, waits for the next turn.
          return sweep_join<C>(ctx, seed, n, c, kept);
        });
    if (!grew) {
      s.hot[seed].mark = FLAG_DONE;
      leave_seed_set(seed_table, last, seed);
    }
    ++t;
    if (t > last) {
      t = 0;
    }
  }

  seg_free(seed_table);
  if (ctx.ending != SEG_OK) {
    return SEG_FAIL;
  }
  report_progress(ctx, "finished parallell grouping\n");
  group_sequential<C>(ctx);
  return SEG_OK;
}

#endif
