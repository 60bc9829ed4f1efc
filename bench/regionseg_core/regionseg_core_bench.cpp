// Speed of the block stages and of a whole split_merge call on generated
// images: a 256 x 256 picture of flat shapes with noise, and a 64 x 64 x 64
// volume of the same kind.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "bench_params.h"
#include "bench_scene.h"
#include "stages.h"

namespace {

// Boxes and balls on a flat background of 90.
constexpr uint32_t kSeed = 20261209;

const Scene &picture() {
  static const Scene s = make_scene(8, 8, 4, kSeed, 90, 0);
  return s;
}
const Scene &volume() {
  static const Scene s = make_scene(6, 0, 3, kSeed, 90, 0);
  return s;
}

// Criterion 4 with the noise of the scene; criterion 1 with a range of 30.
void run_split_merge(benchmark::State &state, const Scene &s) {
  const bool snapshots = state.range(0) != 0;
  const int32_t criterion = static_cast<int32_t>(state.range(1));
  std::vector<int32_t> labels(s.image.size());
  int32_t count = 0;
  const seg_params p = bench_params(s.levels, s.flat_levels, s.start_level, criterion);
  {
    const quiet_stdout quiet;
    for (auto _ : state) {
      snapshot_list list = {};
      const int32_t status = split_merge(s.image.data(), s.side, s.side, s.planes, p, labels.data(),
                                         snapshots ? &list : nullptr);
      benchmark::DoNotOptimize(status);
      count = list.count;
      release_snapshots(list);
    }
  }
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
  if (build_level_tables(ctx) != SEG_OK || (criterion >= 4 && set_up_criterion(ctx) != SEG_OK)) {
    release_tables(ctx);
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
    block_table table = nullptr;
    const bool built = build_initial_blocks(ctx, table) == SEG_OK;
    paint_checkerboard(ctx);
    if (built) {
      merge_blocks(ctx, table);
      if (split_blocks(ctx, table) == SEG_OK) {
        blocks = 0;
        for (block_id n = table[0]; n != 0; n = ctx.blocks[n].next_block) {
          ++blocks;
        }
      }
    }
    seg_free(table);
    release_records(ctx);
    count = ctx.snapshot_count;
    release_snapshots(ctx);
  }
  release_tables(ctx);
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
