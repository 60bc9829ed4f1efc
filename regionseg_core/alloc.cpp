// The one allocator of a segmentation run.  Every block is listed on the
// heap of the run that made it (seg_heap, one per run, used by one thread),
// so that what a run held when its host ended the call inside it can still
// be released, and no run ever touches another's blocks.  Counting every
// allocation gives the tests a way to see that a run leaves nothing behind,
// and to make any single allocation fail; those counters are the module's
// only state shared by runs that go on at once in threads of one process,
// and are kept under one mutex.  Nothing of the segmentation depends on
// them.
//
// Pages.  A run's large arrays (the block records, the region store, the
// adjacency cells, the tables of sorting and elimination) come one stage
// after another, each freed when the next is made.  Had each its own
// mapping from the C library, every stage would fault in fresh pages: on a
// volume of blurred noise a third of a run's time went to those faults.  So
// the large blocks of a run are carved out of a few large spans of its heap
// (first fit in address order, free neighbours joined again): a stage takes
// the pages an earlier one left, and a page is faulted in once a run.  A
// span grows the heap by at least a quarter of what it holds already, so a
// run of any size ends up with few spans.  When the run ends, its spans go
// to a pool of the process, bounded (pool_limit_bytes), from which the next
// runs take them: a loop over a stack of images faults its pages once.  A
// span's bytes past the highest one ever handed out are still the C
// library's zeros, which zero-filled blocks there need not write again.
//
// The pool's bound: a quarter of the machine's memory, at most 256 MiB.  A
// run's spans come to about 38 bytes a voxel (a 128^3 volume of blurred
// noise: 79 MB in five spans, 69 MB of them used), so the pool holds the
// whole working memory of volumes up to about 190^3 or photographs of 7 M
// pixels, the images a loop over a stack or a parameter sweep takes, while
// a process that segments one large volume and goes on with other work
// keeps at most a quarter of a small machine's memory.
#include <malloc.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "seg_context.h"

// Every block of seg_alloc, seg_calloc and seg_resize starts with this
// header: its place in its heap's list of live blocks (heap NULL: on none)
// and, for a block carved out of a span, its place there.  A span is a row
// of chunks, each a header and its block, free or in use: bytes is the
// chunk's size, before that of the chunk in front of it (0 for the first).
// 64 bytes, so that blocks in a span start on cache lines.
struct alignas(16) seg_block {
  seg_block *prev;
  seg_block *next;
  seg_heap *heap;
  seg_span *span; // NULL: a block of the C library's own
  size_t bytes;
  size_t before;
  size_t free;
  size_t dirty; // the span's mark of bytes handed out before the chunk was
};

// One span: bytes from base (aligned to a chunk), of which the first
// touched have been handed out at some time; the rest are still zeros.
struct seg_span {
  seg_span *next; // in its heap's list or in the pool's
  void *raw;      // what the C library gave
  char *base;
  size_t bytes;
  size_t touched;
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

constexpr size_t header_bytes = sizeof(seg_block);
static_assert(header_bytes == 64, "a chunk header is a cache line");
// Blocks from this size on are carved out of spans.
constexpr size_t large_block = size_t{1} << 16;
// Chunks are whole multiples of this; spans at least this large and whole
// multiples of span_step, starting on a large page (huge_page).
constexpr size_t chunk_unit = 64;
constexpr size_t first_span = size_t{4} << 20;
constexpr size_t span_step = size_t{1} << 20;
constexpr size_t huge_page = size_t{2} << 20;

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

constexpr size_t max_bytes = static_cast<size_t>(-1) / 2;

// NULL, noting the size that was refused.
void *refuse(size_t bytes) {
  refused_bytes = bytes;
  return NULL;
}

// ---------------------------------------------------------------------------
// Spans

size_t round_up(size_t n, size_t unit) { return (n + unit - 1) / unit * unit; }

seg_block *chunk_at(seg_span *s, size_t offset) {
  return reinterpret_cast<seg_block *>(s->base + offset);
}
size_t offset_of(const seg_span *s, const seg_block *c) {
  return static_cast<size_t>(reinterpret_cast<const char *>(c) - s->base);
}
seg_block *chunk_after(seg_block *c) {
  const size_t end = offset_of(c->span, c) + c->bytes;
  return end < c->span->bytes ? chunk_at(c->span, end) : NULL;
}

// Writes a chunk header at offset: what is written there is no longer zero.
seg_block *put_chunk(seg_span *s, size_t offset, size_t bytes, size_t before, bool free) {
  seg_block *c = chunk_at(s, offset);
  c->span = s;
  c->bytes = bytes;
  c->before = before;
  c->free = free ? 1 : 0;
  if (offset + header_bytes > s->touched) {
    s->touched = offset + header_bytes;
  }
  return c;
}

// Cuts chunk c (in use) to bytes, its rest becoming a free chunk that is
// joined with a free one after it.  Nothing when the rest is too small.
void trim_chunk(seg_block *c, size_t bytes) {
  seg_span *s = c->span;
  if (c->bytes - bytes < header_bytes + chunk_unit) {
    return;
  }
  const size_t at = offset_of(s, c) + bytes;
  size_t rest = c->bytes - bytes;
  seg_block *after = chunk_after(c);
  if (after != NULL && after->free != 0) {
    rest += after->bytes;
    after = chunk_after(after);
  }
  c->bytes = bytes;
  put_chunk(s, at, rest, bytes, true);
  if (after != NULL) {
    after->before = rest;
  }
}

// A chunk of at least bytes (a multiple of chunk_unit, header included)
// out of span s, first fit; NULL when none is free.
seg_block *carve(seg_span *s, size_t bytes) {
  for (seg_block *c = chunk_at(s, 0); c != NULL; c = chunk_after(c)) {
    if (c->free != 0 && c->bytes >= bytes) {
      c->free = 0;
      c->dirty = s->touched;
      trim_chunk(c, bytes);
      const size_t end = offset_of(s, c) + c->bytes;
      if (end > s->touched) {
        s->touched = end;
      }
      return c;
    }
  }
  return NULL;
}

// Gives chunk c back to its span, joined with free neighbours.
void release_chunk(seg_block *c) {
  seg_span *s = c->span;
  c->free = 1;
  seg_block *after = chunk_after(c);
  if (after != NULL && after->free != 0) {
    c->bytes += after->bytes;
    after = chunk_after(after);
  }
  if (c->before != 0) {
    seg_block *front = chunk_at(s, offset_of(s, c) - c->before);
    if (front->free != 0) {
      front->bytes += c->bytes;
      c = front;
    }
  }
  if (after != NULL) {
    after->before = c->bytes;
  }
}

bool span_is_free(seg_span *s) {
  const seg_block *c = chunk_at(s, 0);
  return c->free != 0 && c->bytes == s->bytes;
}

// A new span of at least bytes from the C library, zero-filled (calloc
// writes no zeros on fresh pages), as one free chunk, starting on a large
// page; NULL when it cannot be had.
seg_span *make_span(size_t bytes) {
  const size_t rounded = round_up(bytes, span_step);
  if (rounded < bytes || rounded > max_bytes) {
    return NULL;
  }
  seg_span *s = static_cast<seg_span *>(malloc(sizeof(seg_span)));
  if (s == NULL) {
    return NULL;
  }
  s->raw = calloc(1, rounded + huge_page);
  if (s->raw == NULL) {
    free(s);
    return NULL;
  }
  s->base = reinterpret_cast<char *>(round_up(reinterpret_cast<uintptr_t>(s->raw), huge_page));
#ifdef MADV_HUGEPAGE
  // Large pages where the system gives them on request: a 128^3 run then
  // faults a tenth as often, and a fault of a large page costs little more
  // than one of a small page.  Advice only: nothing depends on it.
  madvise(s->base, rounded, MADV_HUGEPAGE);
#endif
  s->bytes = rounded;
  s->touched = 0;
  s->next = NULL;
  put_chunk(s, 0, rounded, 0, true);
  return s;
}

void drop_span(seg_span *s) {
  free(s->raw);
  free(s);
}

// The pool of the process: spans of finished runs in the order they were
// given back, bytes in all, at most pool_limit_bytes().  closed once the
// module is being unloaded: spans given back then are released at once.
struct span_pool {
  std::mutex lock;
  seg_span *first = NULL;
  size_t bytes = 0;
  bool closed = false;
  ~span_pool() {
    std::lock_guard<std::mutex> h(lock);
    closed = true;
    while (first != NULL) {
      seg_span *next = first->next;
      drop_span(first);
      first = next;
    }
    bytes = 0;
  }
};
span_pool pool;

// The first span of the pool that holds a chunk of bytes, taken out of it;
// NULL when there is none.
seg_span *take_pooled_span(size_t bytes) {
  std::lock_guard<std::mutex> h(pool.lock);
  for (seg_span **at = &pool.first; *at != NULL; at = &(*at)->next) {
    seg_span *s = *at;
    if (s->bytes >= bytes) {
      *at = s->next;
      pool.bytes -= s->bytes;
      s->next = NULL;
      return s;
    }
  }
  return NULL;
}

// Gives the spans from first on (all free) to the pool, whose largest
// spans are released while it holds more than its limit.
void pool_spans(seg_span *first) {
  if (first == NULL) {
    return;
  }
  std::lock_guard<std::mutex> h(pool.lock);
  seg_span **end = &pool.first;
  while (*end != NULL) {
    end = &(*end)->next;
  }
  *end = first;
  for (seg_span *s = first; s != NULL; s = s->next) {
    pool.bytes += s->bytes;
  }
  const size_t limit = pool.closed ? 0 : pool_limit_bytes();
  while (pool.bytes > limit) {
    seg_span **largest = &pool.first;
    for (seg_span **at = &pool.first; *at != NULL; at = &(*at)->next) {
      if ((*at)->bytes > (*largest)->bytes) {
        largest = at;
      }
    }
    seg_span *s = *largest;
    *largest = s->next;
    pool.bytes -= s->bytes;
    drop_span(s);
  }
}

// Releases the heap's spans that are wholly free (memory for an
// allocation that could not be had otherwise).
void drop_free_spans(seg_heap &heap) {
  for (seg_span **at = &heap.spans; *at != NULL;) {
    seg_span *s = *at;
    if (span_is_free(s)) {
      *at = s->next;
      drop_span(s);
    } else {
      at = &s->next;
    }
  }
}

// A chunk for a block of bytes on heap: from its spans, else from a span
// of the pool, else from a new span.  When memory runs short the pool and
// the heap's free spans are given back first and the span asked for is
// just large enough.  NULL when it cannot be had.
seg_block *take_chunk(seg_heap &heap, size_t bytes) {
  const size_t need = round_up(header_bytes + bytes, chunk_unit);
  size_t held = 0;
  seg_span **end = &heap.spans;
  for (seg_span *s = heap.spans; s != NULL; s = s->next) {
    if (seg_block *c = carve(s, need)) {
      return c;
    }
    held += s->bytes;
    end = &s->next;
  }
  seg_span *s = take_pooled_span(need);
  if (s == NULL) {
    size_t grow = held / 4;
    grow = grow > first_span ? grow : first_span;
    s = make_span(need > grow ? need : grow);
  }
  if (s == NULL) {
    seg_release_pool();
    drop_free_spans(heap);
    s = make_span(need);
    end = &heap.spans;
    while (*end != NULL) {
      end = &(*end)->next;
    }
  }
  if (s == NULL) {
    return NULL;
  }
  *end = s;
  return carve(s, need);
}

// The C library's malloc or calloc, with the pool given back and a second
// try when the first fails.
void *library_block(size_t bytes, bool zero) {
  void *raw = zero ? calloc(1, bytes) : malloc(bytes);
  if (raw == NULL) {
    seg_release_pool();
    raw = zero ? calloc(1, bytes) : malloc(bytes);
  }
  if (raw != NULL) {
    static_cast<seg_block *>(raw)->span = NULL;
  }
  return raw;
}

// A new block of bytes on the calling thread's heap (zero-filled when
// zero is set), or NULL.
void *new_block(size_t bytes, bool zero) {
  seg_heap *heap = current_heap;
  void *raw = NULL;
  if (heap != NULL && bytes >= large_block) {
    seg_block *c = take_chunk(*heap, bytes);
    if (c != NULL && zero) {
      // Only the bytes below the span's mark of those ever handed out
      // (before this chunk) can be other than zero.
      char *from = reinterpret_cast<char *>(c + 1);
      const size_t at = static_cast<size_t>(from - c->span->base);
      const size_t end = c->dirty < at + bytes ? c->dirty : at + bytes;
      if (end > at) {
        memset(from, 0, end - at);
      }
    }
    raw = c;
  } else {
    raw = library_block(header_bytes + bytes, zero);
  }
  if (raw == NULL) {
    return refuse(bytes);
  }
  ++live_blocks;
  return link_block(raw, heap);
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
    if (heap.live->span == NULL) {
      free(heap.live);
    }
    --live_blocks;
    heap.live = next;
  }
  // Every chunk is free now: each span becomes one free chunk again.
  for (seg_span *s = heap.spans; s != NULL; s = s->next) {
    put_chunk(s, 0, s->bytes, 0, true);
  }
  seg_span *spans = heap.spans;
  heap.spans = NULL;
  pool_spans(spans);
}

void seg_release_pool() {
  std::lock_guard<std::mutex> h(pool.lock);
  while (pool.first != NULL) {
    seg_span *next = pool.first->next;
    drop_span(pool.first);
    pool.first = next;
  }
  pool.bytes = 0;
}

size_t seg_pool_bytes() {
  std::lock_guard<std::mutex> h(pool.lock);
  return pool.bytes;
}

size_t pool_limit_bytes() {
  static const size_t limit = [] {
    const size_t cap = size_t{256} << 20;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) {
      return cap / 4;
    }
    const size_t quarter = static_cast<size_t>(pages) / 4 * static_cast<size_t>(page);
    return quarter < cap ? quarter : cap;
  }();
  return limit;
}

size_t seg_refused_bytes() { return refused_bytes; }

void seg_note_refusal(size_t bytes) { refused_bytes = bytes; }

void *seg_alloc(size_t bytes) {
  if (seg_allocation_refused(bytes) || bytes > max_bytes) {
    return refuse(bytes);
  }
  return new_block(bytes, false);
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
  return new_block(bytes, true);
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
  if (b->span != NULL) {
    // In its span: cut, or grown into a free chunk behind it, in place.
    const size_t need = round_up(header_bytes + bytes, chunk_unit);
    seg_block *after = chunk_after(b);
    if (need > b->bytes && after != NULL && after->free != 0 && b->bytes + after->bytes >= need) {
      seg_block *beyond = chunk_after(after);
      b->bytes += after->bytes;
      if (beyond != NULL) {
        beyond->before = b->bytes;
      }
    }
    if (need <= b->bytes) {
      trim_chunk(b, need);
      const size_t end = offset_of(b->span, b) + b->bytes;
      if (end > b->span->touched) {
        b->span->touched = end;
      }
      return p;
    }
  }
  if (b->span != NULL || (heap != NULL && bytes >= large_block)) {
    // Moved: into a chunk of the heap's spans, or out of one.
    seg_heap *const outer = current_heap;
    current_heap = heap;
    void *moved = new_block(bytes, false);
    current_heap = outer;
    if (moved == NULL) {
      return NULL; // the old block stays as it was
    }
    const size_t old_bytes =
        b->span != NULL ? b->bytes - header_bytes : malloc_usable_size(b) - header_bytes;
    memcpy(moved, p, old_bytes < bytes ? old_bytes : bytes);
    seg_free(p);
    return moved;
  }
  unlink_block(b);
  void *raw = realloc(b, header_bytes + bytes);
  if (raw == NULL) {
    seg_release_pool();
    raw = realloc(b, header_bytes + bytes);
  }
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
    if (b->span != NULL) {
      release_chunk(b);
    } else {
      free(b);
    }
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
__attribute__((visibility("default"))) void regionseg_core_release_pool() { seg_release_pool(); }
}
