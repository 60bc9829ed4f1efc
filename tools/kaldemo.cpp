// The demo: thins the edges of a generated test image with edgethin, and
// segments another with regionseg_core, both on the embedded host, and
// writes the inputs and results as PNG files.   Usage: kaldemo [OUTPUT_DIR]
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kalhost.h"
#include "pngio.h"

namespace {

constexpr int kSide = 256;

// A kSide x kSide picture holding grey(x, y) at every pixel (x first).
template <typename Grey> std::vector<double> paint(Grey grey) {
  std::vector<double> im(kSide * kSide);
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      im[x + y * kSide] = grey(x, y);
    }
  }
  return im;
}

// Adds seeded Gaussian noise to every pixel, in pixel order.
void addNoise(std::vector<double> &im, unsigned seed, double sigma) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  for (double &v : im) {
    v += noise(rng);
  }
}

// Shapes on a smooth gradient, lightly blurred, with seeded noise.
std::vector<double> testImage() {
  std::vector<double> im = paint([](int x, int y) {
    double v = 40.0 + 0.2 * x;
    if (std::hypot(x - 80.0, y - 90.0) < 45.0) {
      v += 90.0;
    }
    if (x > 140 && x < 220 && y > 120 && y < 230) {
      v += 60.0;
    }
    if (std::abs((x - 40) - (y - 170)) < 6 && y > 150 && y < 240) {
      v -= 30.0;
    }
    return v;
  });
  // Three passes of a 3 x 3 box filter make the edges smooth ramps.
  std::vector<double> tmp(im.size());
  for (int pass = 0; pass < 3; ++pass) {
    for (int j = 0; j < kSide; ++j) {
      for (int i = 0; i < kSide; ++i) {
        double s = 0;
        for (int dj = -1; dj <= 1; ++dj) {
          for (int di = -1; di <= 1; ++di) {
            const int ii = std::min(kSide - 1, std::max(0, i + di));
            const int jj = std::min(kSide - 1, std::max(0, j + dj));
            s += im[ii + jj * kSide];
          }
        }
        tmp[i + j * kSide] = s / 9.0;
      }
    }
    im.swap(tmp);
  }
  addNoise(im, 42, 1.5);
  return im;
}

// Shapes on gradients with seeded noise, as grey values 0..255 (x first).
std::vector<int32_t> segmentationImage() {
  std::vector<double> im = paint([](int x, int y) {
    double v = 60.0 + 0.15 * y; // a gentle gradient in the background
    if (std::hypot(x - 70.0, y - 80.0) < 50.0) {
      v = 190.0;
    }
    if (x > 130 && x < 230 && y > 30 && y < 110) {
      v = 120.0 + 0.4 * (x - 130); // a ramp inside a rectangle
    }
    if (y > 150 && y < 240 && std::abs(x - 170) < (y - 150) * 0.6) {
      v = 30.0;
    }
    if (std::hypot(x - 60.0, y - 200.0) < 30.0 && std::hypot(x - 60.0, y - 200.0) > 15.0) {
      v = 230.0;
    }
    return v;
  });
  addNoise(im, 2026, 3.0);
  std::vector<int32_t> grey(im.size());
  for (std::size_t k = 0; k < im.size(); ++k) {
    grey[k] = static_cast<int32_t>(std::lround(std::clamp(im[k], 0.0, 255.0)));
  }
  return grey;
}

// The snapshot stack as one picture: every snapshot at half size in label
// colours, four to a row, two pixels apart.
bool writeMontage(const std::string &path, const int32_t *stack, int count) {
  const int tile = kSide / 2, gap = 2, perRow = 4;
  const int rows = (count + perRow - 1) / perRow;
  const int width = perRow * tile + (perRow - 1) * gap;
  const int height = rows * tile + (rows - 1) * gap;
  std::vector<uint8_t> rgb(3 * static_cast<std::size_t>(width) * height, 255);
  for (int k = 0; k < count; ++k) {
    const std::vector<uint8_t> colours =
        kalpng::labelColours(stack + static_cast<std::size_t>(k) * kSide * kSide, kSide, kSide);
    const int top = (k / perRow) * (tile + gap), left = (k % perRow) * (tile + gap);
    for (int i = 0; i < tile; ++i) {
      for (int j = 0; j < tile; ++j) {
        const uint8_t *from = &colours[3 * (static_cast<std::size_t>(2 * i) * kSide + 2 * j)];
        uint8_t *to = &rgb[3 * (static_cast<std::size_t>(top + i) * width + left + j)];
        to[0] = from[0];
        to[1] = from[1];
        to[2] = from[2];
      }
    }
  }
  return kalpng::writeRgb8(path, width, height, rgb);
}

// Segments the generated image with regionseg_core: 2 x 2 ... 8 x 8 start
// blocks of a 256 x 256 tree, the chi-square criterion at the image's
// noise, sequential grouping within 12 grey values, regions under 20 pixels
// merged into their nearest neighbour.
bool segmentationDemo(const std::string &dir) {
  const std::vector<int32_t> grey = segmentationImage();
  mxArray *image = mxCreateNumericMatrix(kSide, kSide, mxINT32_CLASS, mxREAL);
  std::copy(grey.begin(), grey.end(), static_cast<int32_t *>(mxGetData(image)));
  // levels, flat_levels, start_level, parallel_grouping, parallel_seeds,
  // seed_any_level, criterion, threshold, outlier_fraction, noise_sigma,
  // confidence_row, size_factor, min_region_size, keep_small_stats
  const double params[14] = {8, 8, 3, 0, 1, 0, 4, 12, 0.1, 3.0, 3, 1.0, 20, 1};
  const mxArray *in[15] = {image};
  std::vector<mxArray *> scalars;
  for (int k = 0; k < 14; ++k) {
    scalars.push_back(mxCreateDoubleScalar(params[k]));
    in[k + 1] = scalars.back();
  }
  mxArray *out[2] = {nullptr, nullptr};
  const kalhost::CallResult result = kalhost::call("regionseg_core", 2, out, 15, in);
  for (mxArray *a : scalars) {
    mxDestroyArray(a);
  }
  mxDestroyArray(image);
  if (!result.ok) {
    std::fprintf(stderr, "kaldemo: regionseg_core failed: %s\n", result.error.c_str());
    return false;
  }
  const int32_t *labels = static_cast<const int32_t *>(mxGetData(out[0]));
  const int32_t regions = *std::max_element(labels, labels + kSide * kSide) + 1;
  const mwSize *d = mxGetDimensions(out[1]);
  const int snapshots = mxGetNumberOfDimensions(out[1]) > 2 ? static_cast<int>(d[2]) : 1;

  std::vector<double> asDouble(grey.begin(), grey.end());
  bool ok = kalpng::writeGrey8(dir + "/segment_input.png", kSide, kSide,
                               kalpng::toGrey(asDouble.data(), kSide, kSide));
  ok = kalpng::writeRgb8(dir + "/segment_labels.png", kSide, kSide,
                         kalpng::labelColours(labels, kSide, kSide)) &&
       ok;
  ok = writeMontage(dir + "/segment_snapshots.png", static_cast<const int32_t *>(mxGetData(out[1])),
                    snapshots) &&
       ok;
  std::printf("regionseg_core: %d regions found, %d snapshots\n", regions, snapshots);
  std::printf("wrote %s/segment_input.png, %s/segment_labels.png, %s/segment_snapshots.png\n",
              dir.c_str(), dir.c_str(), dir.c_str());
  mxDestroyArray(out[0]);
  mxDestroyArray(out[1]);
  if (!ok) {
    std::fprintf(stderr, "kaldemo: could not write the pictures in %s\n", dir.c_str());
  }
  return ok;
}

} // namespace

int main(int argc, char **argv) {
  const std::string dir = argc > 1 ? argv[1] : "demo";
  mkdir(dir.c_str(), 0777);
  kalhost::setSearchPath({kalhost::defaultModuleDir()});
  kalhost::setEcho(true);

  const std::vector<double> image = testImage();
  mxArray *strength = mxCreateDoubleMatrix(kSide, kSide, mxREAL);
  mxArray *gc = mxCreateDoubleMatrix(kSide, kSide, mxREAL);
  mxArray *gr = mxCreateDoubleMatrix(kSide, kSide, mxREAL);
  double *s = mxGetPr(strength), *c = mxGetPr(gc), *r = mxGetPr(gr);
  auto at = [&](int i, int j) {
    return image[std::min(kSide - 1, std::max(0, i)) + std::min(kSide - 1, std::max(0, j)) * kSide];
  };
  for (int j = 0; j < kSide; ++j) {
    for (int i = 0; i < kSide; ++i) {
      const int k = i + j * kSide;
      c[k] = 0.5 * (at(i, j + 1) - at(i, j - 1));
      r[k] = 0.5 * (at(i + 1, j) - at(i - 1, j));
      s[k] = std::hypot(c[k], r[k]);
    }
  }

  const mxArray *in[3] = {strength, gc, gr};
  mxArray *out[1] = {nullptr};
  const kalhost::CallResult result = kalhost::call("edgethin", 1, out, 3, in);
  if (!result.ok) {
    std::fprintf(stderr, "kaldemo: edgethin failed: %s\n", result.error.c_str());
    return 1;
  }
  const double *thin = mxGetPr(out[0]);
  long kept = 0;
  for (int k = 0; k < kSide * kSide; ++k) {
    kept += thin[k] != 0.0;
  }
  bool ok = kalpng::writeGrey8(dir + "/input.png", kSide, kSide,
                               kalpng::toGrey(image.data(), kSide, kSide));
  ok = kalpng::writeGrey8(dir + "/strength.png", kSide, kSide, kalpng::toGrey(s, kSide, kSide)) &&
       ok;
  ok = kalpng::writeGrey8(dir + "/thinned.png", kSide, kSide, kalpng::toGrey(thin, kSide, kSide)) &&
       ok;
  std::printf("edgethin: %ld of %d pixels kept on the thinned edges\n", kept, kSide * kSide);
  std::printf("wrote %s/input.png, %s/strength.png, %s/thinned.png\n", dir.c_str(), dir.c_str(),
              dir.c_str());
  mxDestroyArray(out[0]);
  mxDestroyArray(strength);
  mxDestroyArray(gc);
  mxDestroyArray(gr);
  if (!ok) {
    std::fprintf(stderr, "kaldemo: could not write the pictures in %s\n", dir.c_str());
    return 1;
  }
  return segmentationDemo(dir) ? 0 : 1;
}
