// kal_TurnVolume: rotation of a 3-D image about the axis along one of its
// dimensions, or of a 2-D image about axis 3, about the centre pixel.
//
// The plane of rotation is spanned by the two other dimensions p and q in
// cyclic order (axis 1: dimensions 2 and 3; axis 2: 3 and 1; axis 3: 1 and
// 2).  The content turns by the angle from p towards q: output point o takes
// the value at the source point c + R(-angle) (o - c), c the centre pixel
// (index floor(size / 2)).  Source points outside [0, n - 1] take the fill
// value; the others are interpolated in the plane, with mirror boundaries for
// the kernels that reach past the border.
#include <cmath>

#include "kal_internal.h"

namespace {

const char kOp[] = "kal_TurnVolume";

enum Interpolation { kBSpline = 1, kLagrange = 2, kKeys = 3, kLinear = 4, kNearest = 5 };

struct Plane {
  const double *samples; // np x nq, p fastest (B-spline coefficients for kBSpline)
  int64_t np;
  int64_t nq;
};

// Source coordinates this close to a whole number are taken as whole, so
// that turns by multiples of a quarter are exact permutations.
double snap(double x) {
  const double r = std::round(x);
  return std::fabs(x - r) < 1e-9 ? r : x;
}

void cubicWeights(int method, double t, double *w) {
  switch (method) {
  case kKeys: {
    const double a = -0.5;
    const double d[4] = {1.0 + t, t, 1.0 - t, 2.0 - t};
    for (int k = 0; k < 4; ++k) {
      const double x = d[k];
      w[k] = x <= 1.0 ? ((a + 2.0) * x - (a + 3.0)) * x * x + 1.0
                      : ((a * x - 5.0 * a) * x + 8.0 * a) * x - 4.0 * a;
    }
    return;
  }
  case kLagrange:
    w[0] = -t * (t - 1.0) * (t - 2.0) / 6.0;
    w[1] = (t + 1.0) * (t - 1.0) * (t - 2.0) / 2.0;
    w[2] = -(t + 1.0) * t * (t - 2.0) / 2.0;
    w[3] = (t + 1.0) * t * (t - 1.0) / 6.0;
    return;
  default:
    kalSplineWeights(t, w, nullptr, nullptr);
    return;
  }
}

double sample(const Plane &pl, int64_t ip, int64_t iq) { return pl.samples[ip + pl.np * iq]; }

double interpolate(const Plane &pl, int method, double sp, double sq) {
  const double fp = std::floor(sp);
  const double fq = std::floor(sq);
  const int64_t ip = static_cast<int64_t>(fp);
  const int64_t iq = static_cast<int64_t>(fq);
  if (method == kNearest) {
    int64_t np = static_cast<int64_t>(std::floor(sp + 0.5));
    int64_t nq = static_cast<int64_t>(std::floor(sq + 0.5));
    np = np > pl.np - 1 ? pl.np - 1 : np;
    nq = nq > pl.nq - 1 ? pl.nq - 1 : nq;
    return sample(pl, np, nq);
  }
  const double tp = sp - fp;
  const double tq = sq - fq;
  if (method == kLinear) {
    const int64_t ip1 = ip + 1 < pl.np ? ip + 1 : ip;
    const int64_t iq1 = iq + 1 < pl.nq ? iq + 1 : iq;
    const double low = (1.0 - tp) * sample(pl, ip, iq) + tp * sample(pl, ip1, iq);
    const double high = (1.0 - tp) * sample(pl, ip, iq1) + tp * sample(pl, ip1, iq1);
    return (1.0 - tq) * low + tq * high;
  }
  double wp[4];
  double wq[4];
  cubicWeights(method, tp, wp);
  cubicWeights(method, tq, wq);
  double value = 0;
  for (int b = 0; b < 4; ++b) {
    const int64_t jq = kalMirror(iq - 1 + b, pl.nq);
    double row = 0;
    for (int a = 0; a < 4; ++a) {
      row += wp[a] * sample(pl, kalMirror(ip - 1 + a, pl.np), jq);
    }
    value += wq[b] * row;
  }
  return value;
}

kal_Error checkArguments(kal_Image in, kal_Image out, double angle, int32_t axis,
                         int32_t interpolation, int32_t fill) {
  kal_Error e = kalCheckInput(kOp, in, "image");
  if (e == nullptr) {
    e = kalCheckOutput(kOp, out, in);
  }
  if (e != nullptr) {
    return e;
  }
  if (!std::isfinite(angle)) {
    return kal_ErrorNew(kOp, nullptr, "The angle is not a finite number.");
  }
  if (in->dims == 3) {
    if (axis < 1 || axis > 3) {
      return kal_ErrorNew(kOp, nullptr, "The axis must be 1, 2 or 3, not %d.",
                          static_cast<int>(axis));
    }
  } else if (in->dims == 2) {
    if (axis != 3) {
      return kal_ErrorNew(kOp, nullptr, "A 2-D image turns about axis 3 only, not %d.",
                          static_cast<int>(axis));
    }
  } else {
    return kal_ErrorNew(kOp, nullptr, "The image must have 2 or 3 dimensions, not %d.",
                        static_cast<int>(in->dims));
  }
  if (interpolation < 0 || interpolation > 5) {
    return kal_ErrorNew(kOp, nullptr, "Unknown interpolation code %d.",
                        static_cast<int>(interpolation));
  }
  if (fill < 0 || fill > 3) {
    return kal_ErrorNew(kOp, nullptr, "Unknown fill code %d.", static_cast<int>(fill));
  }
  return nullptr;
}

// The fill value: 0, or the largest or smallest pixel (NaN pixels ignored).
double fillValue(const kal_ImageRecord *in, int32_t fill) {
  if (fill != 2 && fill != 3) {
    return 0;
  }
  double best = NAN;
  for (int64_t i = 0; i < in->pixelCount; ++i) {
    const double v = kalReadPixel(in, i);
    if (std::isnan(v)) {
      continue;
    }
    if (std::isnan(best) || (fill == 2 ? v > best : v < best)) {
      best = v;
    }
  }
  return best;
}

} // namespace

kal_Error kal_TurnVolume(kal_Image in, kal_Image out, double angle, int32_t axis,
                         int32_t interpolation, int32_t fill) {
  kal_Error e = checkArguments(in, out, angle, axis, interpolation, fill);
  if (e != nullptr) {
    return e;
  }
  const int method = interpolation == 0 ? kKeys : interpolation;
  kal_Error forged = kal_ImageForge(out, in->type, in->dims, in->sizes);
  if (forged != nullptr) {
    return kal_ErrorNew(kOp, forged, "Could not make the output image.");
  }
  if (in->pixelCount == 0) {
    return nullptr;
  }
  // Dimensions of the plane (0-based) and of the axis; a 2-D image is one slice.
  const int32_t a = axis - 1;
  const int32_t p = (a + 1) % 3;
  const int32_t q = (a + 2) % 3;
  int64_t strides[KAL_MAX_DIMENSIONS];
  kalStrides(in, strides);
  const int64_t np = in->sizes[p];
  const int64_t nq = in->sizes[q];
  const int64_t slices = in->dims == 3 ? in->sizes[a] : 1;
  const int64_t sliceStride = in->dims == 3 ? strides[a] : 0;

  double *buffer = static_cast<double *>(kalAllocate(sizeof(double) * np * nq));
  if (buffer == nullptr) {
    return kal_ErrorNew(kOp, nullptr, "Out of memory.");
  }
  const double background = fillValue(in, fill == 0 ? 1 : fill);
  const double cosine = std::cos(angle);
  const double sine = std::sin(angle);
  const double cp = std::floor(static_cast<double>(np) / 2.0);
  const double cq = std::floor(static_cast<double>(nq) / 2.0);
  const Plane plane = {buffer, np, nq};

  for (int64_t k = 0; k < slices; ++k) {
    const int64_t base = k * sliceStride;
    for (int64_t iq = 0; iq < nq; ++iq) {
      for (int64_t ip = 0; ip < np; ++ip) {
        buffer[ip + np * iq] = kalReadPixel(in, base + ip * strides[p] + iq * strides[q]);
      }
    }
    if (method == kBSpline) {
      for (int64_t iq = 0; iq < nq; ++iq) {
        kalSplinePrefilter(buffer + np * iq, np, 1);
      }
      for (int64_t ip = 0; ip < np; ++ip) {
        kalSplinePrefilter(buffer + ip, nq, np);
      }
    }
    for (int64_t oq = 0; oq < nq; ++oq) {
      for (int64_t op = 0; op < np; ++op) {
        const double dp = static_cast<double>(op) - cp;
        const double dq = static_cast<double>(oq) - cq;
        const double sp = snap(cp + cosine * dp + sine * dq);
        const double sq = snap(cq - sine * dp + cosine * dq);
        double value;
        if (sp < 0 || sp > static_cast<double>(np - 1) || sq < 0 ||
            sq > static_cast<double>(nq - 1)) {
          value = background;
        } else if (sp == std::floor(sp) && sq == std::floor(sq)) {
          // Every kernel interpolates: at a sample point it gives the sample.
          value = kalReadPixel(in, base + static_cast<int64_t>(sp) * strides[p] +
                                       static_cast<int64_t>(sq) * strides[q]);
        } else {
          value = interpolate(plane, method, sp, sq);
        }
        kalWritePixel(out, base + op * strides[p] + oq * strides[q], value);
      }
    }
  }
  kalFree(buffer);
  return nullptr;
}
