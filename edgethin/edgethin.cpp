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
  if (nrhs != 3) {
    mexErrMsgIdAndTxt("kalmex:edgethin:inputCount",
                      "non-maximum suppression: Three input images required.");
  }
  if (nlhs != 1) {
    mexErrMsgIdAndTxt("kalmex:edgethin:outputCount",
                      "non-maximum suppression: One output image required.");
  }
  for (int k = 0; k < 3; ++k) {
    if (!mxIsDouble(prhs[k]) || mxIsComplex(prhs[k])) {
      mexErrMsgIdAndTxt("kalmex:edgethin:notReal",
                        "non-maximum suppression: Only double input data supported.");
    }
  }
  // A sparse matrix passes the class test but does not hold rows x cols values.
  for (int k = 0; k < 3; ++k) {
    if (mxIsSparse(prhs[k])) {
      mexErrMsgIdAndTxt("kalmex:edgethin:sparse",
                        "non-maximum suppression: Sparse input is not supported.");
    }
  }
  for (int k = 0; k < 3; ++k) {
    if (mxGetNumberOfDimensions(prhs[k]) != 2) {
      mexErrMsgIdAndTxt("kalmex:edgethin:not2D",
                        "non-maximum suppression: Only 2D images are supported.");
    }
  }
  const mwSize *d1 = mxGetDimensions(prhs[0]);
  const mwSize *d2 = mxGetDimensions(prhs[1]);
  const mwSize *d3 = mxGetDimensions(prhs[2]);
  if (d2[0] != d1[0] || d2[1] != d1[1] || d3[0] != d1[0] || d3[1] != d1[1]) {
    mexErrMsgIdAndTxt("kalmex:edgethin:sizeMismatch",
                      "non-maximum suppression: Images have different dimensions.");
  }
  const mwSize rows = d1[0];
  const mwSize cols = d1[1];
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
