// Speed of the block stages and of a whole split_merge call on generated
// images: a 256 x 256 picture of flat shapes with noise, and a 64 x 64 x 64
// volume of the same kind.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "bench_params.h"
#include "regionseg.h"

namespace {

struct Scene {
  int32_t levels;
  int32_t flat_levels;
  int32_t start_level;
  int32_t side;
  int32_t planes;
  std::vector<int32_t> image;
};

// Flat boxes and balls of random grey values on a background, with
// Gaussian noise (sigma 4), clipped to 0..255.  Seeded: the same every run.
Scene make_scene(int32_t levels, int32_t flat_levels, int32_t start_level) {
  Scene s{
      levels, flat_levels, start_level, int32_t{1} << levels, int32_t{1} << (levels - flat_levels),
      {}};
  const int32_t n = s.side * s.side * s.planes;
  s.image.assign(n, 90);
  std::mt19937 rng(20261209);
  std::uniform_int_distribution<int32_t> pos(0, s.side - 1);
  std::uniform_int_distribution<int32_t> grey(20, 235);
  std::uniform_int_distribution<int32_t> size(s.side / 16, s.side / 4);
  for (int shape = 0; shape < 24; ++shape) {
    const int32_t cx = pos(rng), cy = pos(rng), cz = pos(rng) % s.planes, r = size(rng);
    const int32_t g = grey(rng);
    const bool ball = shape % 2 == 0;
    for (int32_t z = 0; z < s.planes; ++z) {
      for (int32_t y = 0; y < s.side; ++y) {
        for (int32_t x = 0; x < s.side; ++x) {
          const int32_t dx = x - cx, dy = y - cy, dz = s.planes > 1 ? z - cz : 0;
          const bool inside = ball
                                  ? dx * dx + dy * dy + dz * dz <= r * r
                                  : std::abs(dx) <= r && std::abs(dy) <= r / 2 && std::abs(dz) <= r;
          if (inside) {
            s.image[x + y * s.side + z * s.side * s.side] = g;
          }
        }
      }
    }
  }
  std::normal_distribution<double> noise(0.0, 4.0);
  for (int32_t &v : s.image) {
    v = std::clamp(static_cast<int32_t>(std::lround(v + noise(rng))), 0, 255);
  }
  return s;
}

const Scene &picture() {
  static const Scene s = make_scene(8, 8, 4);
  return s;
}
const Scene &volume() {
  static const Scene s = make_scene(6, 0, 3);
  return s;
}

// Criterion 4 with the noise of the scene; criterion 1 with a range of 30.
void run_split_merge(benchmark::State &state, const Scene &s) {
  const bool snapshots = state.range(0) != 0;
  const int32_t criterion = static_cast<int32_t>(state.range(1));
  std::vector<int32_t> labels(s.image.size());
  int32_t count = 0;
  // The progress lines go to /dev/null while timing.
  fflush(stdout);
  const int saved = dup(1);
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 1);
  close(null_fd);
  const seg_params p = bench_params(s.levels, s.flat_levels, s.start_level, criterion);
  for (auto _ : state) {
    snapshot_list list = {};
    const int32_t status = split_merge(s.image.data(), s.side, s.side, s.planes, p, labels.data(),
                                       snapshots ? &list : nullptr);
    benchmark::DoNotOptimize(status);
    count = list.count;
    release_snapshots(list);
  }
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  state.counters["snapshots"] = count;
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(s.image.size()));
}

// The block stages alone, on a context set up as the driver does.
void run_block_stages(benchmark::State &state, const Scene &s) {
  const bool snapshots = state.range(0) != 0;
  const int32_t criterion = static_cast<int32_t>(state.range(1));
  seg_context ctx = {};
  set_up_context(ctx, s.image.data(), s.side, s.side, s.planes,
                 bench_params(s.levels, s.flat_levels, s.start_level, criterion));
  ctx.keep_snapshots = snapshots;
  std::vector<int32_t> child(s.levels), voxels(s.levels + 1);
  voxels[0] = 1;
  for (int32_t l = 0; l < s.levels; ++l) {
    child[l] = l < s.flat_levels ? 4 : 8;
    voxels[l + 1] = voxels[l] * child[l];
  }
  ctx.child_count = child.data();
  ctx.block_voxels = voxels.data();
  if (criterion >= 4 && build_variance_limits(ctx) != SEG_OK) {
    state.SkipWithError("no memory");
    return;
  }
  int64_t blocks = 0;
  int32_t count = 0;
  for (auto _ : state) {
    if (open_first_snapshot(ctx) != SEG_OK) {
      state.SkipWithError("no memory");
      break;
    }
    block_table table = build_initial_blocks(ctx);
    paint_checkerboard(ctx);
    merge_blocks(ctx, table);
    if (!seg_failed(table) && split_blocks(ctx, table) == SEG_OK) {
      blocks = 0;
      for (node_id n = table[0]; n != 0; n = ctx.nodes[n].next_block) {
        ++blocks;
      }
    }
    if (!seg_failed(table)) {
      seg_free(table);
    }
    release_records(ctx);
    count = ctx.snapshot_count;
    release_snapshots(ctx);
  }
  seg_free(ctx.variance_limit);
  state.counters["blocks"] = static_cast<double>(blocks);
  state.counters["snapshots"] = count;
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(s.image.size()));
}

void BM_BlockStages_256x256(benchmark::State &state) { run_block_stages(state, picture()); }
void BM_BlockStages_64x64x64(benchmark::State &state) { run_block_stages(state, volume()); }
void BM_SplitMerge_256x256(benchmark::State &state) { run_split_merge(state, picture()); }
void BM_SplitMerge_64x64x64(benchmark::State &state) { run_split_merge(state, volume()); }

// Arguments: snapshot output (0/1), criterion.
#define SEG_ARGS                                                                                   \
  ArgNames({"snapshots", "criterion"})                                                             \
      ->Args({0, 1})                                                                               \
      ->Args({1, 1})                                                                               \
      ->Args({0, 4})                                                                               \
      ->Args({1, 4})                                                                               \
      ->Unit(benchmark::kMillisecond)

BENCHMARK(BM_BlockStages_256x256)->SEG_ARGS;
BENCHMARK(BM_BlockStages_64x64x64)->SEG_ARGS;
BENCHMARK(BM_SplitMerge_256x256)->SEG_ARGS;
BENCHMARK(BM_SplitMerge_64x64x64)->SEG_ARGS;

} // namespace

BENCHMARK_MAIN();
