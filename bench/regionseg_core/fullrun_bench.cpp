// Whole segmentations through split_merge, every stage included: a 256 x 256
// picture, a 64 x 64 x 64 and a 128 x 128 x 128 volume of flat shapes with
// noise; labels only and with the snapshot output; criteria 1 and 4;
// sequential and parallel grouping.  Counters: regions found, snapshots
// kept, and the process's peak resident size (meaningful when one
// benchmark runs per process, see CMakeLists.txt).
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "bench_params.h"
#include "bench_scene.h"
#include "regionseg.h"

namespace {

// Boxes and balls on a background with a gentle gradient: 80, rising by 40
// across x.
constexpr uint32_t kSeed = 4402;

const Scene &scene(int which) {
  static const Scene picture = make_scene(8, 8, 4, kSeed, 80, 40);
  static const Scene volume64 = make_scene(6, 0, 3, kSeed, 80, 40);
  static const Scene volume128 = make_scene(7, 0, 3, kSeed, 80, 40);
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
  const seg_params p = bench_params(s.levels, s.flat_levels, s.start_level, criterion, parallel);
  {
    const quiet_stdout quiet;
    for (auto _ : state) {
      snapshot_list list = {};
      status = split_merge(s.image.data(), s.side, s.side, s.planes, p, labels.data(),
                           snapshots ? &list : nullptr);
      count = list.count;
      release_snapshots(list);
    }
  }
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
