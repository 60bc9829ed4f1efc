// The demo: thins the edges of a generated test image with edgethin on the
// embedded host and writes the input, the edge strength and the result as
// PNG files.   Usage: kaldemo [OUTPUT_DIR]
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kalhost.h"
#include "pngio.h"

namespace {

constexpr int kSide = 256;

// Shapes on a smooth gradient, lightly blurred, with seeded noise.
std::vector<double> testImage() {
  std::vector<double> im(kSide * kSide);
  std::mt19937 rng(42);
  std::normal_distribution<double> noise(0.0, 1.5);
  for (int j = 0; j < kSide; ++j) {
    for (int i = 0; i < kSide; ++i) {
      double v = 40.0 + 0.2 * i;
      if (std::hypot(i - 80.0, j - 90.0) < 45.0) {
        v += 90.0;
      }
      if (i > 140 && i < 220 && j > 120 && j < 230) {
        v += 60.0;
      }
      if (std::abs((i - 40) - (j - 170)) < 6 && j > 150 && j < 240) {
        v -= 30.0;
      }
      im[i + j * kSide] = v;
    }
  }
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
  for (double &v : im) {
    v += noise(rng);
  }
  return im;
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
  return 0;
}
