// The label image: every pixel receives the position of its region in the
// sorted list.  Every region's own block, in parts of the store (which
// follows the image closely) on the run's threads, writes the label of the
// live region it went to into its pixels.
#include "stages.h"

void make_output(seg_context &ctx, int32_t *labels) {
  const size_t voxels = static_cast<size_t>(ctx.image_voxels);
  if (ctx.label_of == nullptr) {
    // One region: every pixel is 0.
    const part_plan plan = plan_parts(ctx, voxels / 4096 + 1, voxels);
    for_each_part(plan, [&](int32_t part, int32_t) {
      const size_t last = part_start(voxels, part + 1, plan.parts);
      for (size_t i = part_start(voxels, part, plan.parts); i < last; ++i) {
        labels[i] = 0;
      }
    });
    return;
  }
  const region_store &s = ctx.regions;
  const int32_t *const label_of = ctx.label_of;
  const size_t regions = s.count;
  const part_plan plan = plan_parts(ctx, regions, voxels);
  part_stop stop(plan, voxels);
  for_each_part(plan, [&](int32_t part, int32_t worker) {
    const region_id last = static_cast<region_id>(1 + part_start(regions, part + 1, plan.parts));
    // The voxels of a region's block, on average, for the checks.
    const size_t each = voxels / regions + 1;
    for (region_id r = static_cast<region_id>(1 + part_start(regions, part, plan.parts));
         r < last && !stop.poll(ctx, worker, each); ++r) {
      // Not shortened on the way, so that the parts may look up at once.
      fill_region(ctx, labels, r, label_of[find_live_region(s, r)]);
    }
  });
}
