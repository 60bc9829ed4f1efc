// Region grouping: regions grow over their adjacency lists, absorbing every
// neighbour that passes the grouping test against their current statistics.
// Sequential grouping lets the regions grow one after another in list order;
// parallel grouping lets a set of seeds take turns of one sweep each, and a
// sequential run follows it.  Growth is painted into the snapshots.
#include <stdio.h>

#include "regionseg.h"

namespace {

// Removes cell c (whose predecessor is prev, or none at the head) from r's
// list and returns c's successor.
node_link *drop_cell(region_node *r, node_link *prev, node_link *c) {
  node_link *next = c->next;
  if (prev != nullptr) {
    prev->next = next;
  } else {
    r->nbr_head = next;
  }
  if (next == nullptr) {
    r->nbr_tail = prev;
  }
  free_node_link(c);
  return next;
}

// Clears FLAG_SEEN in every region that r's list refers to.
void clear_seen_marks(region_node *r) {
  for (node_link *c = r->nbr_head; c != nullptr; c = c->next) {
    c->node->flags = static_cast<uint8_t>(c->node->flags & ~FLAG_SEEN);
  }
}

// The label that snapshot_cur holds at the first pixel of r's own block.
int32_t label_at_region(const seg_context &ctx, const region_node *r) {
  if (!painting(ctx)) {
    return 0;
  }
  const block_origin_t o = block_origin(ctx, r->code, code_level(ctx, r->code));
  return ctx.snapshot_cur->labels[o.x + o.y + o.z];
}

// Takes seed s out of the seed set: the first slot that holds it receives
// the last active seed.
void leave_seed_set(region_node **seed_table, int32_t &last, const region_node *s) {
  for (int32_t i = 0; i <= last; ++i) {
    if (seed_table[i] == s) {
      seed_table[i] = seed_table[last];
      --last;
      return;
    }
  }
}

// One scan of the sequential pass over r's list; r grows until nothing more
// joins it.
void grow_region(seg_context &ctx, region_node *r) {
  node_link *prev = nullptr;
  node_link *c = r->nbr_head;
  while (c != nullptr) {
    resolve_link(c);
    region_node *n = c->node;
    if (n == r || (n->flags & FLAG_SEEN) != 0) {
      c = drop_cell(r, prev, c);
    } else if ((n->flags & FLAG_DONE) != 0) {
      n->flags = static_cast<uint8_t>(n->flags | FLAG_SEEN);
      prev = c;
      c = c->next;
    } else if (!may_join(ctx, r, n)) {
      prev = c;
      c = c->next;
    } else {
      // c now refers to n's first neighbour, n's others follow it.
      absorb_region(ctx, r, n, c);
    }
  }
}

} // namespace

bool may_join(seg_context &ctx, region_node *r, region_node *n) {
  bool accept;
  if (range_statistics(ctx.criterion)) {
    accept = r->stat_b - n->stat_a <= ctx.threshold && n->stat_b - r->stat_a <= ctx.threshold;
  } else {
    const float m = static_cast<float>(n->stat_a) / static_cast<float>(n->stat_b) -
                    static_cast<float>(r->stat_a) / static_cast<float>(r->stat_b);
    const float a = m < 0.0f ? -m : m;
    accept = a <= static_cast<float>(ctx.threshold);
  }
  if (!accept) {
    n->flags = static_cast<uint8_t>(n->flags | FLAG_SEEN);
  }
  return accept;
}

void join_statistics(seg_context &ctx, region_node *r, region_node *n) {
  if (range_statistics(ctx.criterion)) {
    if (n->stat_a < r->stat_a) {
      r->stat_a = n->stat_a;
    }
    if (n->stat_b > r->stat_b) {
      r->stat_b = n->stat_b;
    }
  } else {
    r->stat_a += n->stat_a;
    r->stat_b += n->stat_b;
  }
}

void resolve_link(node_link *cell) {
  region_node *n = cell->node;
  while (n->last_member == nullptr) {
    n = n->nbr_head->node;
  }
  cell->node = n;
}

void paint_region(seg_context &ctx, int32_t value, region_node *r) {
  if (!painting(ctx)) {
    return;
  }
  for (region_node *b = r; b != nullptr; b = b->next_block) {
    fill_leaf(ctx, ctx.snapshot_cur->labels, b->code, value);
  }
  count_paint_event(ctx);
}

void absorb_region(seg_context &ctx, region_node *r, region_node *n, node_link *cell) {
  join_statistics(ctx, r, n);
  paint_region(ctx, ctx.paint_label, n);
  r->last_member->next_block = n;
  r->last_member = n->last_member;
  n->last_member = nullptr;

  node_link *first = n->nbr_head;
  cell->node = first->node;
  if (first->next != nullptr) {
    if (cell->next == nullptr) {
      r->nbr_tail = n->nbr_tail;
    }
    n->nbr_tail->next = cell->next;
    cell->next = first->next;
  }
  // n keeps only its forwarding link.
  first->node = r;
  first->next = nullptr;
  n->nbr_tail = first;
}

region_node *group_sequential(seg_context &ctx, region_node *head) {
  ctx.paint_label = 0;
  region_node *r = head;
  while (r != nullptr && r->last_member == nullptr) {
    r = r->next_region;
  }
  region_node *const result = r;
  for (; r != nullptr; r = r->next_region) {
    paint_region(ctx, ctx.paint_label, r);
    if ((r->flags & FLAG_DONE) == 0) {
      grow_region(ctx, r);
      r->flags = FLAG_DONE;
      clear_seen_marks(r);
    }
    while (r->next_region != nullptr && r->next_region->last_member == nullptr) {
      r->next_region = r->next_region->next_region;
    }
    ++ctx.paint_label;
  }
  printf("finished sequential grouping\n");
  fflush(stdout);
  return result;
}

region_node *group_parallel(seg_context &ctx, region_node *head) {
  // No more seeds can be taken than the list holds regions, so a huge
  // parallel_seeds does not ask for a table it could never fill.
  int32_t capacity = 0;
  for (const region_node *r = head; r != nullptr && capacity < ctx.parallel_seeds;
       r = r->next_region) {
    ++capacity;
  }
  if (capacity < 1) {
    capacity = 1;
  }
  region_node **seed_table =
      static_cast<region_node **>(seg_calloc(static_cast<size_t>(capacity), sizeof(region_node *)));
  if (seed_table == nullptr) {
    return seg_fail_ptr<region_node>();
  }
  region_node *const s0 = head;
  seed_table[0] = s0;
  s0->flags = FLAG_SEED;
  ctx.paint_label = 0;

  int32_t last = 0;
  const int32_t s0_level = code_level(ctx, s0->code);
  for (region_node *s = s0->next_region; s != nullptr && last + 1 < capacity; s = s->next_region) {
    if (ctx.seed_any_level == 0 && code_level(ctx, s->code) != s0_level) {
      break;
    }
    seed_table[++last] = s;
    s->flags = FLAG_SEED;
    paint_region(ctx, ctx.paint_label, s);
    ++ctx.paint_label;
  }

  int32_t t = 0;
  while (last >= 0) {
    region_node *s = seed_table[t];
    ctx.paint_label = label_at_region(ctx, s);
    // One sweep: cells gained in this turn are examined in the next.
    bool grew = false;
    node_link *prev = nullptr;
    node_link *c = s->nbr_head;
    while (c != nullptr) {
      resolve_link(c);
      region_node *n = c->node;
      if (n == s || (n->flags & FLAG_SEEN) != 0) {
        c = drop_cell(s, prev, c);
      } else if ((n->flags & FLAG_DONE) != 0) {
        n->flags = 0; // a finished region met again may be absorbed
        prev = c;
        c = c->next;
      } else if (!may_join(ctx, s, n)) {
        prev = c;
        c = c->next;
      } else {
        if ((n->flags & FLAG_SEED) != 0) {
          n->flags = 0;
          leave_seed_set(seed_table, last, n);
        }
        node_link *const following = c->next;
        node_link *const first = n->nbr_head;
        node_link *const spliced_last = first->next != nullptr ? n->nbr_tail : c;
        absorb_region(ctx, s, n, c);
        prev = spliced_last;
        c = following;
        grew = true;
      }
    }
    clear_seen_marks(s);
    if (!grew) {
      s->flags = FLAG_DONE;
      leave_seed_set(seed_table, last, s);
    }
    ++t;
    if (t > last) {
      t = 0;
    }
  }

  seg_free(seed_table);
  printf("finished parallell grouping\n");
  fflush(stdout);
  return group_sequential(ctx, head);
}
