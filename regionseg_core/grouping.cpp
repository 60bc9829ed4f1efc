// Region grouping: regions grow over their adjacency lists, absorbing every
// neighbour that passes the grouping test against their current statistics.
// Sequential grouping lets the regions grow one after another in list order;
// parallel grouping lets a set of seeds take turns of one sweep each, and a
// sequential run follows it.  Growth is painted into the snapshots.  The
// grouping test of the mean criteria is rounded as written.
#include "fpcontract.h"

#include <stdio.h>

#include "regionseg.h"

namespace {

// Regions grown or absorbed so far, of the region list's: how far
// grouping is (sequential grouping grows each region that is still live at
// its turn, and no region is both).
size_t regions_settled(const seg_context &ctx) {
  return ctx.region_total - ctx.live_regions + ctx.regions_grown;
}

// Removes cell c (whose predecessor is prev, or none at the head) from r's
// list and returns c's successor.
link_id drop_cell(seg_context &ctx, node_id r, link_id prev, link_id c) {
  const link_id next = ctx.links[c].next;
  ++ctx.cells_dropped;
  region_node &owner = ctx.nodes[r];
  if (prev != 0) {
    ctx.links[prev].next = next;
  } else {
    owner.nbr_head = next;
  }
  if (next == 0) {
    owner.nbr_tail = prev;
  }
  return next;
}

// Clears FLAG_SEEN in every region that r's list refers to.
void clear_seen_marks(seg_context &ctx, node_id r) {
  for (link_id c = ctx.nodes[r].nbr_head; c != 0 && !tick(ctx); c = ctx.links[c].next) {
    region_node &n = ctx.nodes[ctx.links[c].node];
    n.flags = static_cast<uint8_t>(n.flags & ~FLAG_SEEN);
  }
}

// Takes seed s out of the seed set: the first slot that holds it receives
// the last active seed.
void leave_seed_set(node_id *seed_table, int32_t &last, node_id s) {
  for (int32_t i = 0; i <= last; ++i) {
    if (seed_table[i] == s) {
      seed_table[i] = seed_table[last];
      --last;
      return;
    }
  }
}

// One scan of r's list under the rules both grouping passes share: a cell
// naming r itself or a region met before in this scan is dropped; a
// finished region is kept and handed to finished(n, flags); a region that
// may not join is kept; one that may is handed to join(n, flags, prev, c),
// which takes it in and returns the next cell to examine (and may move
// prev).
template <typename Finished, typename Join>
void scan_list(seg_context &ctx, node_id r, Finished finished, Join join) {
  link_id prev = 0;
  link_id c = ctx.nodes[r].nbr_head;
  while (c != 0 && !tick(ctx, regions_settled(ctx), ctx.region_total)) {
    const node_id n = resolve_link(ctx, c);
    const uint8_t flags = ctx.nodes[n].flags;
    if (n == r || (flags & FLAG_SEEN) != 0) {
      c = drop_cell(ctx, r, prev, c);
    } else if ((flags & FLAG_DONE) != 0 || !may_join(ctx, r, n)) {
      if ((flags & FLAG_DONE) != 0) {
        finished(n, flags);
      }
      prev = c;
      c = ctx.links[c].next;
    } else {
      c = join(n, flags, prev, c);
    }
  }
}

// One scan of the sequential pass over r's list; r grows until nothing more
// joins it.
void grow_region(seg_context &ctx, node_id r) {
  scan_list(
      ctx, r,
      [&](node_id n, uint8_t flags) {
        ctx.nodes[n].flags = static_cast<uint8_t>(flags | FLAG_SEEN);
      },
      [&](node_id n, uint8_t, link_id &, link_id c) {
        // c now refers to n's first neighbour, n's others follow it.
        absorb_region(ctx, r, n, c);
        return c;
      });
}

} // namespace

bool may_join(seg_context &ctx, node_id r_id, node_id n_id) {
  const region_node &r = ctx.nodes[r_id];
  region_node &n = ctx.nodes[n_id];
  bool accept;
  if (range_statistics(ctx.criterion)) {
    accept = r.stat_b - n.stat_a <= ctx.threshold && n.stat_b - r.stat_a <= ctx.threshold;
  } else {
    const float m = static_cast<float>(n.stat_a) / static_cast<float>(n.stat_b) -
                    static_cast<float>(r.stat_a) / static_cast<float>(r.stat_b);
    const float a = m < 0.0f ? -m : m;
    accept = a <= static_cast<float>(ctx.threshold);
  }
  if (!accept) {
    n.flags = static_cast<uint8_t>(n.flags | FLAG_SEEN);
  }
  return accept;
}

void join_statistics(seg_context &ctx, node_id r_id, node_id n_id) {
  region_node &r = ctx.nodes[r_id];
  const region_node &n = ctx.nodes[n_id];
  if (range_statistics(ctx.criterion)) {
    if (n.stat_a < r.stat_a) {
      r.stat_a = n.stat_a;
    }
    if (n.stat_b > r.stat_b) {
      r.stat_b = n.stat_b;
    }
  } else {
    r.stat_a += n.stat_a;
    r.stat_b += n.stat_b;
  }
}

node_id region_of_block(seg_context &ctx, node_id n) {
  region_node *const nodes = ctx.nodes;
  node_link *const links = ctx.links;
  if (nodes[n].last_member != 0) {
    return n;
  }
  // Follow the forwarding links to the live region, then point every
  // forwarding link passed on the way at it, so that the next lookup through
  // any of them takes one step.
  node_id live = n;
  while (nodes[live].last_member == 0) {
    live = links[nodes[live].nbr_head].node;
  }
  while (n != live) {
    node_link &forward = links[nodes[n].nbr_head];
    n = forward.node;
    forward.node = live;
  }
  return live;
}

node_id resolve_link(seg_context &ctx, link_id cell) {
  node_link &c = ctx.links[cell];
  if (ctx.nodes[c.node].last_member == 0) {
    c.node = region_of_block(ctx, c.node);
  }
  return c.node;
}

int64_t grouping_paint_events(const seg_context &ctx, int64_t regions) {
  int64_t seeds = 0; // painted by parallel grouping before its turns
  if (ctx.parallel_grouping != 0 && ctx.parallel_seeds > 1 && regions > 1) {
    seeds = (ctx.parallel_seeds < regions ? ctx.parallel_seeds : regions) - 1;
  }
  return regions + seeds;
}

int32_t label_at_region(const seg_context &ctx, node_id r) {
  if (!painting(ctx)) {
    return 0;
  }
  const block_code code = ctx.nodes[r].code;
  const block_origin_t o = block_origin(ctx, code, code_level(ctx, code));
  return ctx.snapshot_cur->labels[o.x + o.y + o.z];
}

void paint_region(seg_context &ctx, int32_t value, node_id r) {
  if (!painting(ctx)) {
    return;
  }
  for (node_id b = r; b != 0; b = ctx.nodes[b].next_block) {
    fill_leaf(ctx, ctx.snapshot_cur->labels, ctx.nodes[b].code, value);
  }
  count_paint_event(ctx);
}

void absorb_region(seg_context &ctx, node_id r_id, node_id n_id, link_id cell_id) {
  join_statistics(ctx, r_id, n_id);
  paint_region(ctx, ctx.paint_label, n_id);
  --ctx.live_regions;
  region_node &r = ctx.nodes[r_id];
  region_node &n = ctx.nodes[n_id];
  ctx.nodes[r.last_member].next_block = n_id;
  r.last_member = n.last_member;
  n.last_member = 0;

  node_link &cell = ctx.links[cell_id];
  node_link &first = ctx.links[n.nbr_head];
  cell.node = first.node;
  if (first.next != 0) {
    if (cell.next == 0) {
      r.nbr_tail = n.nbr_tail;
    }
    ctx.links[n.nbr_tail].next = cell.next;
    cell.next = first.next;
  }
  // n keeps only its forwarding link.
  first.node = r_id;
  first.next = 0;
  n.nbr_tail = n.nbr_head;
}

node_id group_sequential(seg_context &ctx, node_id head) {
  ctx.paint_label = 0;
  node_id r = head;
  while (r != 0 && ctx.nodes[r].last_member == 0) {
    r = ctx.nodes[r].next_region;
  }
  const node_id result = r;
  ctx.regions_grown = 0;
  for (; r != 0 && !tick(ctx, regions_settled(ctx), ctx.region_total);
       r = ctx.nodes[r].next_region) {
    ++ctx.regions_grown;
    paint_region(ctx, ctx.paint_label, r);
    if ((ctx.nodes[r].flags & FLAG_DONE) == 0) {
      grow_region(ctx, r);
      ctx.nodes[r].flags = FLAG_DONE;
      clear_seen_marks(ctx, r);
    }
    region_node &rr = ctx.nodes[r];
    while (rr.next_region != 0 && ctx.nodes[rr.next_region].last_member == 0 && !tick(ctx)) {
      rr.next_region = ctx.nodes[rr.next_region].next_region;
    }
    ++ctx.paint_label;
  }
  if (ctx.ending == SEG_OK) {
    report_progress(ctx, "finished sequential grouping\n");
  }
  return result;
}

node_id group_parallel(seg_context &ctx, node_id head) {
  // No more seeds can be taken than the list holds regions, so a huge
  // parallel_seeds does not ask for a table it could never fill.
  int32_t capacity = 0;
  for (node_id r = head; r != 0 && capacity < ctx.parallel_seeds; r = ctx.nodes[r].next_region) {
    ++capacity;
  }
  if (capacity < 1) {
    capacity = 1;
  }
  node_id *seed_table =
      static_cast<node_id *>(seg_calloc(static_cast<size_t>(capacity), sizeof(node_id)));
  if (seed_table == nullptr) {
    note_shortage(ctx, "the seed table");
    return node_failed;
  }
  const node_id s0 = head;
  seed_table[0] = s0;
  ctx.nodes[s0].flags = FLAG_SEED;
  ctx.paint_label = 0;

  int32_t last = 0;
  const int32_t s0_level = code_level(ctx, ctx.nodes[s0].code);
  for (node_id s = ctx.nodes[s0].next_region; s != 0 && last + 1 < capacity;
       s = ctx.nodes[s].next_region) {
    if (ctx.seed_any_level == 0 && code_level(ctx, ctx.nodes[s].code) != s0_level) {
      break;
    }
    seed_table[++last] = s;
    ctx.nodes[s].flags = FLAG_SEED;
    paint_region(ctx, ctx.paint_label, s);
    ++ctx.paint_label;
  }

  int32_t t = 0;
  while (last >= 0 && !tick(ctx, regions_settled(ctx), ctx.region_total)) {
    const node_id s = seed_table[t];
    ctx.paint_label = label_at_region(ctx, s);
    // One sweep: cells gained in this turn are examined in the next.
    bool grew = false;
    scan_list(
        ctx, s,
        // A finished region met again may be absorbed.
        [&](node_id n, uint8_t) { ctx.nodes[n].flags = 0; },
        [&](node_id n, uint8_t flags, link_id &prev, link_id c) {
          if ((flags & FLAG_SEED) != 0) {
            ctx.nodes[n].flags = 0;
            leave_seed_set(seed_table, last, n);
          }
          const link_id following = ctx.links[c].next;
          const region_node &absorbed = ctx.nodes[n];
          const link_id spliced_last =
              ctx.links[absorbed.nbr_head].next != 0 ? absorbed.nbr_tail : c;
          absorb_region(ctx, s, n, c);
          prev = spliced_last;
          grew = true;
          return following;
        });
    clear_seen_marks(ctx, s);
    if (!grew) {
      ctx.nodes[s].flags = FLAG_DONE;
      leave_seed_set(seed_table, last, s);
    }
    ++t;
    if (t > last) {
      t = 0;
    }
  }

  seg_free(seed_table);
  if (ctx.ending != SEG_OK) {
    return node_failed;
  }
  report_progress(ctx, "finished parallell grouping\n");
  return group_sequential(ctx, head);
}
