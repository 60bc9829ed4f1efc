// Releasing the record structures: the block chain with its table, the
// linked blocks of a region list under construction, adjacency lists and
// the finished region list.
#include "regionseg.h"

namespace {

void release_region(seg_context &ctx, region_node *region) {
  release_links(ctx, region->nbr_head);
  region_node *member = region->next_block;
  while (member != NULL) {
    region_node *next = member->next_block;
    // A member that was a region of its own still holds its forwarding
    // cell at nbr_head; the rest of its list moved to the absorber, so only
    // that one cell is its own (its next is not followed).
    free_node_link(member->nbr_head);
    free_region_node(member);
    member = next;
  }
  free_region_node(region);
}

} // namespace

int32_t release_block_chain(seg_context &ctx, block_table table) {
  (void)ctx;
  region_node *node = table[0];
  while (node != NULL) {
    region_node *next = node->next_block;
    free_region_node(node);
    node = next;
  }
  seg_free(table);
  return SEG_FAIL;
}

int32_t release_linked_blocks(seg_context &ctx, block_table table, region_node **level_tail) {
  region_node *node = table[0];
  while (node != NULL) {
    region_node *next = node->next_block;
    release_links(ctx, node->nbr_head);
    free_region_node(node);
    node = next;
  }
  seg_free(table);
  seg_free(level_tail);
  return SEG_FAIL;
}

int32_t release_links(seg_context &ctx, node_link *first) {
  (void)ctx;
  while (first != NULL) {
    node_link *next = first->next;
    free_node_link(first);
    first = next;
  }
  return SEG_FAIL;
}

void release_region_list(seg_context &ctx, region_node *first) {
  if (first == NULL) {
    return;
  }
  if (first->next_region == NULL) {
    release_region(ctx, first);
    return;
  }
  // Absorbed regions (no last_member) are members of the region that
  // absorbed them and are released with it, so drop them from the list.
  while (first != NULL && first->last_member == NULL) {
    first = first->next_region;
  }
  for (region_node *r = first; r != NULL; r = r->next_region) {
    while (r->next_region != NULL && r->next_region->last_member == NULL) {
      r->next_region = r->next_region->next_region;
    }
  }
  region_node *r = first;
  while (r != NULL) {
    region_node *next = r->next_region;
    release_region(ctx, r);
    r = next;
  }
}
