// Fresh pages and time per call of whole regionseg_core calls through the
// embedded host, one process calling again and again as a loop over a
// stack of images does: the first call, then the mean of the calls after
// it, each as CPU milliseconds, wall milliseconds and minor page faults
// (getrusage, every thread of the process).
//
//   regionseg_core_pages_bench [MODULE_DIR [CALLS]]
//
// MODULE_DIR holds the regionseg_core module file to load (default: the
// build tree's); two module files side by side (before and after a change)
// are compared by running this once for each.  The cases are labels-only
// calls, criterion 1, threshold 20: blurred noise 128^3 and 256^3 (start
// level 1) and a 256 x 256 scene of shapes and noise (start level 2), each
// on one thread and on two.
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_scene.h"
#include "kalhost.h"

namespace {

long minor_faults() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_minflt;
}

double seconds(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Figures {
  double cpu_ms = 0, wall_ms = 0, faults = 0;
};

// One labels-only call of the module on image (side x side x planes).
Figures call_once(mxArray *const *args) {
  mxArray *out[1] = {nullptr};
  const long f0 = minor_faults();
  const double c0 = seconds(CLOCK_PROCESS_CPUTIME_ID), w0 = seconds(CLOCK_MONOTONIC);
  const kalhost::CallResult r =
      kalhost::call("regionseg_core", 1, out, 15, const_cast<const mxArray **>(args));
  Figures f{1e3 * (seconds(CLOCK_PROCESS_CPUTIME_ID) - c0), 1e3 * (seconds(CLOCK_MONOTONIC) - w0),
            static_cast<double>(minor_faults() - f0)};
  if (!r.ok) {
    std::fprintf(stderr, "regionseg_core_pages_bench: %s\n", r.error.c_str());
    std::exit(3);
  }
  mxDestroyArray(out[0]);
  return f;
}

void run_case(const char *name, const std::vector<int32_t> &image, int32_t side, int32_t planes,
              int32_t start, int calls) {
  int32_t levels = 0;
  while ((1 << levels) < side) {
    ++levels;
  }
  int32_t thick = 0;
  while ((1 << thick) < planes) {
    ++thick;
  }
  mxArray *args[15];
  const mwSize dims[3] = {mwSize(side), mwSize(side), mwSize(planes)};
  args[0] = mxCreateNumericArray(planes > 1 ? 3 : 2, dims, mxINT32_CLASS, mxREAL);
  std::memcpy(mxGetData(args[0]), image.data(), sizeof(int32_t) * image.size());
  const double params[14] = {
      double(levels), double(levels - thick), double(start), 0, 1, 0, 1, 20, 0.1, 6, 2, 1, 0, 0};
  for (int k = 0; k < 14; ++k) {
    args[k + 1] = mxCreateDoubleScalar(params[k]);
  }
  for (const char *threads : {"1", "2"}) {
    setenv("KALMEX_THREADS", threads, 1);
    const Figures first = call_once(args);
    Figures rest;
    for (int k = 0; k < calls; ++k) {
      const Figures f = call_once(args);
      rest.cpu_ms += f.cpu_ms / calls;
      rest.wall_ms += f.wall_ms / calls;
      rest.faults += f.faults / calls;
    }
    std::fprintf(stderr,
                 "%-12s threads %s  first: cpu %8.1f ms wall %8.1f ms faults %8.0f"
                 "  | next %d: cpu %8.1f ms wall %8.1f ms faults %8.0f\n",
                 name, threads, first.cpu_ms, first.wall_ms, first.faults, calls, rest.cpu_ms,
                 rest.wall_ms, rest.faults);
  }
  for (mxArray *a : args) {
    mxDestroyArray(a);
  }
}

} // namespace

int main(int argc, char **argv) {
  const std::string dir = argc > 1 ? argv[1] : kalhost::defaultModuleDir();
  const int calls = argc > 2 ? std::atoi(argv[2]) : 5;
  kalhost::setSearchPath({dir});
  quiet_stdout quiet;
  const Scene scene = make_scene(8, 8, 2, 7, 60, 80);
  run_case("scene256", scene.image, 256, 1, 2, calls * 10);
  run_case("bn3d128", blurred_noise(128), 128, 128, 1, calls);
  run_case("bn3d256", blurred_noise(256), 256, 256, 1, calls > 2 ? 2 : calls);
  return 0;
}
