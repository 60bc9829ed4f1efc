// kal_SubpixelMaxima: local maxima refined to sub-pixel positions.
//
// A maximum is a pixel inside the mask, not on the image border, strictly
// greater than each of its 3^D - 1 neighbours (read from the whole image).
// Maxima are reported in storage order.  Refinement by method code:
//   1 centre of gravity of the 3^D neighbourhood above its minimum,
//   4 cubic B-spline interpolation and a Newton search for its peak,
//   5 (and 0) a 3-point parabola per dimension,
//   6 the same parabola on the logarithm (Gaussian peaks).
#include <cmath>
#include <cstring>

#include "kal_internal.h"

namespace {

const char kOp[] = "kal_SubpixelMaxima";

struct Search {
  const kal_ImageRecord *image;
  int32_t dims;
  int64_t strides[KAL_MAX_DIMENSIONS];
  int64_t neighbours; // 3^D
  int64_t *offsets;   // linear offset of every neighbourhood member, centre included
};

// Digit d (-1, 0 or 1) of neighbourhood member k.
int digit(int64_t k, int32_t d) {
  for (int32_t i = 0; i < d; ++i) {
    k /= 3;
  }
  return static_cast<int>(k % 3) - 1;
}

bool isMaximum(const Search &s, int64_t index) {
  const double centre = kalReadPixel(s.image, index);
  const int64_t middle = s.neighbours / 2;
  for (int64_t k = 0; k < s.neighbours; ++k) {
    if (k != middle && !(centre > kalReadPixel(s.image, index + s.offsets[k]))) {
      return false;
    }
  }
  return true;
}

// Visits every interior pixel in storage order; calls visit(index, coords).
template <typename Visit> void forInterior(const kal_ImageRecord *image, Visit visit) {
  const int32_t dims = image->dims;
  int32_t coords[KAL_MAX_DIMENSIONS];
  int64_t strides[KAL_MAX_DIMENSIONS];
  kalStrides(image, strides);
  int64_t index = 0;
  for (int32_t d = 0; d < dims; ++d) {
    coords[d] = 1;
    index += strides[d];
  }
  for (;;) {
    visit(index, coords);
    int32_t d = 0;
    for (; d < dims; ++d) {
      if (coords[d] + 1 < image->sizes[d] - 1) {
        ++coords[d];
        index += strides[d];
        break;
      }
      index -= static_cast<int64_t>(coords[d] - 1) * strides[d];
      coords[d] = 1;
    }
    if (d == dims) {
      return;
    }
  }
}

double parabolaOffset(double a, double b, double c) {
  const double denominator = a - 2.0 * b + c;
  if (!(denominator < 0)) {
    return 0;
  }
  const double offset = 0.5 * (a - c) / denominator;
  if (!std::isfinite(offset)) {
    return 0;
  }
  return offset < -0.5 ? -0.5 : (offset > 0.5 ? 0.5 : offset);
}

void refineParabola(const Search &s, int64_t index, bool logarithm, double *offsets) {
  for (int32_t d = 0; d < s.dims; ++d) {
    double a = kalReadPixel(s.image, index - s.strides[d]);
    double b = kalReadPixel(s.image, index);
    double c = kalReadPixel(s.image, index + s.strides[d]);
    if (logarithm) {
      a = std::log(a);
      b = std::log(b);
      c = std::log(c);
    }
    offsets[d] = parabolaOffset(a, b, c);
  }
}

void refineGravity(const Search &s, int64_t index, double *offsets) {
  double low = HUGE_VAL;
  for (int64_t k = 0; k < s.neighbours; ++k) {
    const double v = kalReadPixel(s.image, index + s.offsets[k]);
    low = v < low ? v : low;
  }
  double total = 0;
  double moments[KAL_MAX_DIMENSIONS] = {0};
  for (int64_t k = 0; k < s.neighbours; ++k) {
    const double w = kalReadPixel(s.image, index + s.offsets[k]) - low;
    total += w;
    int64_t rest = k;
    for (int32_t d = 0; d < s.dims; ++d) {
      moments[d] += w * static_cast<double>(rest % 3 - 1);
      rest /= 3;
    }
  }
  for (int32_t d = 0; d < s.dims; ++d) {
    const double offset = moments[d] / total;
    offsets[d] = std::isfinite(offset) ? offset : 0;
  }
}

// The cubic B-spline of the coefficients around a point, with its gradient
// and Hessian (D x D, row-major).
struct Spline {
  const double *coefficients;
  const kal_ImageRecord *image;
  const int64_t *strides;
  int32_t dims;
};

double splineAt(const Spline &sp, const double *p, double *gradient, double *hessian) {
  const int32_t D = sp.dims;
  double w[KAL_MAX_DIMENSIONS][4];
  double dw[KAL_MAX_DIMENSIONS][4];
  double ddw[KAL_MAX_DIMENSIONS][4];
  int64_t first[KAL_MAX_DIMENSIONS];
  for (int32_t d = 0; d < D; ++d) {
    const double f = std::floor(p[d]);
    kalSplineWeights(p[d] - f, w[d], dw[d], ddw[d]);
    first[d] = static_cast<int64_t>(f) - 1;
  }
  for (int32_t i = 0; i < D; ++i) {
    gradient[i] = 0;
    for (int32_t j = 0; j < D; ++j) {
      hessian[i * D + j] = 0;
    }
  }
  double value = 0;
  int64_t combinations = 1;
  for (int32_t d = 0; d < D; ++d) {
    combinations *= 4;
  }
  int k[KAL_MAX_DIMENSIONS];
  for (int64_t c = 0; c < combinations; ++c) {
    int64_t rest = c;
    int64_t index = 0;
    for (int32_t d = 0; d < D; ++d) {
      k[d] = static_cast<int>(rest % 4);
      rest /= 4;
      index += kalMirror(first[d] + k[d], sp.image->sizes[d]) * sp.strides[d];
    }
    const double coefficient = sp.coefficients[index];
    double product = coefficient;
    for (int32_t d = 0; d < D; ++d) {
      product *= w[d][k[d]];
    }
    value += product;
    for (int32_t i = 0; i < D; ++i) {
      double g = coefficient;
      for (int32_t d = 0; d < D; ++d) {
        g *= d == i ? dw[d][k[d]] : w[d][k[d]];
      }
      gradient[i] += g;
      for (int32_t j = i; j < D; ++j) {
        double h = coefficient;
        for (int32_t d = 0; d < D; ++d) {
          if (d == i && d == j) {
            h *= ddw[d][k[d]];
          } else if (d == i || d == j) {
            h *= dw[d][k[d]];
          } else {
            h *= w[d][k[d]];
          }
        }
        hessian[i * D + j] += h;
      }
    }
  }
  for (int32_t i = 0; i < D; ++i) {
    for (int32_t j = 0; j < i; ++j) {
      hessian[i * D + j] = hessian[j * D + i];
    }
  }
  return value;
}

// Solves (-H) step = g by Cholesky; false when -H is not positive definite.
bool newtonStep(int32_t D, const double *hessian, const double *gradient, double *step) {
  double L[KAL_MAX_DIMENSIONS * KAL_MAX_DIMENSIONS];
  for (int32_t i = 0; i < D; ++i) {
    for (int32_t j = 0; j <= i; ++j) {
      double sum = -hessian[i * D + j];
      for (int32_t k = 0; k < j; ++k) {
        sum -= L[i * D + k] * L[j * D + k];
      }
      if (i == j) {
        if (!(sum > 0)) {
          return false;
        }
        L[i * D + i] = std::sqrt(sum);
      } else {
        L[i * D + j] = sum / L[j * D + j];
      }
    }
  }
  double y[KAL_MAX_DIMENSIONS];
  for (int32_t i = 0; i < D; ++i) {
    double sum = gradient[i];
    for (int32_t k = 0; k < i; ++k) {
      sum -= L[i * D + k] * y[k];
    }
    y[i] = sum / L[i * D + i];
  }
  for (int32_t i = D - 1; i >= 0; --i) {
    double sum = y[i];
    for (int32_t k = i + 1; k < D; ++k) {
      sum -= L[k * D + i] * step[k];
    }
    step[i] = sum / L[i * D + i];
  }
  return true;
}

// Climbs the spline from the parabola estimate, staying within one pixel of
// the maximum's own pixel.
void refineSpline(const Search &s, const Spline &sp, int64_t index, const int32_t *coords,
                  double *offsets) {
  const int32_t D = s.dims;
  refineParabola(s, index, false, offsets);
  double p[KAL_MAX_DIMENSIONS];
  for (int32_t d = 0; d < D; ++d) {
    p[d] = coords[d] + offsets[d];
  }
  double gradient[KAL_MAX_DIMENSIONS];
  double hessian[KAL_MAX_DIMENSIONS * KAL_MAX_DIMENSIONS];
  double value = splineAt(sp, p, gradient, hessian);
  if (!std::isfinite(value)) {
    return;
  }
  for (int iteration = 0; iteration < 50; ++iteration) {
    double step[KAL_MAX_DIMENSIONS];
    if (!newtonStep(D, hessian, gradient, step)) {
      for (int32_t d = 0; d < D; ++d) {
        step[d] = 0.1 * gradient[d];
      }
    }
    double largest = 0;
    for (int32_t d = 0; d < D; ++d) {
      largest = std::fmax(largest, std::fabs(step[d]));
    }
    if (!std::isfinite(largest)) {
      break;
    }
    if (largest > 0.25) {
      for (int32_t d = 0; d < D; ++d) {
        step[d] *= 0.25 / largest;
      }
      largest = 0.25;
    }
    // Halve the step until the spline does not fall.
    bool moved = false;
    for (int halving = 0; halving < 20 && !moved; ++halving) {
      double q[KAL_MAX_DIMENSIONS];
      for (int32_t d = 0; d < D; ++d) {
        const double lo = coords[d] - 1.0;
        const double hi = coords[d] + 1.0;
        q[d] = std::fmin(hi, std::fmax(lo, p[d] + step[d]));
      }
      double g2[KAL_MAX_DIMENSIONS];
      double h2[KAL_MAX_DIMENSIONS * KAL_MAX_DIMENSIONS];
      const double v2 = splineAt(sp, q, g2, h2);
      if (v2 >= value) {
        std::memcpy(p, q, sizeof(double) * static_cast<size_t>(D));
        std::memcpy(gradient, g2, sizeof(double) * static_cast<size_t>(D));
        std::memcpy(hessian, h2, sizeof(double) * static_cast<size_t>(D * D));
        value = v2;
        moved = true;
      } else {
        for (int32_t d = 0; d < D; ++d) {
          step[d] *= 0.5;
        }
        largest *= 0.5;
      }
    }
    if (!moved || largest < 1e-9) {
      break;
    }
  }
  for (int32_t d = 0; d < D; ++d) {
    offsets[d] = p[d] - coords[d];
  }
}

kal_Error checkArguments(kal_Image image, kal_Image mask, kal_ImageArray *coordinates,
                         int32_t method) {
  kal_Error e = kalCheckInput(kOp, image, "image");
  if (e == nullptr) {
    e = kalCheckMask(kOp, mask, image);
  }
  if (e != nullptr) {
    return e;
  }
  if (method == 2 || method == 3) {
    return kal_ErrorNew(kOp, nullptr, "Method code %d is not supported.", static_cast<int>(method));
  }
  if (method != 0 && method != 1 && method != 4 && method != 5 && method != 6) {
    return kal_ErrorNew(kOp, nullptr, "Unknown method code %d.", static_cast<int>(method));
  }
  if (coordinates == nullptr || coordinates->count != image->dims) {
    return kal_ErrorNew(kOp, nullptr, "The coordinate array must hold %d images.",
                        static_cast<int>(image->dims));
  }
  for (int32_t d = 0; d < image->dims; ++d) {
    e = kalCheckOutput(kOp, coordinates->array[d], image);
    if (e != nullptr) {
      return e;
    }
  }
  return nullptr;
}

} // namespace

kal_Error kal_SubpixelMaxima(kal_Image image, kal_Image mask, kal_ImageArray *coordinates,
                             int32_t method) {
  kal_Error e = checkArguments(image, mask, coordinates, method);
  if (e != nullptr) {
    return e;
  }
  const int32_t D = image->dims;
  bool interior = D > 0;
  for (int32_t d = 0; d < D; ++d) {
    interior = interior && image->sizes[d] >= 3;
  }

  Search s;
  s.image = image;
  s.dims = D;
  kalStrides(image, s.strides);
  s.neighbours = 1;
  s.offsets = nullptr;
  int64_t count = 0;
  int64_t *found = nullptr;
  double *spline = nullptr;
  if (interior) {
    // Every size is at least 3, so 3^D is at most the pixel count.
    for (int32_t d = 0; d < D; ++d) {
      s.neighbours *= 3;
    }
    s.offsets = static_cast<int64_t *>(kalAllocate(sizeof(int64_t) * s.neighbours));
    if (s.offsets == nullptr) {
      return kal_ErrorNew(kOp, nullptr, "Out of memory.");
    }
    for (int64_t k = 0; k < s.neighbours; ++k) {
      int64_t offset = 0;
      for (int32_t d = 0; d < D; ++d) {
        offset += digit(k, d) * s.strides[d];
      }
      s.offsets[k] = offset;
    }
    forInterior(image, [&](int64_t index, const int32_t *) {
      if (kalInMask(mask, index) && isMaximum(s, index)) {
        ++count;
      }
    });
    found = static_cast<int64_t *>(kalAllocate(sizeof(int64_t) * (count > 0 ? count : 1)));
    if (found == nullptr) {
      kalFree(s.offsets);
      return kal_ErrorNew(kOp, nullptr, "Out of memory.");
    }
    int64_t n = 0;
    forInterior(image, [&](int64_t index, const int32_t *) {
      if (kalInMask(mask, index) && isMaximum(s, index)) {
        found[n++] = index;
      }
    });
  }

  if (method == 6) {
    for (int64_t m = 0; m < count && e == nullptr; ++m) {
      for (int32_t d = 0; d < D && e == nullptr; ++d) {
        if (!(kalReadPixel(image, found[m] - s.strides[d]) > 0) ||
            !(kalReadPixel(image, found[m] + s.strides[d]) > 0)) {
          e = kal_ErrorNew(kOp, nullptr,
                           "The gaussian fit needs positive values around every maximum.");
        }
      }
    }
  }
  if (e == nullptr && method == 4 && count > 0) {
    spline = static_cast<double *>(kalAllocate(sizeof(double) * image->pixelCount));
    if (spline == nullptr) {
      e = kal_ErrorNew(kOp, nullptr, "Out of memory.");
    } else {
      for (int64_t i = 0; i < image->pixelCount; ++i) {
        spline[i] = kalReadPixel(image, i);
      }
      for (int32_t d = 0; d < D; ++d) {
        // Every line along dimension d starts at an index whose coordinate d is 0.
        for (int64_t start = 0; start < image->pixelCount; ++start) {
          if ((start / s.strides[d]) % image->sizes[d] == 0) {
            kalSplinePrefilter(spline + start, image->sizes[d], s.strides[d]);
          }
        }
      }
    }
  }
  if (e == nullptr && count > INT32_MAX) {
    e = kal_ErrorNew(kOp, nullptr, "More than 2^31 - 1 maxima.");
  }
  const int32_t length = static_cast<int32_t>(count > INT32_MAX ? 0 : count);
  for (int32_t d = 0; d < D && e == nullptr; ++d) {
    kal_Error forged = kal_ImageForge(coordinates->array[d], kal_DT_SFLOAT, 1, &length);
    if (forged != nullptr) {
      e = kal_ErrorNew(kOp, forged, "Could not make coordinate image %d.", static_cast<int>(d));
    }
  }
  if (e == nullptr) {
    Spline sp = {spline, image, s.strides, D};
    for (int64_t m = 0; m < count; ++m) {
      int32_t coords[KAL_MAX_DIMENSIONS];
      int64_t rest = found[m];
      for (int32_t d = 0; d < D; ++d) {
        coords[d] = static_cast<int32_t>(rest % image->sizes[d]);
        rest /= image->sizes[d];
      }
      double offsets[KAL_MAX_DIMENSIONS];
      switch (method) {
      case 1:
        refineGravity(s, found[m], offsets);
        break;
      case 4:
        refineSpline(s, sp, found[m], coords, offsets);
        break;
      case 6:
        refineParabola(s, found[m], true, offsets);
        break;
      default:
        refineParabola(s, found[m], false, offsets);
        break;
      }
      for (int32_t d = 0; d < D; ++d) {
        static_cast<float *>(coordinates->array[d]->pixels)[m] =
            static_cast<float>(coords[d] + offsets[d]);
      }
    }
  }
  kalFree(spline);
  kalFree(found);
  kalFree(s.offsets);
  return e;
}
