// Small-region elimination alone, with its referrer index, on grouped
// region lists: cells looked at per region taken in, and the CPU time of the
// stage.
//
//   build/bin/regionseg_core_elimination_bench [SIDE PLANES...]
//
// The image is a camera-like picture (sky, ground with texture, a dark
// figure with a tripod, a building; Gaussian noise of sigma 6), each plane
// shifted one pixel per 4 planes; criterion 1, threshold 20, start level 3,
// sequential grouping, min_region_size 40, labels only.  Without arguments:
// 256 x 256 x 2, 4, 8 and 16.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "bench_scene.h"
#include "stages.h"

namespace {

std::vector<int32_t> camera_like(int32_t side, int32_t planes) {
  std::vector<int32_t> img(static_cast<size_t>(side) * side * planes);
  std::mt19937 rng(1);
  std::normal_distribution<double> noise(0.0, 6.0);
  for (int32_t z = 0; z < planes; ++z) {
    for (int32_t y = 0; y < side; ++y) {
      for (int32_t col = 0; col < side; ++col) {
        const double x = (col - z / 4) / static_cast<double>(side);
        const double v = y / static_cast<double>(side);
        double g = 210 - 60 * v;
        if (v > 0.72) {
          g = 110 + 25 * std::sin(40 * x + 13 * v) * std::sin(23 * v * v + 7 * x);
        }
        if (x > 0.7 && x < 0.9 && v > 0.35 && v < 0.72) {
          g = 160;
        }
        const double bx = (x - 0.42) / 0.13, by = (v - 0.58) / 0.3;
        if (bx * bx + by * by < 1) {
          g = 25 + 10 * std::sin(30 * x);
        }
        const double hx = (x - 0.44) / 0.06, hy = (v - 0.22) / 0.07;
        if (hx * hx + hy * hy < 1) {
          g = 35;
        }
        if (v > 0.4 && (std::fabs(x - 0.3 - 0.2 * (v - 0.4)) < 0.006 ||
                        std::fabs(x - 0.3 + 0.15 * (v - 0.4)) < 0.006)) {
          g = 45;
        }
        if (x > 0.26 && x < 0.34 && v > 0.3 && v < 0.38) {
          g = 60;
        }
        g += noise(rng);
        img[static_cast<size_t>(col) + static_cast<size_t>(y) * side +
            static_cast<size_t>(z) * side * side] =
            std::clamp(static_cast<int32_t>(std::lround(g)), 0, 255);
      }
    }
  }
  return img;
}

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Measure {
  long regions = 0; // live regions after grouping
  long listed = 0;  // cells in their lists
  elimination_work work{};
  double seconds = 0;
};

// Grouping as the pipeline runs it, then the stage alone, timed.
Measure run(const std::vector<int32_t> &image, int32_t side, int32_t planes) {
  int32_t plane_bits = 0;
  while ((1 << plane_bits) < planes) {
    ++plane_bits;
  }
  int32_t levels = 0;
  while ((1 << levels) < side) {
    ++levels;
  }
  levels = std::max(levels, plane_bits);
  seg_params p;
  p.levels = levels;
  p.flat_levels = levels - plane_bits;
  p.start_level = std::min(3, levels - 1);
  p.criterion = 1;
  p.threshold = 20;
  p.min_region_size = 40;
  seg_context ctx{};
  set_up_context(ctx, image.data(), side, side, planes, p);
  if (build_level_tables(ctx) != SEG_OK) {
    fprintf(stderr, "out of memory\n");
    exit(1);
  }
  Measure m;
  block_table table = nullptr;
  if (build_initial_blocks(ctx, table) != SEG_OK) {
    fprintf(stderr, "out of memory\n");
    exit(1);
  }
  merge_blocks(ctx, table);
  const bool ordered =
      split_blocks(ctx, table) == SEG_OK && order_region_list(ctx, table) == SEG_OK;
  seg_free(table);
  if (!ordered || ctx.regions.count == 0) {
    fprintf(stderr, "out of memory\n");
    exit(1);
  }
  // Grouping prints its progress line; the table alone goes to stdout.
  {
    const quiet_stdout quiet;
    group_sequential(ctx);
  }
  const region_store &s = ctx.regions;
  for (region_id r = 1; r <= s.count; ++r) {
    if (is_absorbed(s, r)) {
      continue;
    }
    ++m.regions;
    for (cell_id c = first_entry(s, r); c != 0; c = next_entry(s, c)) {
      ++m.listed;
    }
  }
  const double t0 = cpu_seconds();
  if (eliminate_small_regions(ctx) != SEG_OK) {
    fprintf(stderr, "out of memory\n");
    exit(1);
  }
  m.seconds = cpu_seconds() - t0;
  m.work = ctx.elimination;
  release_records(ctx);
  release_tables(ctx);
  return m;
}

} // namespace

int main(int argc, char **argv) {
  std::vector<int32_t> sizes; // side, planes pairs
  for (int i = 1; i + 1 < argc; i += 2) {
    sizes.push_back(atoi(argv[i]));
    sizes.push_back(atoi(argv[i + 1]));
  }
  if (sizes.empty()) {
    sizes = {256, 2, 256, 4, 256, 8, 256, 16};
  }
  printf("%-14s %8s %8s %8s | %s\n", "image", "regions", "listed", "taken",
         "index: own + refs + placed + relabelled (+ built) per taken, s");
  for (size_t i = 0; i < sizes.size(); i += 2) {
    const int32_t side = sizes[i], planes = sizes[i + 1];
    const std::vector<int32_t> image = camera_like(side, planes);
    fflush(stdout);
    const Measure x = run(image, side, planes);
    const double taken = static_cast<double>(std::max(1L, x.work.regions_taken));
    char name[32];
    snprintf(name, sizeof name, "%dx%dx%d", side, side, planes);
    printf("%-14s %8ld %8ld %8ld | %5.1f + %4.1f + %4.1f + %4.1f = %5.1f (+ %4.1f) %7.3f\n", name,
           x.regions, x.listed, x.work.regions_taken, x.work.own_cells / taken,
           x.work.referrers / taken, x.work.placed / taken, x.work.relabelled / taken,
           (x.work.own_cells + x.work.referrers + x.work.placed + x.work.relabelled) / taken,
           x.work.indexed / taken, x.seconds);
  }
  return 0;
}
