// Time of the three library operations on images of typical sizes.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "kal.h"

namespace {

kal_Image makeImage(kal_Resources rs, const std::vector<int32_t> &sizes) {
  kal_Image image = nullptr;
  kal_ImageNew(&image, rs);
  kal_ImageForge(image, kal_DT_SFLOAT, static_cast<int32_t>(sizes.size()), sizes.data());
  const void *pixels = nullptr;
  kal_ImageGetPixels(image, &pixels);
  float *p = static_cast<float *>(const_cast<void *>(pixels));
  size_t count = 1;
  for (int32_t s : sizes) {
    count *= static_cast<size_t>(s);
  }
  for (size_t i = 0; i < count; ++i) {
    p[i] = static_cast<float>(std::sin(0.011 * i) * std::cos(0.0037 * i) + 0.001 * (i % 97));
  }
  return image;
}

void turnVolume(benchmark::State &state) {
  kal_Resources rs = nullptr;
  kal_ResourcesNew(&rs, 0);
  kal_Image in = makeImage(rs, {128, 128, 64});
  for (auto _ : state) {
    kal_Resources call = nullptr;
    kal_ResourcesNew(&call, 0);
    kal_Image out = nullptr;
    kal_ImageNew(&out, call);
    kal_ErrorFree(kal_TurnVolume(in, out, 0.5, 3, static_cast<int32_t>(state.range(0)), 1));
    kal_ResourcesFree(&call);
  }
  state.SetItemsProcessed(state.iterations() * 128 * 128 * 64);
  kal_ResourcesFree(&rs);
}
BENCHMARK(turnVolume)->DenseRange(1, 5)->Unit(benchmark::kMillisecond);

void subpixelMaxima(benchmark::State &state) {
  kal_Resources rs = nullptr;
  kal_ResourcesNew(&rs, 0);
  kal_Image in = makeImage(rs, {512, 512});
  for (auto _ : state) {
    kal_Resources call = nullptr;
    kal_ResourcesNew(&call, 0);
    kal_ImageArray *coordinates = nullptr;
    kal_ImageArrayNew(&coordinates, 2, call);
    kal_ImageNew(&coordinates->array[0], call);
    kal_ImageNew(&coordinates->array[1], call);
    kal_ErrorFree(
        kal_SubpixelMaxima(in, nullptr, coordinates, static_cast<int32_t>(state.range(0))));
    kal_ResourcesFree(&call);
  }
  state.SetItemsProcessed(state.iterations() * 512 * 512);
  kal_ResourcesFree(&rs);
}
BENCHMARK(subpixelMaxima)->Arg(1)->Arg(4)->Arg(5)->Unit(benchmark::kMillisecond);

void troughFind(benchmark::State &state) {
  kal_Resources rs = nullptr;
  kal_ResourcesNew(&rs, 0);
  kal_Image in = makeImage(rs, {256, 256, 64});
  for (auto _ : state) {
    kal_Resources call = nullptr;
    kal_ResourcesNew(&call, 0);
    kal_Image out = nullptr;
    kal_ImageNew(&out, call);
    kal_ErrorFree(kal_TroughFind(in, nullptr, out, static_cast<int32_t>(state.range(0)), 0));
    kal_ResourcesFree(&call);
  }
  state.SetItemsProcessed(state.iterations() * 256 * 256 * 64);
  kal_ResourcesFree(&rs);
}
BENCHMARK(troughFind)->DenseRange(1, 3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
