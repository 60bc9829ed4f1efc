// A module that exercises the embedded host's call scope, module state and
// life cycle.  Its first input names what to do.
#include <cstring>

#include "mex.h"
#include "mexutil.h"

namespace {

int counter = 0; // module state: survives calls while loaded
void *kept = nullptr;

void onExit() {
  mxFree(kept);
  kept = nullptr;
  mexPrintf("probe exit\n");
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  char cmd[32];
  if (nrhs < 1 || kxGetString(prhs[0], cmd, sizeof cmd) != 0) {
    mexErrMsgTxt("probe: first input must be a command.");
  }
  ++counter;
  if (std::strcmp(cmd, "count") == 0) {
    plhs[0] = mxCreateDoubleScalar(counter);
  } else if (std::strcmp(cmd, "litter") == 0) {
    // Everything made here and not returned is released by the host.
    mxMalloc(100);
    mxCalloc(10, 8);
    mxCreateDoubleMatrix(3, 3, mxREAL);
    mxArray *cell = mxCreateCellMatrix(1, 2);
    mxSetCell(cell, 0, mxCreateString("inside"));
    plhs[0] = mxCreateDoubleScalar(1);
  } else if (std::strcmp(cmd, "keep") == 0) {
    if (kept == nullptr) {
      kept = mxMalloc(64);
      mexMakeMemoryPersistent(kept);
      mexAtExit(onExit);
    }
  } else if (std::strcmp(cmd, "lock") == 0) {
    mexLock();
  } else if (std::strcmp(cmd, "unlock") == 0) {
    mexUnlock();
  } else if (std::strcmp(cmd, "fail") == 0) {
    mxMalloc(100);
    plhs[0] = mxCreateDoubleScalar(2);
    mexErrMsgTxt("probe failed on purpose");
  } else if (std::strcmp(cmd, "handover") == 0) {
    // A block grown with mxRealloc becomes a 4 x 5 array's data: 1 .. 20.
    double *v = static_cast<double *>(mxMalloc(10 * sizeof(double)));
    for (int i = 0; i < 10; ++i) {
      v[i] = i + 1;
    }
    v = static_cast<double *>(mxRealloc(v, 20 * sizeof(double)));
    for (int i = 10; i < 20; ++i) {
      v[i] = i + 1;
    }
    plhs[0] = mxCreateDoubleMatrix(0, 0, mxREAL);
    mxSetData(plhs[0], v);
    const mwSize d[2] = {4, 5};
    if (mxSetDimensions(plhs[0], d, 2) != 0) {
      mexErrMsgTxt("probe: dimensions refused.");
    }
  } else if (std::strcmp(cmd, "grow") == 0) {
    // Growing keeps the contents; shrinking keeps the address.  Returns 1
    // for each that held.
    unsigned char *p = static_cast<unsigned char *>(mxMalloc(64));
    for (int i = 0; i < 64; ++i) {
      p[i] = static_cast<unsigned char>(i);
    }
    p = static_cast<unsigned char *>(mxRealloc(p, 1 << 20));
    bool kept = true;
    for (int i = 0; i < 64; ++i) {
      kept = kept && p[i] == i;
    }
    unsigned char *q = static_cast<unsigned char *>(mxRealloc(p, 32));
    plhs[0] = mxCreateDoubleMatrix(1, 2, mxREAL);
    mxGetPr(plhs[0])[0] = kept && q[31] == 31;
    mxGetPr(plhs[0])[1] = q == p;
    mxFree(q);
  } else if (std::strcmp(cmd, "say") == 0) {
    mexPrintf("value %d\n", 42);
    mexWarnMsgTxt("careful");
  } else if (std::strcmp(cmd, "callback") == 0) {
    // Calls a function registered with the host; an error in it ends this
    // call too.
    mxArray *in[1] = {mxCreateDoubleScalar(21)};
    mxArray *out[1] = {nullptr};
    mexCallMATLAB(1, out, 1, in, "kx_double_it");
    plhs[0] = out[0];
    mexPrintf("after callback\n");
  } else if (std::strcmp(cmd, "nested") == 0) {
    mxArray *in[1] = {mxCreateString("count")};
    mxArray *out[1] = {nullptr};
    mexCallMATLAB(1, out, 1, in, "kalhost_probe_twin");
    plhs[0] = out[0];
  } else {
    mexErrMsgTxt("probe: unknown command.");
  }
  (void)nlhs;
}
