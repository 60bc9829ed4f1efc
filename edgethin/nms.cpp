#include "nms.h"

#include <cmath>

namespace {

// One pixel.  up/down are the row offsets (-1/+1, or 0 on the first/last
// row); left/right the column offsets (-rows/+rows, or 0 on the first/last
// column), so every neighbour read stays inside the image.  The arithmetic
// is written without branches on the data so that the interior loop can be
// vectorised; a zero strength still yields 0, and reading the neighbours of
// such a pixel has no effect on any output.
inline double thinPixel(const double *p, double gcv, double grv, std::ptrdiff_t up,
                        std::ptrdiff_t down, std::ptrdiff_t left, std::ptrdiff_t right) {
  const double d = p[0];
  const double agc = std::fabs(gcv);
  const double agr = std::fabs(grv);
  // Diagonal sense: +1 when both derivatives are negative or both are not
  // (NaN counts as not negative).
  const bool positive = (gcv < 0.0) == (grv < 0.0);
  // Row case when the gradient is nearer the row axis; ties and NaNs fall to
  // the column case.
  const bool rowCase = agr > agc;
  const double w = rowCase ? agc / agr : agr / agc;

  // Row case:    A = (1-w) m(i-1, j) + w m(i-1, j-s)
  //              B = (1-w) m(i+1, j) + w m(i+1, j+s)
  // Column case: A = (1-w) m(i, j+1) + w m(i+s, j+1)
  //              B = (1-w) m(i, j-1) + w m(i-s, j-1)
  const std::ptrdiff_t axialA = rowCase ? up : right;
  const std::ptrdiff_t axialB = rowCase ? down : left;
  const std::ptrdiff_t stepA = rowCase ? (positive ? left : right) : (positive ? down : up);
  const std::ptrdiff_t stepB = rowCase ? (positive ? right : left) : (positive ? up : down);
  const double a = (1.0 - w) * p[axialA] + w * p[axialA + stepA];
  const double b = (1.0 - w) * p[axialB] + w * p[axialB + stepB];

  const bool keep = (d >= a && d > b) || (d > a && d >= b);
  return (keep && d != 0.0) ? d : 0.0;
}

} // namespace

void suppressNonMaxima(const double *d, const double *gc, const double *gr, double *out,
                       std::size_t rows, std::size_t cols) {
  if (rows == 0 || cols == 0) {
    return;
  }
  const std::ptrdiff_t m = static_cast<std::ptrdiff_t>(rows);
  for (std::size_t j = 0; j < cols; ++j) {
    const std::size_t base = j * rows;
    const std::ptrdiff_t left = j > 0 ? -m : 0;
    const std::ptrdiff_t right = j + 1 < cols ? m : 0;
    const double *pd = d + base;
    const double *pc = gc + base;
    const double *pr = gr + base;
    double *po = out + base;
    if (rows == 1) {
      po[0] = thinPixel(pd, pc[0], pr[0], 0, 0, left, right);
      continue;
    }
    po[0] = thinPixel(pd, pc[0], pr[0], 0, 1, left, right);
    const std::size_t last = rows - 1;
    for (std::size_t i = 1; i < last; ++i) {
      po[i] = thinPixel(pd + i, pc[i], pr[i], -1, 1, left, right);
    }
    po[last] = thinPixel(pd + last, pc[last], pr[last], -1, 0, left, right);
  }
}
