// edgethin against the streaming bound of its own data.
#include <benchmark/benchmark.h>

#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "kalhost.h"
#include "nms.h"

namespace {

constexpr std::size_t kSide = 4096;

struct Images {
  std::size_t side;
  std::vector<double> d, gc, gr, out;
  explicit Images(std::size_t n) : side(n), d(n * n), gc(n * n), gr(n * n), out(n * n) {
    // Smooth structure with noise: a realistic mix of kept and dropped pixels.
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t i = 0; i < n; ++i) {
        const double v = std::sin(0.02 * i) * std::cos(0.03 * j) + noise(rng);
        d[i + j * n] = std::fabs(v);
        gc[i + j * n] = std::cos(0.03 * j) + noise(rng);
        gr[i + j * n] = std::sin(0.02 * i) + noise(rng);
      }
    }
  }
};

Images &images(std::size_t side = kSide) {
  static std::map<std::size_t, std::unique_ptr<Images>> made;
  std::unique_ptr<Images> &im = made[side];
  if (!im) {
    im = std::make_unique<Images>(side);
  }
  return *im;
}

void setBytes(benchmark::State &state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4 * kSide * kSide *
                          static_cast<int64_t>(sizeof(double)));
}

void BM_EdgeThin(benchmark::State &state) {
  Images &im = images();
  for (auto _ : state) {
    suppressNonMaxima(im.d.data(), im.gc.data(), im.gr.data(), im.out.data(), kSide, kSide, 1);
    benchmark::ClobberMemory();
  }
  setBytes(state);
}

// The pass on side x side images with 1 and 2 threads, wall and process CPU
// time: where threads begin to pay (the gateway's cut-off).
void BM_EdgeThinThreads(benchmark::State &state) {
  const std::size_t side = static_cast<std::size_t>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  Images &im = images(side);
  for (auto _ : state) {
    suppressNonMaxima(im.d.data(), im.gc.data(), im.gr.data(), im.out.data(), side, side, threads);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * side * side));
}

// Reads three arrays and writes one: what the memory system allows.
void BM_StreamBound(benchmark::State &state) {
  Images &im = images();
  const double *a = im.d.data(), *b = im.gc.data(), *c = im.gr.data();
  double *o = im.out.data();
  for (auto _ : state) {
    for (std::size_t k = 0; k < kSide * kSide; ++k) {
      o[k] = a[k] + b[k] + c[k];
    }
    benchmark::ClobberMemory();
  }
  setBytes(state);
}

// The whole gateway through the embedded host, output allocation included.
void BM_EdgeThinGateway(benchmark::State &state) {
  kalhost::setSearchPath({kalhost::defaultModuleDir()});
  Images &im = images();
  mxArray *in[3];
  for (int k = 0; k < 3; ++k) {
    in[k] = mxCreateDoubleMatrix(kSide, kSide, mxREAL);
  }
  std::copy(im.d.begin(), im.d.end(), mxGetPr(in[0]));
  std::copy(im.gc.begin(), im.gc.end(), mxGetPr(in[1]));
  std::copy(im.gr.begin(), im.gr.end(), mxGetPr(in[2]));
  for (auto _ : state) {
    mxArray *out[1] = {nullptr};
    kalhost::CallResult r = kalhost::call("edgethin", 1, out, 3, const_cast<const mxArray **>(in));
    if (!r.ok) {
      state.SkipWithError(r.error.c_str());
      break;
    }
    mxDestroyArray(out[0]);
  }
  for (mxArray *a : in) {
    mxDestroyArray(a);
  }
  setBytes(state);
}

BENCHMARK(BM_StreamBound)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_EdgeThin)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_EdgeThinThreads)
    ->ArgsProduct({{64, 128, 181, 256, 362, 512, 1024, 4096}, {1, 2}})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EdgeThinGateway)->Unit(benchmark::kMillisecond)->Repetitions(5);

} // namespace

BENCHMARK_MAIN();
