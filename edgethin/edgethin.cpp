// edgethin(strength, gc, gr): thins an edge-strength image by non-maximum
// suppression along the gradient direction.
#include "mex.h"
#include "mexutil.h"
#include "nms.h"

namespace {

// Pixels per thread: starting a thread costs about as much as thinning
// this many pixels, so an image gets at most one thread per this many, and
// smaller images than twice as many stay on the calling thread.
constexpr double kPixelsPerThread = 512.0 * 512.0;

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  NmsInput in[3] = {};
  for (int k = 0; k < nrhs && k < 3; ++k) {
    const mxArray *a = prhs[k];
    const mwSize *dims = mxGetDimensions(a);
    in[k].realDouble = mxIsDouble(a) && !mxIsComplex(a);
    in[k].sparse = mxIsSparse(a);
    in[k].ndims = static_cast<std::size_t>(mxGetNumberOfDimensions(a));
    in[k].rows = static_cast<std::size_t>(dims[0]);
    in[k].cols = static_cast<std::size_t>(dims[1]);
  }
  const KxStatus refusal = checkNmsCall(nrhs, nlhs, in);
  if (refusal) {
    kxRaise(refusal);
  }
  const mwSize rows = static_cast<mwSize>(in[0].rows);
  const mwSize cols = static_cast<mwSize>(in[0].cols);
  const double fit = static_cast<double>(rows) * static_cast<double>(cols) / kPixelsPerThread;
  int threads = 1;
  if (fit >= 2.0) {
    const int wanted = kxThreadCount("edgethin");
    threads = fit < wanted ? static_cast<int>(fit) : wanted;
  }
  plhs[0] = mxCreateDoubleMatrix(rows, cols, mxREAL);
  suppressNonMaxima(mxGetPr(prhs[0]), mxGetPr(prhs[1]), mxGetPr(prhs[2]), mxGetPr(plhs[0]),
                    static_cast<std::size_t>(rows), static_cast<std::size_t>(cols), threads);
}
