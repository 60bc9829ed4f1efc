// Every interpolation is rounded as written, so that the same pixels are kept
// in every build and on every target of thinInterior.
#include "fpcontract.h"

#include "nms.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "threadpool.h"

namespace {

// c ? x : y on the bits, so that the compiler sees no control flow.
inline double select(bool c, double x, double y) {
  std::uint64_t bx, by;
  std::memcpy(&bx, &x, sizeof bx);
  std::memcpy(&by, &y, sizeof by);
  const std::uint64_t mask = ~(static_cast<std::uint64_t>(c) - 1);
  const std::uint64_t r = (bx & mask) | (by & ~mask);
  double out;
  std::memcpy(&out, &r, sizeof out);
  return out;
}

// One pixel.  p points at the strength of the pixel; up/down are the row
// offsets (-1/+1, or 0 on the first/last row) and left/right the column
// offsets (-rows/+rows, or 0 on the first/last column), so every neighbour
// read stays inside the image.  All eight neighbours are read and the choices
// are selections between values, without branches on the data, so that the
// compiler can vectorise the loop over a column.  Reading the neighbours of a
// zero-strength pixel has no effect on any output.
inline double thinPixel(const double *p, double gcv, double grv, std::ptrdiff_t up,
                        std::ptrdiff_t down, std::ptrdiff_t left, std::ptrdiff_t right) {
  const double d = p[0];
  const double vUp = p[up], vDown = p[down], vLeft = p[left], vRight = p[right];
  const double vUpLeft = p[up + left], vUpRight = p[up + right];
  const double vDownLeft = p[down + left], vDownRight = p[down + right];

  const double agc = std::fabs(gcv);
  const double agr = std::fabs(grv);
  // Diagonal sense s = +1 when both derivatives are negative or both are not
  // (NaN counts as not negative).
  const bool positive = (gcv < 0.0) == (grv < 0.0);
  // Row case when the gradient is nearer the row axis; ties and NaNs fall to
  // the column case.
  const bool rowCase = agr > agc;
  const double w = select(rowCase, agc, agr) / select(rowCase, agr, agc);

  // Row case:    A = (1-w) m(i-1, j) + w m(i-1, j-s)
  //              B = (1-w) m(i+1, j) + w m(i+1, j+s)
  // Column case: A = (1-w) m(i, j+1) + w m(i+s, j+1)
  //              B = (1-w) m(i, j-1) + w m(i-s, j-1)
  const double axialA = rowCase ? vUp : vRight;
  const double axialB = rowCase ? vDown : vLeft;
  // With s = -1 both cases take the same diagonal neighbours.
  const double diagA = positive ? (rowCase ? vUpLeft : vDownRight) : vUpRight;
  const double diagB = positive ? (rowCase ? vDownRight : vUpLeft) : vDownLeft;
  const double a = (1.0 - w) * axialA + w * diagA;
  const double b = (1.0 - w) * axialB + w * diagB;

  // Kept when at least both interpolated values and above one of them; any
  // comparison with a NaN is false.
  const bool keep = ((d >= a) & (d > b)) | ((d > a) & (d >= b));
  return select(keep & (d != 0.0), d, 0.0);
}

// How far ahead (in pixels, 2 KiB) the streams that come from memory are
// fetched, and how many pixels (two cache lines) one step of the loop does.
constexpr std::size_t kAhead = 256;
constexpr std::size_t kStep = 16;

// Rows first..last-1 of one column, all with both row neighbours inside.
// The pass is heavy enough that the hardware alone does not keep the four
// streams that come from memory (gc, gr, the strength column to the right
// and the output) in flight; fetching them ahead overlaps the memory traffic
// with the arithmetic.  The columns left of the pixel were read one and two
// columns ago and are still in the cache.  Built for several targets, the
// best chosen when the program is loaded; under ThreadSanitizer for one
// only, since that choice would run before the sanitizer has started (in a
// program that links this file) and crash.
#if defined(__SANITIZE_THREAD__)
#define KX_TARGET_CLONES
#else
#define KX_TARGET_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif
KX_TARGET_CLONES void thinInterior(const double *__restrict d, const double *__restrict gc,
                                   const double *__restrict gr, double *__restrict out,
                                   std::size_t first, std::size_t last, std::ptrdiff_t left,
                                   std::ptrdiff_t right) {
  std::size_t i = first;
  for (; i + kStep <= last; i += kStep) {
    for (std::size_t line = 0; line < kStep; line += 8) {
      __builtin_prefetch(gc + i + kAhead + line, 0, 0);
      __builtin_prefetch(gr + i + kAhead + line, 0, 0);
      __builtin_prefetch(d + i + right + kAhead + line, 0, 0);
      __builtin_prefetch(out + i + kAhead + line, 1, 0);
    }
    for (std::size_t k = i; k < i + kStep; ++k) {
      out[k] = thinPixel(d + k, gc[k], gr[k], -1, 1, left, right);
    }
  }
  for (; i < last; ++i) {
    out[i] = thinPixel(d + i, gc[i], gr[i], -1, 1, left, right);
  }
}

} // namespace

namespace {

// Columns first..last-1 of the image.
void thinColumns(const double *d, const double *gc, const double *gr, double *out, std::size_t rows,
                 std::size_t cols, std::size_t first, std::size_t last) {
  const std::ptrdiff_t m = static_cast<std::ptrdiff_t>(rows);
  for (std::size_t j = first; j < last; ++j) {
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
    const std::size_t lastRow = rows - 1;
    po[0] = thinPixel(pd, pc[0], pr[0], 0, 1, left, right);
    thinInterior(pd, pc, pr, po, 1, lastRow, left, right);
    po[lastRow] = thinPixel(pd + lastRow, pc[lastRow], pr[lastRow], -1, 0, left, right);
  }
}

// Strips of columns per thread: a few, so that a thread held up by the
// rest of the machine leaves its last strips to the others.
constexpr std::size_t kStripsPerThread = 4;

} // namespace

void suppressNonMaxima(const double *d, const double *gc, const double *gr, double *out,
                       std::size_t rows, std::size_t cols, int threads) {
  if (rows == 0 || cols == 0) {
    return;
  }
  const std::size_t most = threads > 1 ? static_cast<std::size_t>(threads) : 1;
  const std::size_t used = most < cols ? most : cols;
  if (used == 1) {
    thinColumns(d, gc, gr, out, rows, cols, 0, cols);
    return;
  }
  // Every pixel is a function of the inputs alone, so the strips may be
  // done in any order, each writing only its own columns.
  const std::size_t wanted = used * kStripsPerThread;
  const std::size_t strips = wanted < cols ? wanted : cols;
  kxThreadPool pool(static_cast<int>(used));
  pool.run(static_cast<int>(strips), [&](int strip, int) {
    const std::size_t s = static_cast<std::size_t>(strip);
    thinColumns(d, gc, gr, out, rows, cols, s * cols / strips, (s + 1) * cols / strips);
  });
}

namespace {

// A refusal of the checks: its reason and its message.
struct NmsRefusal {
  KxReason reason;
  const char *message;
};

constexpr NmsRefusal kInputCount = {KxReason::inputCount,
                                    "non-maximum suppression: Three input images required."};
constexpr NmsRefusal kOutputCount = {KxReason::outputCount,
                                     "non-maximum suppression: One output image required."};
constexpr NmsRefusal kNotReal = {KxReason::notReal,
                                 "non-maximum suppression: Only double input data supported."};
constexpr NmsRefusal kSparse = {KxReason::sparse,
                                "non-maximum suppression: Sparse input is not supported."};
constexpr NmsRefusal kNot2D = {KxReason::not2D,
                               "non-maximum suppression: Only 2D images are supported."};
constexpr NmsRefusal kSizeMismatch = {KxReason::sizeMismatch,
                                      "non-maximum suppression: Images have different dimensions."};

// The first refusal of the call, in the order the checks run; null for none.
const NmsRefusal *firstRefusal(int nrhs, int nlhs, const NmsInput *in) {
  if (nrhs != 3) {
    return &kInputCount;
  }
  if (nlhs != 1) {
    return &kOutputCount;
  }
  for (int k = 0; k < 3; ++k) {
    if (!in[k].realDouble) {
      return &kNotReal;
    }
  }
  // A sparse matrix passes the class test but does not hold rows x cols values.
  for (int k = 0; k < 3; ++k) {
    if (in[k].sparse) {
      return &kSparse;
    }
  }
  for (int k = 0; k < 3; ++k) {
    if (in[k].ndims != 2) {
      return &kNot2D;
    }
  }
  for (int k = 1; k < 3; ++k) {
    if (in[k].rows != in[0].rows || in[k].cols != in[0].cols) {
      return &kSizeMismatch;
    }
  }
  return nullptr;
}

} // namespace

KxStatus checkNmsCall(int nrhs, int nlhs, const NmsInput *in) {
  const NmsRefusal *r = firstRefusal(nrhs, nlhs, in);
  return r != nullptr ? kxFailure("edgethin", r->reason, r->message) : KxStatus();
}

bool findNmsFault(int nrhs, int nlhs, const NmsInput *in, NmsFault *fault) {
  const NmsRefusal *r = firstRefusal(nrhs, nlhs, in);
  if (r == nullptr) {
    return false;
  }
  fault->reason = kxReasonWord(r->reason);
  fault->message = r->message;
  return true;
}
