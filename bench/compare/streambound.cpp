// out = streambound(a, b, c): reads three real double arrays of one size and
// writes one, out = a + b + c, in one pass; the bound of edgethin's bytes
// inside a host.  The output is created without filling it first.
#include "mex.h"

namespace {
__attribute__((noinline)) void streamThree(const double *__restrict a, const double *__restrict b,
                                           const double *__restrict c, double *__restrict o,
                                           size_t n) {
  for (size_t k = 0; k < n; ++k) {
    o[k] = a[k] + b[k] + c[k];
  }
}
} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  (void)nlhs;
  if (nrhs != 3) {
    mexErrMsgTxt("Three inputs required.");
  }
  const size_t rows = mxGetM(prhs[0]), cols = mxGetN(prhs[0]);
  for (int k = 0; k < 3; ++k) {
    if (!mxIsDouble(prhs[k]) || mxGetM(prhs[k]) != rows || mxGetN(prhs[k]) != cols) {
      mexErrMsgTxt("Three double arrays of one size required.");
    }
  }
  plhs[0] = mxCreateUninitNumericMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(cols),
                                        mxDOUBLE_CLASS, mxREAL);
  streamThree(mxGetPr(prhs[0]), mxGetPr(prhs[1]), mxGetPr(prhs[2]), mxGetPr(plhs[0]), rows * cols);
}
