// Cleaning and sorting of the region list before the labels are written:
// absorbed regions leave the list, every adjacency list becomes a list of
// distinct live regions, and the regions are ordered largest first, which
// fixes their label numbers.
#include "region_sort.h"
#include "regionseg.h"

region_node *clean_region_list(seg_context &ctx, region_node *head) {
  ctx.region_count = 0;
  region_node *r = head;
  while (r != nullptr && r->last_member == nullptr) {
    r = r->next_region;
  }
  region_node *const result = r;
  for (; r != nullptr; r = r->next_region) {
    ++ctx.region_count;
    node_link *prev = nullptr;
    node_link *c = r->nbr_head;
    while (c != nullptr) {
      resolve_link(c);
      region_node *n = c->node;
      if ((n->flags & FLAG_SEEN) == 0) {
        n->flags = FLAG_SEEN;
        prev = c;
        c = c->next;
        continue;
      }
      // A region met before in this list: drop the entry.
      node_link *s = c->next;
      if (s != nullptr) {
        c->node = s->node;
        c->next = s->next;
        if (c->next == nullptr) {
          r->nbr_tail = c;
        }
        free_node_link(s);
      } else {
        if (prev != nullptr) {
          prev->next = nullptr;
        } else {
          r->nbr_head = nullptr;
        }
        r->nbr_tail = prev;
        free_node_link(c);
        c = nullptr;
      }
    }
    for (node_link *e = r->nbr_head; e != nullptr; e = e->next) {
      e->node->flags = 0;
    }
    while (r->next_region != nullptr && r->next_region->last_member == nullptr) {
      r->next_region = r->next_region->next_region;
    }
  }
  ctx.region_count -= 1;
  return result;
}

region_node *sort_region_list(seg_context &ctx, region_node *head) {
  const size_t count = static_cast<size_t>(ctx.region_count) + 1;
  sort_pair *pairs = static_cast<sort_pair *>(seg_calloc(count, sizeof(sort_pair)));
  if (pairs == nullptr) {
    return seg_fail_ptr<region_node>();
  }
  uint32_t *suffix_max = static_cast<uint32_t *>(seg_calloc(count, sizeof(uint32_t)));
  if (suffix_max == nullptr) {
    seg_free(pairs);
    return seg_fail_ptr<region_node>();
  }
  size_t filled = 0;
  for (region_node *r = head; r != nullptr && filled < count; r = r->next_region) {
    pairs[filled].region = r;
    pairs[filled].size = static_cast<uint32_t>(region_size(ctx, r));
    ++filled;
  }
  sort_pairs(pairs, suffix_max, filled);
  for (size_t i = 0; i + 1 < filled; ++i) {
    pairs[i].region->next_region = pairs[i + 1].region;
  }
  region_node *const first = filled > 0 ? pairs[0].region : head;
  if (filled > 0) {
    pairs[filled - 1].region->next_region = nullptr;
  }
  seg_free(suffix_max);
  seg_free(pairs);
  return first;
}
