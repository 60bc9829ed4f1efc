// What the caller's check (seg_params::check) costs and how often it comes:
// whole runs on the blurred noise of the scale cases (256^3 unless given),
// threshold 20, min_region_size 40, labels only (or with 1 GB of snapshots),
// each without a check and with one that only notes the time, alternately
// (CPU time); then the longest wall time between two checks (the last one
// counted to the end of the run), and the stage it fell in.  A run must see an interrupt
// within a tenth of a second.
//
//   build/bin/regionseg_core_check_bench [SIDE [REPETITIONS [SNAPSHOTS]]]
//
// KALMEX_THREADS sets the threads of a run (default 1).
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "bench_scene.h"
#include "regionseg.h"

namespace {

using clock_type = std::chrono::steady_clock;

// The longest time between two checks: wall time, and the calling thread's
// CPU time (which leaves out the time a busy machine gives to others).
struct Gaps {
  clock_type::time_point last;
  double last_cpu = 0;
  double longest = 0;
  double longest_cpu = 0;
  int32_t stage = 0;
  int32_t stage_cpu = 0;
  long calls = 0;
};

bool note_time(void *data, int32_t stage, double) {
  Gaps &g = *static_cast<Gaps *>(data);
  const clock_type::time_point now = clock_type::now();
  const double gap = std::chrono::duration<double>(now - g.last).count();
  if (gap > g.longest) {
    g.longest = gap;
    g.stage = stage;
  }
  g.last = now;
  const double cpu = thread_seconds();
  if (cpu - g.last_cpu > g.longest_cpu) {
    g.longest_cpu = cpu - g.last_cpu;
    g.stage_cpu = stage;
  }
  g.last_cpu = cpu;
  ++g.calls;
  return false;
}

// CPU seconds of the process (all its threads), steadier than wall time on
// a shared machine.
double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

} // namespace

int main(int argc, char **argv) {
  const int32_t side = argc > 1 ? atoi(argv[1]) : 256;
  const int reps = argc > 2 ? atoi(argv[2]) : 3;
  const bool snapshots = argc > 3 && atoi(argv[3]) != 0;
  int32_t levels = 0;
  while ((int32_t{1} << levels) < side) {
    ++levels;
  }
  const std::vector<int32_t> image = blurred_noise(side);
  std::vector<int32_t> labels(image.size());
  seg_params p;
  p.levels = levels;
  p.flat_levels = 0;
  p.start_level = 3;
  p.threshold = 20;
  p.min_region_size = 40;
  const char *threads = getenv("KALMEX_THREADS");
  p.threads = threads != nullptr ? atoi(threads) : 1;
  p.progress = [](const char *) {};
  p.snapshot_budget = size_t{1} << 30;
  std::vector<double> without, with;
  Gaps worst;
  for (int r = 0; r < reps; ++r) {
    for (int checked = 0; checked < 2; ++checked) {
      Gaps g;
      seg_params q = p;
      if (checked != 0) {
        q.check = note_time;
        q.check_data = &g;
      }
      g.last = clock_type::now();
      g.last_cpu = thread_seconds();
      const double cpu_start = cpu_seconds();
      snapshot_list list = {};
      if (split_merge(image.data(), side, side, side, q, labels.data(),
                      snapshots ? &list : nullptr) != SEG_OK) {
        fprintf(stderr, "run failed\n");
        return 1;
      }
      const double seconds = cpu_seconds() - cpu_start;
      if (checked != 0) {
        note_time(&g, STAGE_OUTPUT, 1.0); // the end of the run
      }
      release_snapshots(list);
      (checked != 0 ? with : without).push_back(seconds);
      if (checked != 0) {
        if (g.longest > worst.longest) {
          worst.longest = g.longest;
          worst.stage = g.stage;
        }
        if (g.longest_cpu > worst.longest_cpu) {
          worst.longest_cpu = g.longest_cpu;
          worst.stage_cpu = g.stage_cpu;
        }
        worst.calls = g.calls;
      }
    }
  }
  std::sort(without.begin(), without.end());
  std::sort(with.begin(), with.end());
  printf("%d^3, %d threads%s: without a check %.3f s, with %.3f s (medians of %d), %+.2f %%\n",
         side, p.threads, snapshots ? ", snapshots" : "", without[without.size() / 2],
         with[with.size() / 2], reps,
         100.0 * (with[with.size() / 2] / without[without.size() / 2] - 1.0));
  printf("%ld checks a run; longest time between two: %.4f s wall (in %s), %.4f s of the "
         "calling thread's CPU (in %s)\n",
         worst.calls, worst.longest, stage_name(worst.stage), worst.longest_cpu,
         stage_name(worst.stage_cpu));
  return 0;
}
