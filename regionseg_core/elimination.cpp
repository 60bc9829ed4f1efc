// Small region elimination: one sweep over the grouped region list in which
// every region smaller than min_region_size joins the neighbour that
// resembles it most, whatever the grouping test would say.
//
// A small region P joins its target T behind the first cell of T's list that
// refers to P.  T is often a large region with a long list, and it takes in
// many small regions, so walking its list from the head for each of them
// makes the sweep quadratic.  The sweep therefore keeps a referrer index for
// as long as it runs:
//
// - the lists are taken one after another, in the order of their regions
//   in the region list, and every cell has a place tag that increases along
//   that order, so that each list holds exactly the places from its first
//   entry's to its last's (a cell that has become a jump, which is no entry
//   any more, has a tag above every place);
// - every live region has a chain of referrer entries, the cells that refer
//   to it.  An entry may be stale (its cell now refers elsewhere, or has
//   become a forwarding link); stale entries are dropped when met.
//
// The cell sought is then the entry of P's chain whose place lies within
// T's list and comes first.  P is small, so few cells anywhere refer to it
// and its chain is short.  When T absorbs P, P's chain joins T's (whatever
// referred to P now resolves to T); the cell found becomes the jump into
// P's list, whose first entry takes the cell's place; and P's other entries
// get places between that one and the next cell, a few cells after them
// being spread out when the gap is too narrow.  No cell is made during the
// sweep, and absorb_region is the only change to any list, so the index
// follows every list exactly.
//
// The index keeps only the cells that are in lists and the live regions, in
// tables keyed by their ids (most cells of the store have left every list
// by now); the referrer entries and the region table go into the labels
// output while it is unused, when they fit.  Its memory is had before the
// sweep starts (the tables are filled at the first small region that has a
// target); when it cannot be had the stage fails, rather than walk each
// target's list from its head, whose time grows with the square of the
// list.
#include <string.h>

#include "criterion.h"

namespace {

// ---------------------------------------------------------------------------
// The referrer index

constexpr uint32_t none = 0xFFFFFFFFu;
// The tag of a cell that has become a jump: above every place.
constexpr uint64_t no_place = ~uint64_t{0};

// The place is kept in two halves so that a slot takes 12 bytes: the cell
// table is by far the largest of the index.
struct cell_slot {
  cell_id key; // 0: a free slot
  uint32_t tag_low;
  uint32_t tag_high;
  // The place in the order of all lists; no_place for a jump.
  uint64_t tag() const { return uint64_t{tag_high} << 32 | tag_low; }
  void set_tag(uint64_t t) {
    tag_low = static_cast<uint32_t>(t);
    tag_high = static_cast<uint32_t>(t >> 32);
  }
};

struct region_slot {
  region_id key;      // 0: a free slot
  uint32_t first_ref; // the region's chain of referrer entries (none: empty)
  uint32_t last_ref;
  uint32_t next_list; // the region whose list comes next in the order (none: the last)
  cell_id last_entry; // the last entry of the region's list
};

struct referrer {
  uint32_t cell; // cell slot
  uint32_t next; // next entry of the same chain, or none
};

struct referrer_index {
  cell_slot *cells = nullptr;
  uint32_t cell_capacity = 0;
  region_slot *regions = nullptr;
  uint32_t region_capacity = 0;
  uint32_t first_list = none; // the region whose list comes first in the order
  referrer *refs = nullptr;
  bool own_regions = false; // allocated here (not in the context's scratch)
  bool own_refs = false;
  uint32_t ref_count = 0;
  uint32_t ref_capacity = 0;
  uint64_t tag_end = 0;    // every place lies below; the end of the order counts as this tag
  uint64_t cell_count = 0; // cells in lists when the index was made
  bool filled = false;
};

// Open addressing with linear probing; a table has half as many free slots
// again as keys, so a search ends at a free slot.
inline uint32_t home_slot(uint32_t key, uint32_t capacity) {
  const uint64_t h = static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15u;
  return static_cast<uint32_t>(((h >> 32) * capacity) >> 32);
}

// The slot that holds key, or the free slot where it would go.
template <typename Slot> uint32_t probe(const Slot *slots, uint32_t capacity, uint32_t key) {
  uint32_t i = home_slot(key, capacity);
  while (slots[i].key != key && slots[i].key != 0) {
    if (++i == capacity) {
      i = 0;
    }
  }
  return i;
}

inline uint32_t cell_at(const referrer_index &x, cell_id c) {
  return probe(x.cells, x.cell_capacity, c);
}
inline uint32_t region_at(const referrer_index &x, region_id r) {
  return probe(x.regions, x.region_capacity, r);
}
inline uint64_t tag_of(const referrer_index &x, cell_id c) { return x.cells[cell_at(x, c)].tag(); }
inline void set_tag_of(referrer_index &x, cell_id c, uint64_t t) {
  x.cells[cell_at(x, c)].set_tag(t);
}

// Slots for count keys: count and a half, or 0 when that does not fit the
// 32-bit slot numbers.
uint32_t table_capacity(uint64_t count) {
  const uint64_t capacity = count + count / 2 + 1;
  return capacity < none ? static_cast<uint32_t>(capacity) : 0;
}

void release_index(referrer_index &x) {
  seg_free(x.cells);
  if (x.own_regions) {
    seg_free(x.regions);
  }
  if (x.own_refs) {
    seg_free(x.refs);
  }
  x = referrer_index{};
}

// Room for one entry per cell and one per absorption was made, and there
// are fewer absorptions than regions.
void add_referrer(referrer_index &x, uint32_t region, uint32_t cell) {
  // At the front of the chain: the order of a chain does not matter.
  const uint32_t e = x.ref_count++;
  region_slot &r = x.regions[region];
  x.refs[e].cell = cell;
  x.refs[e].next = r.first_ref;
  if (r.first_ref == none) {
    r.last_ref = e;
  }
  r.first_ref = e;
}

// The region whose list follows that of region slot r in the order, or
// none.  An absorbed region's list is in its absorber's: it is passed over
// and taken out of the order.
uint32_t next_list(const seg_context &ctx, referrer_index &x, uint32_t r) {
  uint32_t n = x.regions[r].next_list;
  while (n != none && is_absorbed(ctx.regions, x.regions[n].key)) {
    n = x.regions[n].next_list;
  }
  x.regions[r].next_list = n;
  return n;
}

// A walk over the cells of every list in the order.
struct order_walk {
  cell_id cell;  // 0 at the end of the order
  uint32_t list; // region slot of the list that holds cell
};

void step(const seg_context &ctx, referrer_index &x, order_walk &w) {
  w.cell = next_entry(ctx.regions, w.cell);
  while (w.cell == 0) {
    w.list = next_list(ctx, x, w.list);
    if (w.list == none) {
      return;
    }
    w.cell = first_entry(ctx.regions, x.regions[w.list].key);
  }
}

// Makes the index's tables for the regions of the list from first and the
// cells of their lists: the entries go into ctx.scratch when they fit.
// SEG_FAIL (noted, nothing kept) when they cannot be had.
int32_t reserve_index(seg_context &ctx, referrer_index &x, region_id first) {
  uint64_t regions = 0;
  uint64_t cells = 0;
  const region_store &s = ctx.regions;
  for (region_id r = first; r <= s.count && !tick(ctx, r, s.count); ++r) {
    if (is_absorbed(s, r)) {
      continue;
    }
    ++regions;
    for (cell_id c = first_entry(s, r); c != 0 && !tick(ctx); c = next_entry(s, c)) {
      ++cells;
    }
  }
  if (ctx.ending != SEG_OK) {
    return SEG_FAIL;
  }
  // Each absorption adds one entry at most, and there are fewer absorptions
  // than regions.
  const uint64_t entries = cells + regions;
  x.cell_count = cells;
  x.cell_capacity = table_capacity(cells);
  x.region_capacity = table_capacity(regions);
  // Tags of 63 bits, or fewer for a test, but never fewer places than cells.
  const int32_t bits = ctx.elimination_tag_bits >= 2 && ctx.elimination_tag_bits <= 63
                           ? ctx.elimination_tag_bits
                           : 63;
  x.tag_end = uint64_t{1} << bits;
  if (x.tag_end < cells + 1) {
    x.tag_end = cells + 1;
  }
  if (x.cell_capacity == 0 || x.region_capacity == 0 || entries >= none) {
    x = referrer_index{}; // ids are 32-bit: not reached
    seg_note_refusal(static_cast<size_t>(-1));
    return note_shortage(ctx, "the referrer index");
  }
  x.ref_capacity = static_cast<uint32_t>(entries);
  // The labels output is free until make_output fills it: the entries, and
  // the region table behind them, go there when they fit.
  const size_t scratch_bytes =
      ctx.scratch != nullptr ? sizeof(int32_t) * static_cast<size_t>(ctx.image_voxels) : 0;
  const size_t ref_bytes = sizeof(referrer) * x.ref_capacity;
  const size_t region_bytes = sizeof(region_slot) * x.region_capacity;
  char *const scratch = reinterpret_cast<char *>(ctx.scratch);
  if (scratch_bytes >= ref_bytes + region_bytes) {
    x.regions = reinterpret_cast<region_slot *>(scratch + ref_bytes);
    memset(x.regions, 0, region_bytes);
  } else {
    x.regions = static_cast<region_slot *>(seg_calloc(x.region_capacity, sizeof(region_slot)));
    x.own_regions = true;
  }
  if (x.regions != nullptr) {
    x.cells = static_cast<cell_slot *>(seg_calloc(x.cell_capacity, sizeof(cell_slot)));
  }
  if (scratch_bytes >= ref_bytes) {
    x.refs = reinterpret_cast<referrer *>(scratch);
  } else if (x.regions != nullptr && x.cells != nullptr) {
    x.refs = static_cast<referrer *>(seg_alloc(ref_bytes));
    x.own_refs = true;
  }
  if (x.regions == nullptr || x.cells == nullptr || x.refs == nullptr) {
    release_index(x);
    return note_shortage(ctx, "the referrer index");
  }
  return SEG_OK;
}

// Enters every region of the list from first and every cell of their
// lists, the lists one after another in the order of the region list, each
// cell tagged with its place in that order times one spacing, resolved to
// the live region whose chain receives its entry.  False, the index left
// unusable, when the run must end.
bool fill_index(seg_context &ctx, referrer_index &x, region_id first) {
  const uint64_t spacing = x.tag_end / (x.cell_count + 1);
  uint32_t last = none;
  region_store &regions = ctx.regions;
  for (region_id r = first; r <= regions.count; ++r) {
    if (tick(ctx)) {
      return false;
    }
    if (is_absorbed(regions, r)) {
      continue;
    }
    const uint32_t at = region_at(x, r);
    region_slot &s = x.regions[at];
    s.key = r;
    s.first_ref = s.last_ref = s.next_list = none;
    // A list that is empty now stays empty: only a target gains cells.
    if (first_entry(regions, r) != 0) {
      if (last == none) {
        x.first_list = at;
      } else {
        x.regions[last].next_list = at;
      }
      last = at;
    }
  }
  uint64_t tag = 0;
  size_t entered = 0;
  for (region_id r = first; r <= regions.count; ++r) {
    if (is_absorbed(regions, r)) {
      continue;
    }
    region_slot &list = x.regions[region_at(x, r)];
    for (cell_id c = first_entry(regions, r); c != 0; c = next_entry(regions, c)) {
      if (tick(ctx, ++entered, x.cell_count)) {
        return false;
      }
      const uint32_t at = cell_at(x, c);
      x.cells[at].key = c;
      x.cells[at].set_tag(tag += spacing);
      add_referrer(x, region_at(x, resolve_cell(ctx.regions, c)), at);
      list.last_entry = c;
    }
  }
  ctx.elimination.indexed += static_cast<long>(x.cell_count);
  ++ctx.elimination.index_runs;
  x.filled = true;
  return true;
}

// The first cell of the list of region slot target that refers to p
// (region slot taken), or 0; found_slot receives its cell slot.  The
// entries of a list hold the places from its first's to its last's, and
// no other cell does.  Drops the stale entries of p's chain on the way.
cell_id first_referrer(seg_context &ctx, referrer_index &x, uint32_t target, uint32_t taken,
                       region_id p, uint32_t &found_slot) {
  const uint64_t low = tag_of(x, first_entry(ctx.regions, x.regions[target].key));
  const uint64_t high = tag_of(x, x.regions[target].last_entry);
  region_slot &chain = x.regions[taken];
  cell_id best = 0;
  uint64_t best_tag = 0;
  uint32_t prev = none;
  uint32_t e = chain.first_ref;
  while (e != none) {
    ++ctx.elimination.referrers;
    const uint32_t next = x.refs[e].next;
    const cell_slot &s = x.cells[x.refs[e].cell];
    const uint64_t tag = s.tag();
    const bool current = tag != no_place && resolve_cell(ctx.regions, s.key) == p;
    if (current) {
      if (tag >= low && tag <= high && (best == 0 || tag < best_tag)) {
        best = s.key;
        best_tag = tag;
        found_slot = x.refs[e].cell;
      }
      prev = e;
    } else {
      // A cell that refers elsewhere now has its entry in that region's
      // chain, and a jump stays one.
      if (prev == none) {
        chain.first_ref = next;
      } else {
        x.refs[prev].next = next;
      }
      if (chain.last_ref == e) {
        chain.last_ref = prev;
      }
    }
    e = next;
  }
  return best;
}

// Tags every cell of every list afresh, evenly over the tag range.  There
// are no more cells in lists than the index was built with, so the spacing
// is at least the one the build found.
void retag_everything(seg_context &ctx, referrer_index &x) {
  while (x.first_list != none && is_absorbed(ctx.regions, x.regions[x.first_list].key)) {
    x.first_list = x.regions[x.first_list].next_list;
  }
  if (x.first_list == none) {
    return;
  }
  const order_walk start = {first_entry(ctx.regions, x.regions[x.first_list].key), x.first_list};
  uint64_t count = 0;
  for (order_walk w = start; w.cell != 0; step(ctx, x, w)) {
    ++count;
  }
  const uint64_t spacing = x.tag_end / (count + 1);
  uint64_t tag = 0;
  for (order_walk w = start; w.cell != 0; step(ctx, x, w)) {
    set_tag_of(x, w.cell, tag += spacing);
  }
  ctx.elimination.relabelled += static_cast<long>(count);
}

// The entries first .. last have just been spliced into the list of region
// slot list behind the entry of cell slot after; gives them places between
// after's and the next entry's in the order.  When that gap is too narrow,
// the cells that follow in the order are taken in one by one until the
// places up to the next one leave room to spread them all out with more
// than their number between two tags (keeping places far enough apart that
// room is seldom made twice in a row); when even the end of the order
// leaves no room, every cell is tagged afresh.
void place_run(seg_context &ctx, referrer_index &x, uint32_t list, uint32_t after, cell_id first,
               cell_id last) {
  uint64_t run = 1;
  for (cell_id c = first; c != last; c = next_entry(ctx.regions, c)) {
    ++run;
  }
  const uint64_t base = x.cells[after].tag();
  uint64_t count = run;
  uint64_t room;
  order_walk bound = {last, list};
  for (step(ctx, x, bound);; step(ctx, x, bound)) {
    room = (bound.cell != 0 ? tag_of(x, bound.cell) : x.tag_end) - base;
    if (room / (count + 1) > count + 1) {
      break;
    }
    if (bound.cell == 0) {
      ctx.elimination.placed += static_cast<long>(run);
      retag_everything(ctx, x);
      return;
    }
    ++count;
  }
  const uint64_t spacing = room / (count + 1);
  uint64_t tag = base;
  order_walk w = {first, list};
  for (uint64_t i = 0; i < count; ++i, step(ctx, x, w)) {
    set_tag_of(x, w.cell, tag += spacing);
  }
  ctx.elimination.placed += static_cast<long>(run);
  ctx.elimination.relabelled += static_cast<long>(count - run);
}

// What absorb_region(target, p, found) is about to change, read before it
// runs, and the index brought up to date after it.
struct absorption {
  uint32_t target;   // region slot of the target
  uint32_t taken;    // region slot of p
  uint32_t found;    // cell slot of the cell found in target's list, about to become a jump
  cell_id entry;     // p's first entry, which takes the found cell's place
  cell_id run_first; // p's other entries, about to follow it
  cell_id run_last;
};

void before_absorbing(const seg_context &ctx, const referrer_index &x, region_id p, absorption &a) {
  const region_store &s = ctx.regions;
  a.entry = first_entry(s, p);
  a.run_first = next_entry(s, a.entry);
  a.run_last = x.regions[a.taken].last_entry;
}

void after_absorbing(seg_context &ctx, referrer_index &x, const absorption &a, cell_id found) {
  const uint64_t place = x.cells[a.found].tag();
  x.cells[a.found].set_tag(no_place);
  const uint32_t entry = cell_at(x, a.entry);
  x.cells[entry].set_tag(place);
  // Whatever referred to p now resolves to target.
  region_slot &from = x.regions[a.taken];
  region_slot &into = x.regions[a.target];
  if (from.first_ref != none) {
    if (into.last_ref == none) {
      into.first_ref = from.first_ref;
    } else {
      x.refs[into.last_ref].next = from.first_ref;
    }
    into.last_ref = from.last_ref;
    from.first_ref = from.last_ref = none;
  }
  if (into.last_entry == found) {
    into.last_entry = from.last_entry;
  }
  if (a.run_first != 0) {
    place_run(ctx, x, a.target, entry, a.run_first, a.run_last);
  }
}

} // namespace

int64_t region_distance(const run_config &ctx, const region_hot &p, const region_hot &n) {
  return find_criterion(ctx.criterion)->distance(p, n);
}

void clear_statistics(const run_config &ctx, region_hot &p) {
  find_criterion(ctx.criterion)->clear(p);
}

int32_t eliminate_small_regions(seg_context &ctx) {
  if (ctx.min_region_size <= 0) {
    return SEG_OK;
  }
  region_store &s = ctx.regions;
  const criterion_rules &rules = *ctx.rules;
  const region_id first = first_live_region(ctx);
  // The index is made now and filled at the first small region that has a
  // target, so that a sweep with nothing to absorb costs nothing more than
  // its size tests.  Its count takes about a quarter of the stage, its
  // fill little; the sweep over the list counts once it is filled.
  const double counted = 0.25;
  const double sweep = 0.7;
  enter_phase(ctx, 0.0, counted);
  // The lists, packed first: grouping left them spread over the runs of
  // the regions it absorbed, with the cells it dropped left behind, and
  // the sweep and its index walk them again and again.
  if (repack_cells(ctx) != SEG_OK) {
    return SEG_FAIL;
  }
  referrer_index index;
  if (reserve_index(ctx, index, first) != SEG_OK) {
    return SEG_FAIL;
  }
  enter_phase(ctx, counted, 0.0);
  for (region_id p = first; p <= s.count && !tick(ctx, p, s.count); ++p) {
    if (is_absorbed(s, p) || s.size[p] >= ctx.min_region_size) {
      continue;
    }
    // The nearest neighbour; ties keep the earlier cell.
    const region_id target = rules.nearest_neighbour(ctx, p);
    if (target == 0) {
      continue; // p is the only live region left
    }
    if (!index.filled) {
      enter_phase(ctx, counted, 1.0 - sweep - counted);
      if (!fill_index(ctx, index, first)) {
        break;
      }
      enter_phase(ctx, 1.0 - sweep, sweep);
    }
    // The cell of the target's list that refers to p.
    absorption a{};
    a.target = region_at(index, target);
    a.taken = region_at(index, p);
    const cell_id back = first_referrer(ctx, index, a.target, a.taken, p, a.found);
    if (back == 0) {
      continue; // the lists are symmetric, so this does not happen
    }
    if (ctx.keep_small_stats == 0) {
      rules.clear(s.hot[p]);
    }
    ctx.paint_label = label_at_region(ctx, target);
    before_absorbing(ctx, index, p, a);
    rules.absorb_region(ctx, target, p, back);
    ++ctx.elimination.regions_taken;
    after_absorbing(ctx, index, a, back);
  }
  release_index(index);
  return ctx.ending == SEG_OK ? SEG_OK : SEG_FAIL;
}
