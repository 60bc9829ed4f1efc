// Time of the three library operations on images of typical sizes.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "kal.h"

namespace {

int64_t pixelCount(const std::vector<int32_t> &sizes) {
  int64_t count = 1;
  for (int32_t s : sizes) {
    count *= s;
  }
  return count;
}

kal_Image makeImage(kal_Resources rs, const std::vector<int32_t> &sizes) {
  kal_Image image = nullptr;
  kal_ImageNew(&image, rs);
  kal_ImageForge(image, kal_DT_SFLOAT, static_cast<int32_t>(sizes.size()), sizes.data());
  const void *pixels = nullptr;
  kal_ImageGetPixels(image, &pixels);
  float *p = static_cast<float *>(const_cast<void *>(pixels));
  const size_t count = static_cast<size_t>(pixelCount(sizes));
  for (size_t i = 0; i < count; ++i) {
    p[i] = static_cast<float>(std::sin(0.011 * i) * std::cos(0.0037 * i) + 0.001 * (i % 97));
  }
  return image;
}

// An image without pixels for an operation to fill.
kal_Image newImage(kal_Resources rs) {
  kal_Image image = nullptr;
  kal_ImageNew(&image, rs);
  return image;
}

// Times op(input, call) on an input of the given sizes, every time with a
// resource list of its own as a wrapper call has it; the items are the
// input's pixels.
template <typename Op>
void timeCalls(benchmark::State &state, const std::vector<int32_t> &sizes, Op op) {
  kal_Resources rs = nullptr;
  kal_ResourcesNew(&rs, 0);
  kal_Image in = makeImage(rs, sizes);
  for (auto _ : state) {
    kal_Resources call = nullptr;
    kal_ResourcesNew(&call, 0);
    kal_ErrorFree(op(in, call));
    kal_ResourcesFree(&call);
  }
  state.SetItemsProcessed(state.iterations() * pixelCount(sizes));
  kal_ResourcesFree(&rs);
}

void turnVolume(benchmark::State &state) {
  const int32_t interpolation = static_cast<int32_t>(state.range(0));
  timeCalls(state, {128, 128, 64}, [&](kal_Image in, kal_Resources call) {
    return kal_TurnVolume(in, newImage(call), 0.5, 3, interpolation, 1);
  });
}
BENCHMARK(turnVolume)->DenseRange(1, 5)->Unit(benchmark::kMillisecond);

void subpixelMaxima(benchmark::State &state) {
  const int32_t method = static_cast<int32_t>(state.range(0));
  timeCalls(state, {512, 512}, [&](kal_Image in, kal_Resources call) {
    kal_ImageArray *coordinates = nullptr;
    kal_ImageArrayNew(&coordinates, 2, call);
    coordinates->array[0] = newImage(call);
    coordinates->array[1] = newImage(call);
    return kal_SubpixelMaxima(in, nullptr, coordinates, method);
  });
}
BENCHMARK(subpixelMaxima)->Arg(1)->Arg(4)->Arg(5)->Unit(benchmark::kMillisecond);

void troughFind(benchmark::State &state) {
  const int32_t dimension = static_cast<int32_t>(state.range(0));
  timeCalls(state, {256, 256, 64}, [&](kal_Image in, kal_Resources call) {
    return kal_TroughFind(in, nullptr, newImage(call), dimension, 0);
  });
}
BENCHMARK(troughFind)->DenseRange(1, 3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
