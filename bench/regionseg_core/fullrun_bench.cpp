// Whole segmentations through split_merge, every stage included: a 256 x 256
// picture, a 64 x 64 x 64 and a 128 x 128 x 128 volume of flat shapes with
// noise; labels only and with the snapshot output; criteria 1 and 4;
// sequential and parallel grouping.  Counters: regions found, snapshots
// kept, and the process's peak resident size (meaningful when one
// benchmark runs per process, see CMakeLists.txt).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
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

// Boxes and balls of random grey values on a background with a gentle
// gradient and Gaussian noise (sigma 4).  Seeded: the same every run.
Scene make_scene(int32_t levels, int32_t flat_levels, int32_t start_level) {
  Scene s{
      levels, flat_levels, start_level, int32_t{1} << levels, int32_t{1} << (levels - flat_levels),
      {}};
  const int32_t side = s.side;
  s.image.assign(static_cast<size_t>(side) * side * s.planes, 0);
  for (int32_t z = 0; z < s.planes; ++z) {
    for (int32_t y = 0; y < side; ++y) {
      for (int32_t x = 0; x < side; ++x) {
        s.image[x + y * side + z * side * side] = 80 + (40 * x) / side;
      }
    }
  }
  std::mt19937 rng(4402);
  std::uniform_int_distribution<int32_t> pos(0, side - 1);
  std::uniform_int_distribution<int32_t> grey(20, 235);
  std::uniform_int_distribution<int32_t> size(side / 16, side / 4);
  for (int shape = 0; shape < 24; ++shape) {
    const int32_t cx = pos(rng), cy = pos(rng), cz = pos(rng) % s.planes, r = size(rng);
    const int32_t g = grey(rng);
    const bool ball = shape % 2 == 0;
    for (int32_t z = 0; z < s.planes; ++z) {
      for (int32_t y = 0; y < side; ++y) {
        for (int32_t x = 0; x < side; ++x) {
          const int32_t dx = x - cx, dy = y - cy, dz = s.planes > 1 ? z - cz : 0;
          const bool inside = ball
                                  ? dx * dx + dy * dy + dz * dz <= r * r
                                  : std::abs(dx) <= r && std::abs(dy) <= r / 2 && std::abs(dz) <= r;
          if (inside) {
            s.image[x + y * side + z * side * side] = g;
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

const Scene &scene(int which) {
  static const Scene picture = make_scene(8, 8, 4);
  static const Scene volume64 = make_scene(6, 0, 3);
  static const Scene volume128 = make_scene(7, 0, 3);
  return which == 0 ? picture : which == 1 ? volume64 : volume128;
}

double peak_rss_mb() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Arguments: scene (0 picture, 1 64^3, 2 128^3), snapshot output (0/1),
// criterion (1: range 30; 4: chi-square with sigma 4), parallel grouping
// (0/1; 16 seeds of any level).
void BM_FullRun(benchmark::State &state) {
  const Scene &s = scene(static_cast<int>(state.range(0)));
  const bool snapshots = state.range(1) != 0;
  const int32_t criterion = static_cast<int32_t>(state.range(2));
  const int32_t parallel = static_cast<int32_t>(state.range(3));
  std::vector<int32_t> labels(s.image.size());
  int32_t count = 0;
  int32_t status = SEG_OK;
  fflush(stdout);
  const int saved = dup(1);
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 1); // the progress lines are not timed on a terminal
  close(null_fd);
  const seg_params p = bench_params(s.levels, s.flat_levels, s.start_level, criterion, parallel);
  for (auto _ : state) {
    snapshot_list list = {};
    status = split_merge(s.image.data(), s.side, s.side, s.planes, p, labels.data(),
                         snapshots ? &list : nullptr);
    count = list.count;
    release_snapshots(list);
  }
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  if (status != SEG_OK) {
    state.SkipWithError("run failed");
    return;
  }
  state.counters["regions"] = *std::max_element(labels.begin(), labels.end()) + 1;
  state.counters["snapshots"] = count;
  state.counters["peak_rss_MB"] = peak_rss_mb();
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(s.image.size()));
}

void full_run_args(benchmark::internal::Benchmark *b) {
  b->ArgNames({"scene", "snapshots", "criterion", "parallel"});
  for (int64_t sc : {0, 1, 2}) {
    for (int64_t snap : {0, 1}) {
      for (int64_t crit : {1, 4}) {
        for (int64_t par : {0, 1}) {
          b->Args({sc, snap, crit, par});
        }
      }
    }
  }
  b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_FullRun)->Apply(full_run_args);

} // namespace

BENCHMARK_MAIN();
