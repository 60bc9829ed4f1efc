// The one allocator of a segmentation run.  Counting every allocation gives
// the tests a way to see that a run leaves nothing behind, and to make any
// single allocation fail; the counters and the list of live blocks are the
// module's only state that survives a call, and nothing of the segmentation
// depends on them.  Runs may go on at once in threads of one process (a
// caller that releases its own lock around them), so the counters and the
// list are kept under one mutex; the memory itself is had outside it.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "regionseg.h"

namespace {

long fail_at = 0;       // the allocation that fails, 0 for none
long records_taken = 0; // records handed out since the hook was last set
long cells_taken = 0;   // adjacency cells handed out since then
long attempts = 0;      // allocations since the hook was last set
long live_blocks = 0;   // allocations not yet released
std::mutex state_lock;  // guards everything above and the list below

using hold = std::lock_guard<std::mutex>;

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
  if (seg_allocation_refused() || bytes > max_bytes) {
    return NULL;
  }
  void *raw = malloc(sizeof(block_header) + bytes);
  if (raw == NULL) {
    return NULL;
  }
  hold h(state_lock);
  return link_block(raw);
}

void *seg_calloc(size_t count, size_t size) {
  if (seg_allocation_refused()) {
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
  if (raw == NULL) {
    return NULL;
  }
  hold h(state_lock);
  return link_block(raw);
}

void *seg_resize(void *p, size_t bytes) {
  if (p == NULL) {
    return seg_alloc(bytes);
  }
  if (seg_allocation_refused() || bytes > max_bytes) {
    return NULL;
  }
  block_header *h = header_of(p);
  {
    hold held(state_lock);
    unlink_block(h);
    --live_blocks;
  }
  void *raw = realloc(h, sizeof(block_header) + bytes);
  hold held(state_lock);
  if (raw == NULL) {
    link_block(h); // the old block stays as it was
    return NULL;
  }
  return link_block(raw);
}

void seg_free(void *p) {
  if (p != NULL) {
    block_header *h = header_of(p);
    {
      hold held(state_lock);
      unlink_block(h);
      --live_blocks;
    }
    free(h);
  }
}

bool seg_allocation_refused() {
  hold h(state_lock);
  return allocation_refused();
}

void seg_fail_allocation_at(long n) {
  hold h(state_lock);
  fail_at = n;
  attempts = 0;
  records_taken = 0;
  cells_taken = 0;
}

long seg_allocation_count() {
  hold h(state_lock);
  return attempts;
}

long seg_live_allocations() {
  hold h(state_lock);
  return live_blocks;
}

void seg_release_everything() {
  hold h(state_lock);
  while (live_list != NULL) {
    block_header *next = live_list->next;
    free(live_list);
    live_list = next;
  }
  live_blocks = 0;
}

namespace {

// Grows an array of the store to hold at least wanted entries (entry 0
// included), by half again at least; false when it cannot.  Ids stay below
// 2^32 - 1, which is kept for failure codes.
bool grow_store(void *&array, uint32_t &capacity, size_t wanted, size_t entry) {
  if (wanted <= capacity) {
    return true;
  }
  constexpr size_t id_limit = 0xFFFFFFFFu;
  if (wanted > id_limit) {
    return false;
  }
  size_t grown = static_cast<size_t>(capacity) + capacity / 2;
  if (grown < wanted) {
    grown = wanted;
  }
  if (grown < 64) {
    grown = 64;
  }
  if (grown > id_limit) {
    grown = id_limit;
  }
  if (grown > static_cast<size_t>(-1) / entry) {
    return false;
  }
  void *p = seg_resize(array, grown * entry);
  if (p == NULL) {
    return false;
  }
  array = p;
  capacity = static_cast<uint32_t>(grown);
  return true;
}

template <typename T, typename Id> Id take_entry(T *&array, Id &count, Id &capacity) {
  if (count == 0) {
    count = 1; // entry 0 stands for none
  }
  void *raw = array;
  if (!grow_store(raw, capacity, static_cast<size_t>(count) + 1, sizeof(T))) {
    return 0;
  }
  array = static_cast<T *>(raw);
  array[count] = T{};
  return count++;
}

template <typename T, typename Id> bool reserve_entries(T *&array, Id &capacity, size_t count) {
  void *raw = array;
  if (!grow_store(raw, capacity, count + 1, sizeof(T))) {
    return false;
  }
  array = static_cast<T *>(raw);
  return true;
}

} // namespace

node_id grow_region_nodes(seg_context &ctx) {
  return take_entry(ctx.nodes, ctx.node_count, ctx.node_capacity);
}

link_id grow_node_links(seg_context &ctx) {
  return take_entry(ctx.links, ctx.link_count, ctx.link_capacity);
}

bool reserve_region_nodes(seg_context &ctx, size_t count) {
  return reserve_entries(ctx.nodes, ctx.node_capacity, count);
}

bool reserve_node_links(seg_context &ctx, size_t count) {
  return reserve_entries(ctx.links, ctx.link_capacity, count);
}

void release_records(seg_context &ctx) {
  {
    hold h(state_lock);
    records_taken += ctx.node_count > 0 ? ctx.node_count - 1 : 0;
    cells_taken += ctx.link_count > 0 ? ctx.link_count - 1 : 0;
  }
  seg_free(ctx.nodes);
  seg_free(ctx.links);
  ctx.nodes = NULL;
  ctx.links = NULL;
  ctx.node_count = ctx.node_capacity = 0;
  ctx.link_count = ctx.link_capacity = 0;
}

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
__attribute__((visibility("default"))) long regionseg_core_records_taken() {
  hold h(state_lock);
  return records_taken;
}
__attribute__((visibility("default"))) long regionseg_core_cells_taken() {
  hold h(state_lock);
  return cells_taken;
}
}
