// The snapshot stack: label images that show the blocks and regions as a
// run proceeds.  Every paint goes into snapshot_cur; every 1001st paint
// event freezes it by opening a copy as the new current snapshot.
#include <string.h>

#include "regionseg.h"

namespace {

snapshot *new_snapshot(int32_t voxels) {
  snapshot *cell = static_cast<snapshot *>(seg_calloc(1, sizeof(snapshot)));
  if (cell == NULL) {
    return NULL;
  }
  cell->labels = static_cast<int32_t *>(seg_alloc(sizeof(int32_t) * static_cast<size_t>(voxels)));
  if (cell->labels == NULL) {
    seg_free(cell);
    return NULL;
  }
  return cell;
}

} // namespace

int32_t open_first_snapshot(seg_context &ctx) {
  snapshot *cell = new_snapshot(ctx.image_voxels);
  if (cell == NULL) {
    return SEG_FAIL;
  }
  ctx.snapshot_head = cell;
  ctx.snapshot_cur = cell;
  ctx.snapshot_count = 1;
  ctx.paint_events = snapshot_interval;
  return SEG_OK;
}

void release_snapshots(snapshot *head) {
  while (head != NULL) {
    snapshot *next = head->next;
    seg_free(head->labels);
    seg_free(head);
    head = next;
  }
}

void paint_block(seg_context &ctx, int32_t x, int32_t y, int32_t z, int32_t width, int32_t height,
                 int32_t depth, int32_t value) {
  if (!painting(ctx)) {
    return;
  }
  int32_t *labels = ctx.snapshot_cur->labels;
  const int32_t start = x + y + z;
  for (int32_t plane = 0; plane < depth; plane += ctx.plane_stride) {
    for (int32_t row = 0; row < height; row += ctx.dim_x) {
      int32_t *run = labels + start + plane + row;
      for (int32_t i = 0; i < width; ++i) {
        run[i] = value;
      }
    }
  }
}

void count_paint_event(seg_context &ctx) {
  if (!painting(ctx)) {
    return;
  }
  ++ctx.paint_events;
  if (ctx.paint_events <= snapshot_interval) {
    return;
  }
  ctx.paint_events = 0;
  if (!ctx.keep_snapshots) {
    return;
  }
  // Freeze the current painting: the copy goes on as the one being painted.
  // When no copy can be had the snapshot is simply not opened.
  snapshot *cell = new_snapshot(ctx.image_voxels);
  if (cell == NULL) {
    return;
  }
  memcpy(cell->labels, ctx.snapshot_cur->labels,
         sizeof(int32_t) * static_cast<size_t>(ctx.image_voxels));
  ctx.snapshot_cur->next = cell;
  ctx.snapshot_cur = cell;
  ++ctx.snapshot_count;
}
