// The one allocator of a segmentation run.  Counting every allocation gives
// the tests a way to see that a run leaves nothing behind, and to make any
// single allocation fail; the counters and the list of live blocks are the
// module's only state that survives a call, and nothing of the segmentation
// depends on them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "regionseg.h"

namespace {

long fail_at = 0;       // the allocation that fails, 0 for none
long records_taken = 0; // records handed out since the hook was last set
long cells_taken = 0;   // adjacency cells handed out since then
long attempts = 0;      // allocations since the hook was last set
long live_blocks = 0;   // allocations not yet released

bool allocation_refused() {
  ++attempts;
  return fail_at > 0 && attempts == fail_at;
}

// Every block of seg_alloc, seg_calloc and seg_resize starts with a header
// that links it into the list of live blocks, so that what a run left behind
// when its host ended the call inside it can still be released.  The header
// keeps the block 16-byte aligned.
struct alignas(16) block_header {
  block_header *prev;
  block_header *next;
};

block_header *live_list = NULL;

void *link_block(void *raw) {
  block_header *h = static_cast<block_header *>(raw);
  h->prev = NULL;
  h->next = live_list;
  if (live_list != NULL) {
    live_list->prev = h;
  }
  live_list = h;
  ++live_blocks;
  return h + 1;
}

void unlink_block(block_header *h) {
  if (h->prev != NULL) {
    h->prev->next = h->next;
  } else {
    live_list = h->next;
  }
  if (h->next != NULL) {
    h->next->prev = h->prev;
  }
}

block_header *header_of(void *p) { return static_cast<block_header *>(p) - 1; }

constexpr size_t max_bytes = static_cast<size_t>(-1) - sizeof(block_header);

} // namespace

void *seg_alloc(size_t bytes) {
  if (allocation_refused() || bytes > max_bytes) {
    return NULL;
  }
  void *raw = malloc(sizeof(block_header) + bytes);
  return raw == NULL ? NULL : link_block(raw);
}

void *seg_calloc(size_t count, size_t size) {
  if (allocation_refused()) {
    return NULL;
  }
  if (size != 0 && count > static_cast<size_t>(-1) / size) {
    return NULL;
  }
  const size_t bytes = count * size;
  if (bytes > max_bytes) {
    return NULL;
  }
  void *raw = calloc(1, sizeof(block_header) + bytes);
  return raw == NULL ? NULL : link_block(raw);
}

void *seg_resize(void *p, size_t bytes) {
  if (p == NULL) {
    return seg_alloc(bytes);
  }
  if (allocation_refused() || bytes > max_bytes) {
    return NULL;
  }
  block_header *h = header_of(p);
  unlink_block(h);
  --live_blocks;
  void *raw = realloc(h, sizeof(block_header) + bytes);
  if (raw == NULL) {
    link_block(h); // the old block stays as it was
    return NULL;
  }
  return link_block(raw);
}

void seg_free(void *p) {
  if (p != NULL) {
    block_header *h = header_of(p);
    unlink_block(h);
    --live_blocks;
    free(h);
  }
}

bool seg_allocation_refused() { return allocation_refused(); }

void seg_fail_allocation_at(long n) {
  fail_at = n;
  attempts = 0;
  records_taken = 0;
  cells_taken = 0;
}

long seg_allocation_count() { return attempts; }

long seg_live_allocations() { return live_blocks; }

// Records and adjacency cells come from pools: a run makes and drops them
// by the hundred thousand, and one malloc each cost a third of a run and a
// chunk header per object.  A pool hands out objects of one size from slabs
// of about 64 KiB and keeps released ones on a free list.  Each object still
// counts as one allocation for the counters and the test hook; when the
// last object of a pool is released, its slabs go back to the system, so a
// finished run leaves nothing behind.
// Under AddressSanitizer every object is its own allocation, so that a use
// after release is still caught.
#if defined(__SANITIZE_ADDRESS__)
#define SEG_OWN_ALLOCATIONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SEG_OWN_ALLOCATIONS 1
#endif
#endif

#ifndef SEG_OWN_ALLOCATIONS
namespace {

struct free_object {
  free_object *next;
};

// A slab starts on a cache line; its objects follow the line of the header.
constexpr size_t line_bytes = 64;
struct slab_header {
  slab_header *next;
  void *raw; // what malloc gave, before the slab was moved to a line
};

struct object_pool {
  size_t size;         // bytes of one object, a multiple of 8, at least a pointer
  size_t per_slab;     // objects in one slab
  slab_header *slabs;  // every slab of the pool
  char *carve;         // next unused object of the newest slab
  char *carve_end;     // end of the newest slab
  free_object *unused; // released objects
  long live;           // objects handed out and not released
};

constexpr size_t slab_bytes = 65536 - 64; // stays below malloc's mapping threshold

object_pool node_pool = {sizeof(region_node),
                         (slab_bytes - 2 * line_bytes) / sizeof(region_node),
                         NULL,
                         NULL,
                         NULL,
                         NULL,
                         0};
object_pool link_pool = {sizeof(node_link),
                         (slab_bytes - 2 * line_bytes) / sizeof(node_link),
                         NULL,
                         NULL,
                         NULL,
                         NULL,
                         0};

// An object of the pool, not yet filled; NULL when the hook refuses it or no
// slab can be had.
void *pool_take(object_pool &pool) {
  if (allocation_refused()) {
    return NULL;
  }
  void *p;
  if (pool.unused != NULL) {
    p = pool.unused;
    pool.unused = pool.unused->next;
  } else {
    if (pool.carve == pool.carve_end) {
      void *raw = malloc(2 * line_bytes + pool.per_slab * pool.size);
      if (raw == NULL) {
        return NULL;
      }
      const uintptr_t at = (reinterpret_cast<uintptr_t>(raw) + line_bytes - 1) & ~(line_bytes - 1);
      slab_header *slab = reinterpret_cast<slab_header *>(at);
      slab->next = pool.slabs;
      slab->raw = raw;
      pool.slabs = slab;
      pool.carve = reinterpret_cast<char *>(at + line_bytes);
      pool.carve_end = pool.carve + pool.per_slab * pool.size;
    }
    p = pool.carve;
    pool.carve += pool.size;
  }
  ++pool.live;
  ++live_blocks;
  return p;
}

// Gives every slab of the pool back to the system.
void pool_empty(object_pool &pool) {
  while (pool.slabs != NULL) {
    slab_header *next = pool.slabs->next;
    free(pool.slabs->raw);
    pool.slabs = next;
  }
  pool.carve = pool.carve_end = NULL;
  pool.unused = NULL;
  pool.live = 0;
}

void pool_give(object_pool &pool, void *p) {
  if (p == NULL) {
    return;
  }
  free_object *f = static_cast<free_object *>(p);
  f->next = pool.unused;
  pool.unused = f;
  --live_blocks;
  if (--pool.live == 0) {
    pool_empty(pool);
  }
}

} // namespace
#endif

void seg_release_everything() {
  while (live_list != NULL) {
    block_header *next = live_list->next;
    free(live_list);
    live_list = next;
  }
#ifndef SEG_OWN_ALLOCATIONS
  pool_empty(node_pool);
  pool_empty(link_pool);
#endif
  live_blocks = 0;
}

#ifdef SEG_OWN_ALLOCATIONS
region_node *new_region_node() {
  region_node *node = static_cast<region_node *>(seg_calloc(1, sizeof(region_node)));
  records_taken += node != NULL;
  return node;
}
void free_region_node(region_node *node) { seg_free(node); }
node_link *new_node_link() {
  node_link *cell = static_cast<node_link *>(seg_calloc(1, sizeof(node_link)));
  cells_taken += cell != NULL;
  return cell;
}
void free_node_link(node_link *cell) { seg_free(cell); }
#else
// The objects are zero-filled here, where their size is a constant the
// compiler fills with a few stores.
region_node *new_region_node() {
  region_node *node = static_cast<region_node *>(pool_take(node_pool));
  if (node != NULL) {
    memset(node, 0, sizeof(region_node));
    ++records_taken;
  }
  return node;
}
void free_region_node(region_node *node) { pool_give(node_pool, node); }
node_link *new_node_link() {
  node_link *cell = static_cast<node_link *>(pool_take(link_pool));
  if (cell != NULL) {
    memset(cell, 0, sizeof(node_link));
    ++cells_taken;
  }
  return cell;
}
void free_node_link(node_link *cell) { pool_give(link_pool, cell); }
#endif

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
__attribute__((visibility("default"))) long regionseg_core_records_taken() { return records_taken; }
__attribute__((visibility("default"))) long regionseg_core_cells_taken() { return cells_taken; }
}
