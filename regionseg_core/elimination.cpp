// Small region elimination: one sweep over the grouped region list in which
// every region smaller than min_region_size joins the neighbour that
// resembles it most, whatever the grouping test would say.
#include "regionseg.h"

namespace {

// Whether r holds fewer than min_size pixels; counts only as far as needed.
bool is_small(const seg_context &ctx, node_id r, int64_t min_size) {
  int64_t sum = 0;
  for (node_id b = r; b != 0; b = ctx.nodes[b].next_block) {
    sum += ctx.block_voxels[code_level(ctx, ctx.nodes[b].code)];
    if (sum >= min_size) {
      return false;
    }
  }
  return true;
}

inline int64_t magnitude(int64_t v) { return v < 0 ? -v : v; }

} // namespace

int32_t region_size(const seg_context &ctx, node_id r) {
  // At most 2^30 pixels in any admissible image: the sum fits.
  int64_t sum = 0;
  for (node_id b = r; b != 0; b = ctx.nodes[b].next_block) {
    sum += ctx.block_voxels[code_level(ctx, ctx.nodes[b].code)];
  }
  return static_cast<int32_t>(sum);
}

int64_t region_distance(const seg_context &ctx, const region_node &p, const region_node &n) {
  if (range_statistics(ctx.criterion)) {
    const int64_t one = magnitude(n.stat_b - p.stat_a);
    const int64_t other = magnitude(p.stat_b - n.stat_a);
    return one > other ? one : other;
  }
  // Whole-number means, truncated toward zero.
  const int64_t mean_p = p.stat_b != 0 ? p.stat_a / p.stat_b : 0;
  const int64_t mean_n = n.stat_b != 0 ? n.stat_a / n.stat_b : 0;
  return magnitude(mean_p - mean_n);
}

void clear_statistics(const seg_context &ctx, region_node &p) {
  if (range_statistics(ctx.criterion)) {
    p.stat_a = 255;
    p.stat_b = 0;
  } else {
    p.stat_a = 0;
    p.stat_b = 0;
  }
}

void eliminate_small_regions(seg_context &ctx, node_id head) {
  if (ctx.min_region_size <= 0) {
    return;
  }
  node_id p = head;
  while (p != 0 && ctx.nodes[p].last_member == 0) {
    p = ctx.nodes[p].next_region;
  }
  for (; p != 0; p = ctx.nodes[p].next_region) {
    if (ctx.nodes[p].last_member == 0 || !is_small(ctx, p, ctx.min_region_size)) {
      continue;
    }
    // The nearest neighbour; ties keep the earlier cell.
    link_id c = ctx.nodes[p].nbr_head;
    for (; c != 0; c = ctx.links[c].next) {
      if (resolve_link(ctx, c) != p) {
        break;
      }
    }
    if (c == 0) {
      continue; // p is the only live region left
    }
    node_id target = ctx.links[c].node;
    int64_t best = region_distance(ctx, ctx.nodes[p], ctx.nodes[target]);
    for (c = ctx.links[c].next; c != 0; c = ctx.links[c].next) {
      const node_id n = resolve_link(ctx, c);
      if (n != p) {
        const int64_t d = region_distance(ctx, ctx.nodes[p], ctx.nodes[n]);
        if (d < best) {
          best = d;
          target = n;
        }
      }
    }
    // The cell of the target's list that refers to p.
    link_id back = ctx.nodes[target].nbr_head;
    for (; back != 0; back = ctx.links[back].next) {
      if (resolve_link(ctx, back) == p) {
        break;
      }
    }
    if (back == 0) {
      continue; // the lists are symmetric, so this does not happen
    }
    if (ctx.keep_small_stats == 0) {
      clear_statistics(ctx, ctx.nodes[p]);
    }
    ctx.paint_label = label_at_region(ctx, target);
    absorb_region(ctx, target, p, back);
  }
}
