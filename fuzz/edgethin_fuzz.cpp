// edgethin on arbitrary arrays of every class and shape: every call either
// succeeds with an image of the strength's size or ends with one of the
// module's own messages, and leaves nothing alive.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzzinput.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kalfuzz::preload("edgethin");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  kalfuzz::Bytes in(data, size);
  kalfuzz::CallFrame frame;
  const int nrhs = in.byte() % 5;
  const int nlhs = in.byte() % 3;
  // Often three arrays of one size, so that the pass itself is reached.
  const bool sameShape = in.byte() % 4 != 0;
  for (int k = 0; k < nrhs; ++k) {
    frame.inputs.push_back(kalfuzz::makeArray(in, 4096));
  }
  if (sameShape && nrhs == 3 && mxIsDouble(frame.inputs[0]) && !mxIsSparse(frame.inputs[0])) {
    for (int k = 1; k < 3; ++k) {
      mxDestroyArray(frame.inputs[k]);
      frame.inputs[k] = mxDuplicateArray(frame.inputs[0]);
      double *p = mxGetPr(frame.inputs[k]);
      for (std::size_t i = 0; i < mxGetNumberOfElements(frame.inputs[k]); ++i) {
        p[i] = in.f64();
      }
    }
  }
  const std::string error = frame.call("edgethin", nlhs);
  static const char *const known[] = {"",
                                      "non-maximum suppression: Three input images required.",
                                      "non-maximum suppression: One output image required.",
                                      "non-maximum suppression: Only double input data supported.",
                                      "non-maximum suppression: Sparse input is not supported.",
                                      "non-maximum suppression: Only 2D images are supported.",
                                      "non-maximum suppression: Images have different dimensions."};
  for (const char *k : known) {
    if (error == k) {
      return 0;
    }
  }
  std::fprintf(stderr, "edgethin: unexpected error \"%s\"\n", error.c_str());
  std::abort();
}
