// Small region elimination: one sweep over the grouped region list in which
// every region smaller than min_region_size joins the neighbour that
// resembles it most, whatever the grouping test would say.
#include "regionseg.h"

namespace {

// Whether r holds fewer than min_size pixels; counts only as far as needed.
bool is_small(const seg_context &ctx, const region_node *r, int64_t min_size) {
  int64_t sum = 0;
  for (const region_node *b = r; b != nullptr; b = b->next_block) {
    sum += ctx.block_voxels[code_level(ctx, b->code)];
    if (sum >= min_size) {
      return false;
    }
  }
  return true;
}

inline int64_t magnitude(int64_t v) { return v < 0 ? -v : v; }

} // namespace

int32_t region_size(seg_context &ctx, const region_node *r) {
  // At most 2^30 pixels in any admissible image: the sum fits.
  int64_t sum = 0;
  for (const region_node *b = r; b != nullptr; b = b->next_block) {
    sum += ctx.block_voxels[code_level(ctx, b->code)];
  }
  return static_cast<int32_t>(sum);
}

int64_t region_distance(seg_context &ctx, const region_node *p, const region_node *n) {
  if (ctx.criterion == 1 || ctx.criterion == 3) {
    const int64_t one = magnitude(n->stat_b - p->stat_a);
    const int64_t other = magnitude(p->stat_b - n->stat_a);
    return one > other ? one : other;
  }
  // Whole-number means, truncated toward zero.
  const int64_t mean_p = p->stat_b != 0 ? p->stat_a / p->stat_b : 0;
  const int64_t mean_n = n->stat_b != 0 ? n->stat_a / n->stat_b : 0;
  return magnitude(mean_p - mean_n);
}

void clear_statistics(seg_context &ctx, region_node *p) {
  if (ctx.criterion == 1 || ctx.criterion == 3) {
    p->stat_a = 255;
    p->stat_b = 0;
  } else {
    p->stat_a = 0;
    p->stat_b = 0;
  }
}

void eliminate_small_regions(seg_context &ctx, region_node *head) {
  if (ctx.min_region_size <= 0) {
    return;
  }
  region_node *p = head;
  while (p != nullptr && p->last_member == nullptr) {
    p = p->next_region;
  }
  for (; p != nullptr; p = p->next_region) {
    if (p->last_member == nullptr || !is_small(ctx, p, ctx.min_region_size)) {
      continue;
    }
    // The nearest neighbour; ties keep the earlier cell.
    node_link *c = p->nbr_head;
    for (; c != nullptr; c = c->next) {
      resolve_link(c);
      if (c->node != p) {
        break;
      }
    }
    if (c == nullptr) {
      continue; // p is the only live region left
    }
    region_node *target = c->node;
    int64_t best = region_distance(ctx, p, target);
    for (c = c->next; c != nullptr; c = c->next) {
      resolve_link(c);
      region_node *n = c->node;
      if (n != p) {
        const int64_t d = region_distance(ctx, p, n);
        if (d < best) {
          best = d;
          target = n;
        }
      }
    }
    // The cell of the target's list that refers to p.
    node_link *back = target->nbr_head;
    for (; back != nullptr; back = back->next) {
      resolve_link(back);
      if (back->node == p) {
        break;
      }
    }
    if (back == nullptr) {
      continue; // the lists are symmetric, so this does not happen
    }
    if (ctx.keep_small_stats == 0) {
      clear_statistics(ctx, p);
    }
    if (painting(ctx)) {
      const block_origin_t o = block_origin(ctx, target->code, code_level(ctx, target->code));
      ctx.paint_label = ctx.snapshot_cur->labels[o.x + o.y + o.z];
    }
    absorb_region(ctx, target, p, back);
  }
}
