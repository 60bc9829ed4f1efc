// Cubic B-spline helpers shared by the maxima refinement and the rotation.
#include <cmath>

#include "kal_internal.h"

int64_t kalMirror(int64_t i, int64_t n) {
  if (n <= 1) {
    return 0;
  }
  const int64_t period = 2 * (n - 1);
  i %= period;
  if (i < 0) {
    i += period;
  }
  return i < n ? i : period - i;
}

void kalSplinePrefilter(double *line, int64_t n, int64_t stride) {
  if (n <= 1) {
    return;
  }
  const double z = std::sqrt(3.0) - 2.0;
  const double gain = (1.0 - z) * (1.0 - 1.0 / z);
  for (int64_t k = 0; k < n; ++k) {
    line[k * stride] *= gain;
  }
  // Causal start: the mirrored line summed with the pole's powers, cut where
  // they fall below 1e-16.
  const int64_t horizon = static_cast<int64_t>(std::ceil(std::log(1e-16) / std::log(-z)));
  double sum;
  if (horizon < n) {
    sum = line[0];
    double zn = z;
    for (int64_t k = 1; k < horizon; ++k) {
      sum += zn * line[k * stride];
      zn *= z;
    }
  } else {
    double zn = z;
    const double iz = 1.0 / z;
    double z2n = std::pow(z, static_cast<double>(n - 1));
    sum = line[0] + z2n * line[(n - 1) * stride];
    z2n *= z2n * iz;
    for (int64_t k = 1; k < n - 1; ++k) {
      sum += (zn + z2n) * line[k * stride];
      zn *= z;
      z2n *= iz;
    }
    sum /= 1.0 - zn * zn;
  }
  line[0] = sum;
  for (int64_t k = 1; k < n; ++k) {
    line[k * stride] += z * line[(k - 1) * stride];
  }
  // Anti-causal start, then the backward pass.
  line[(n - 1) * stride] =
      (z / (z * z - 1.0)) * (line[(n - 1) * stride] + z * line[(n - 2) * stride]);
  for (int64_t k = n - 2; k >= 0; --k) {
    line[k * stride] = z * (line[(k + 1) * stride] - line[k * stride]);
  }
}

void kalSplineWeights(double t, double *w, double *dw, double *ddw) {
  const double u = 1.0 - t;
  w[0] = u * u * u / 6.0;
  w[1] = 2.0 / 3.0 - t * t + 0.5 * t * t * t;
  w[2] = 2.0 / 3.0 - u * u + 0.5 * u * u * u;
  w[3] = t * t * t / 6.0;
  if (dw != nullptr) {
    dw[0] = -0.5 * u * u;
    dw[1] = -2.0 * t + 1.5 * t * t;
    dw[2] = 2.0 * u - 1.5 * u * u;
    dw[3] = 0.5 * t * t;
  }
  if (ddw != nullptr) {
    ddw[0] = u;
    ddw[1] = 3.0 * t - 2.0;
    ddw[2] = 1.0 - 3.0 * t;
    ddw[3] = t;
  }
}
