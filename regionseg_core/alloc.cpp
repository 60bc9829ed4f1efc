// The one allocator of a segmentation run.  Every block is listed on the
// heap of the run that made it (seg_heap, one per run, used by one thread),
// so that what a run held when its host ended the call inside it can still
// be released, and no run ever touches another's blocks.  Counting every
// allocation gives the tests a way to see that a run leaves nothing behind,
// and to make any single allocation fail; those counters are the module's
// only state shared by runs that go on at once in threads of one process,
// and are kept under one mutex.  Nothing of the segmentation depends on
// them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>

#include "seg_context.h"

// Every block of seg_alloc, seg_calloc and seg_resize starts with this
// header: its place in its heap's list of live blocks (heap NULL: on none).
// The header keeps the block 16-byte aligned.
struct alignas(16) seg_block {
  seg_block *prev;
  seg_block *next;
  seg_heap *heap;
};

namespace {

long fail_at = 0;                 // the allocation that fails, 0 for none
long records_taken = 0;           // records handed out since the hook was last set
long cells_taken = 0;             // adjacency cells handed out since then
long attempts = 0;                // allocations since the hook was last set
std::mutex state_lock;            // guards everything above
std::atomic<long> live_blocks{0}; // allocations not yet released

using hold = std::lock_guard<std::mutex>;

// The heap of the run on this thread, and the size of the last refusal.
thread_local seg_heap *current_heap = NULL;
thread_local size_t refused_bytes = 0;

void *link_block(void *raw, seg_heap *heap) {
  seg_block *b = static_cast<seg_block *>(raw);
  b->prev = NULL;
  b->heap = heap;
  b->next = heap != NULL ? heap->live : NULL;
  if (heap != NULL) {
    if (heap->live != NULL) {
      heap->live->prev = b;
    }
    heap->live = b;
  }
  return b + 1;
}

void unlink_block(seg_block *b) {
  if (b->heap == NULL) {
    return;
  }
  if (b->prev != NULL) {
    b->prev->next = b->next;
  } else {
    b->heap->live = b->next;
  }
  if (b->next != NULL) {
    b->next->prev = b->prev;
  }
}

seg_block *header_of(void *p) { return static_cast<seg_block *>(p) - 1; }

constexpr size_t max_bytes = static_cast<size_t>(-1) - sizeof(seg_block);

// NULL, noting the size that was refused.
void *refuse(size_t bytes) {
  refused_bytes = bytes;
  return NULL;
}

} // namespace

seg_heap *seg_use_heap(seg_heap *heap) {
  seg_heap *before = current_heap;
  current_heap = heap;
  return before;
}

void seg_release_heap(seg_heap &heap) {
  while (heap.live != NULL) {
    seg_block *next = heap.live->next;
    free(heap.live);
    --live_blocks;
    heap.live = next;
  }
}

size_t seg_refused_bytes() { return refused_bytes; }

void seg_note_refusal(size_t bytes) { refused_bytes = bytes; }

void *seg_alloc(size_t bytes) {
  if (seg_allocation_refused(bytes) || bytes > max_bytes) {
    return refuse(bytes);
  }
  void *raw = malloc(sizeof(seg_block) + bytes);
  if (raw == NULL) {
    return refuse(bytes);
  }
  ++live_blocks;
  return link_block(raw, current_heap);
}

void *seg_calloc(size_t count, size_t size) {
  if (size != 0 && count > static_cast<size_t>(-1) / size) {
    seg_allocation_refused(static_cast<size_t>(-1));
    return refuse(static_cast<size_t>(-1));
  }
  const size_t bytes = count * size;
  if (seg_allocation_refused(bytes) || bytes > max_bytes) {
    return refuse(bytes);
  }
  void *raw = calloc(1, sizeof(seg_block) + bytes);
  if (raw == NULL) {
    return refuse(bytes);
  }
  ++live_blocks;
  return link_block(raw, current_heap);
}

void *seg_resize(void *p, size_t bytes) {
  if (p == NULL) {
    return seg_alloc(bytes);
  }
  if (seg_allocation_refused(bytes) || bytes > max_bytes) {
    return refuse(bytes);
  }
  seg_block *b = header_of(p);
  seg_heap *heap = b->heap;
  unlink_block(b);
  void *raw = realloc(b, sizeof(seg_block) + bytes);
  if (raw == NULL) {
    link_block(b, heap); // the old block stays as it was
    return refuse(bytes);
  }
  return link_block(raw, heap);
}

void seg_free(void *p) {
  if (p != NULL) {
    seg_block *b = header_of(p);
    unlink_block(b);
    --live_blocks;
    free(b);
  }
}

bool seg_allocation_refused(size_t bytes) {
  hold h(state_lock);
  ++attempts;
  if (fail_at > 0 && attempts == fail_at) {
    refused_bytes = bytes;
    return true;
  }
  return false;
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

long seg_live_allocations() { return live_blocks; }

namespace {

// Grows the block array to hold at least wanted entries (entry 0
// included), by half again at least; false when it cannot.  Ids stay below
// 2^32 - 1.
bool grow_blocks(seg_context &ctx, size_t wanted) {
  if (wanted <= ctx.block_capacity) {
    return true;
  }
  constexpr size_t id_limit = 0xFFFFFFFFu;
  constexpr size_t entry = sizeof(block_record);
  if (wanted > id_limit || wanted > static_cast<size_t>(-1) / entry) {
    refused_bytes = static_cast<size_t>(-1);
    return false;
  }
  size_t grown = static_cast<size_t>(ctx.block_capacity) + ctx.block_capacity / 2;
  if (grown < wanted) {
    grown = wanted;
  }
  if (grown < 64) {
    grown = 64;
  }
  if (grown > id_limit) {
    grown = id_limit;
  }
  void *p = seg_resize(ctx.blocks, grown * entry);
  if (p == NULL) {
    return false;
  }
  ctx.blocks = static_cast<block_record *>(p);
  ctx.block_capacity = static_cast<block_id>(grown);
  return true;
}

// count entries of type T from seg_alloc into array; false when they
// cannot be had.
template <typename T> bool make_array(T *&array, size_t count) {
  if (count > static_cast<size_t>(-1) / sizeof(T)) {
    refused_bytes = static_cast<size_t>(-1);
    return false;
  }
  array = static_cast<T *>(seg_alloc(count * sizeof(T)));
  return array != NULL;
}

} // namespace

bool reserve_blocks(seg_context &ctx, size_t count) { return grow_blocks(ctx, count + 1); }

void release_blocks(seg_context &ctx) {
  {
    hold h(state_lock);
    records_taken += ctx.block_count > 0 ? ctx.block_count - 1 : 0;
  }
  seg_free(ctx.blocks);
  ctx.blocks = NULL;
  ctx.block_count = ctx.block_capacity = 0;
}

int32_t make_region_store(seg_context &ctx, region_id count) {
  region_store &s = ctx.regions;
  s.count = count;
  const size_t n = static_cast<size_t>(count) + 1;
  if (!make_array(s.hot, n) || !make_array(s.lists, n) || !make_array(s.size, n) ||
      !make_array(s.origin, n)) {
    return note_shortage(ctx, "the region records");
  }
  if (painting(ctx) && (!make_array(s.next_member, n) || !make_array(s.last_member, n))) {
    return note_shortage(ctx, "the member chains");
  }
  s.stamp = 1;
  return SEG_OK;
}

int32_t reserve_cells(seg_context &ctx, size_t count) {
  region_store &s = ctx.regions;
  if (count >= 0xFFFFFFFFu) {
    refused_bytes = static_cast<size_t>(-1);
    return note_shortage(ctx, "the adjacency cells");
  }
  if (!make_array(s.cells, count + 1)) {
    return note_shortage(ctx, "the adjacency cells");
  }
  s.cell_count = static_cast<cell_id>(count + 1);
  return SEG_OK;
}

int32_t repack_cells(seg_context &ctx) {
  region_store &s = ctx.regions;
  size_t count = 0;
  for (region_id r = 1; r <= s.count && !tick(ctx); ++r) {
    if (is_absorbed(s, r)) {
      continue;
    }
    size_t entries = 0;
    for (cell_id c = first_entry(s, r); c != 0; c = next_entry(s, c)) {
      ++entries;
    }
    count += entries != 0 ? entries + 1 : 0;
  }
  uint32_t *packed = NULL;
  if (ctx.ending != SEG_OK) {
    return SEG_FAIL;
  }
  // Never more cells than the lists had.
  if (!make_array(packed, count + 1)) {
    return note_shortage(ctx, "the adjacency cells");
  }
  cell_id at = 1;
  for (region_id r = 1; r <= s.count; ++r) {
    if (is_absorbed(s, r)) {
      continue;
    }
    const cell_id first = at;
    for (cell_id c = first_entry(s, r); c != 0; c = next_entry(s, c)) {
      packed[at++] = s.cells[c];
    }
    if (at == first) {
      s.lists[r] = region_lists{0, 0};
    } else {
      packed[at++] = cell_end + (r - 1);
      s.lists[r] = region_lists{first, 0};
    }
  }
  {
    hold h(state_lock);
    cells_taken += s.cell_count - 1;
  }
  seg_free(s.cells);
  s.cells = packed;
  s.cell_count = at;
  return SEG_OK;
}

void release_records(seg_context &ctx) {
  release_blocks(ctx);
  region_store &s = ctx.regions;
  {
    hold h(state_lock);
    cells_taken += s.cell_count > 0 ? s.cell_count - 1 : 0;
  }
  seg_free(s.hot);
  seg_free(s.lists);
  seg_free(s.size);
  seg_free(s.origin);
  seg_free(s.next_member);
  seg_free(s.last_member);
  seg_free(s.cells);
  s = region_store{};
  seg_free(ctx.label_of);
  ctx.label_of = NULL;
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
