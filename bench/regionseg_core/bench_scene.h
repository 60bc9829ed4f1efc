// What the regionseg_core benchmarks share besides their parameters: the
// generated scenes they time, and standard output sent away while the
// stages print their progress lines.
#ifndef KALMEX_BENCH_REGIONSEG_SCENE_H
#define KALMEX_BENCH_REGIONSEG_SCENE_H

#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

// An image of side x side x planes voxels for a tree of the given shape.
struct Scene {
  int32_t levels;
  int32_t flat_levels;
  int32_t start_level;
  int32_t side;
  int32_t planes;
  std::vector<int32_t> image;
};

// Boxes and balls of random grey values on a background of base + slope *
// x / side, with Gaussian noise (sigma 4), clipped to 0..255.  The same
// image for the same seed, every run.
inline Scene make_scene(int32_t levels, int32_t flat_levels, int32_t start_level, uint32_t seed,
                        int32_t base, int32_t slope) {
  Scene s{
      levels, flat_levels, start_level, int32_t{1} << levels, int32_t{1} << (levels - flat_levels),
      {}};
  const int32_t side = s.side;
  s.image.assign(static_cast<size_t>(side) * side * s.planes, 0);
  for (int32_t z = 0; z < s.planes; ++z) {
    for (int32_t y = 0; y < side; ++y) {
      for (int32_t x = 0; x < side; ++x) {
        s.image[x + y * side + z * side * side] = base + (slope * x) / side;
      }
    }
  }
  std::mt19937 rng(seed);
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

// Uniform noise blurred by a box of 5 along each axis twice, stretched to
// 0..255: regions of every size.
inline std::vector<int32_t> blurred_noise(int32_t side) {
  const size_t n = static_cast<size_t>(side) * side * side;
  std::vector<double> v(n), w(n);
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (double &x : v) {
    x = u(rng);
  }
  const size_t stride[3] = {1, static_cast<size_t>(side), static_cast<size_t>(side) * side};
  for (int pass = 0; pass < 6; ++pass) {
    const size_t s = stride[pass % 3];
    for (size_t i = 0; i < n; ++i) {
      const int32_t at = static_cast<int32_t>(i / s % static_cast<size_t>(side));
      double sum = 0;
      int count = 0;
      for (int32_t d = -2; d <= 2; ++d) {
        if (at + d >= 0 && at + d < side) {
          sum += v[static_cast<size_t>(static_cast<int64_t>(i) + d * static_cast<int64_t>(s))];
          ++count;
        }
      }
      w[i] = sum / count;
    }
    v.swap(w);
  }
  const auto range = std::minmax_element(v.begin(), v.end());
  std::vector<int32_t> image(n);
  for (size_t i = 0; i < n; ++i) {
    image[i] = static_cast<int32_t>(255.0 * (v[i] - *range.first) / (*range.second - *range.first));
  }
  return image;
}

// The calling thread's CPU seconds.
inline double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Sends standard output to /dev/null while it lives, so that the progress
// lines are not timed on a terminal.
class quiet_stdout {
public:
  quiet_stdout() {
    fflush(stdout);
    saved_ = dup(1);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    close(null_fd);
  }
  ~quiet_stdout() {
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }
  quiet_stdout(const quiet_stdout &) = delete;
  quiet_stdout &operator=(const quiet_stdout &) = delete;

private:
  int saved_;
};

#endif
