// The one allocator of a segmentation run.  Counting every allocation gives
// the tests a way to see that a run leaves nothing behind, and to make any
// single allocation fail; the counters are the module's only state that
// survives a call, and nothing of the segmentation depends on them.
#include <stdlib.h>

#include "regionseg.h"

namespace {

long fail_at = 0;     // the allocation that fails, 0 for none
long attempts = 0;    // allocations since the hook was last set
long live_blocks = 0; // allocations not yet released

bool allocation_refused() {
  ++attempts;
  return fail_at > 0 && attempts == fail_at;
}

} // namespace

void *seg_alloc(size_t bytes) {
  if (allocation_refused()) {
    return NULL;
  }
  void *p = malloc(bytes == 0 ? 1 : bytes);
  if (p != NULL) {
    ++live_blocks;
  }
  return p;
}

void *seg_calloc(size_t count, size_t size) {
  if (allocation_refused()) {
    return NULL;
  }
  if (size != 0 && count > static_cast<size_t>(-1) / size) {
    return NULL;
  }
  void *p = calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
  if (p != NULL) {
    ++live_blocks;
  }
  return p;
}

void seg_free(void *p) {
  if (p != NULL) {
    --live_blocks;
    free(p);
  }
}

void seg_fail_allocation_at(long n) {
  fail_at = n;
  attempts = 0;
}

long seg_allocation_count() { return attempts; }

long seg_live_allocations() { return live_blocks; }

region_node *new_region_node() {
  return static_cast<region_node *>(seg_calloc(1, sizeof(region_node)));
}

void free_region_node(region_node *node) { seg_free(node); }

node_link *new_node_link() { return static_cast<node_link *>(seg_calloc(1, sizeof(node_link))); }

void free_node_link(node_link *cell) { seg_free(cell); }

extern "C" {
__attribute__((visibility("default"))) void regionseg_core_fail_allocation_at(long n) {
  seg_fail_allocation_at(n);
}
__attribute__((visibility("default"))) long regionseg_core_allocation_count() {
  return seg_allocation_count();
}
__attribute__((visibility("default"))) long regionseg_core_live_allocations() {
  return seg_live_allocations();
}
}
