// Non-maximum suppression of an edge-strength image along the gradient.
#ifndef KALMEX_EDGETHIN_NMS_H
#define KALMEX_EDGETHIN_NMS_H

#include <cstddef>

#include "../common/status.h"

// Thins the rows x cols column-major image d: a pixel keeps its value where
// it is a local maximum of d along the gradient (gc across the columns, gr
// down the rows), the strength on either side interpolated linearly between
// the two nearest pixels of the 8-neighbourhood; every other pixel becomes 0.
// Neighbour reads are clamped to the image.  out must not alias the inputs.
// The columns are shared out among up to threads threads (1: the caller's
// alone); the result is the same for every count.
void suppressNonMaxima(const double *d, const double *gc, const double *gr, double *out,
                       std::size_t rows, std::size_t cols, int threads = 1);

// One input of a call, as the checks see it.
struct NmsInput {
  bool realDouble; // of class double and not complex
  bool sparse;
  std::size_t ndims;
  std::size_t rows, cols; // the first two dimensions
};

// The refusal of a call with nrhs inputs in[0 .. nrhs - 1] and nlhs
// outputs: the first fault in the order the checks run, an error of
// edgethin (kalmex:edgethin:REASON), else no error.  Every caller of the
// operation refuses through this.
KxStatus checkNmsCall(int nrhs, int nlhs, const NmsInput *in);

// The same as the last part of the identifier and the message, both texts
// that last; false when there is no fault.  For a caller that does not take
// the status (the Python binding).
struct NmsFault {
  const char *reason;
  const char *message;
};
bool findNmsFault(int nrhs, int nlhs, const NmsInput *in, NmsFault *fault);

#endif
