// kal_troughfind(image, mask, integer, flag): the position of the minimum of
// every line of the image along one dimension, within the mask.
#include "wrapper_frame.h"

namespace {

void findTroughs(WrapperFrame *f, mxArray *plhs[], const mxArray *prhs[]) {
  kal_Image input = nullptr;
  kal_Image mask = nullptr;
  if (!frameImageAndMask(f, prhs, &input, &mask)) {
    return;
  }
  kal_Image output = nullptr;
  if (!frameLibrary(f, brx_newkal(&output, f->rs))) {
    return;
  }
  int32_t dimension = 0;
  if (!frameReadInteger(f, prhs[2], 3, &dimension)) {
    return;
  }
  int32_t last = 0;
  if (!frameReadBoolean(f, prhs[3], 4, &last)) {
    return;
  }
  if (!frameLibrary(f, kal_TroughFind(input, mask, output, dimension, last))) {
    return;
  }
  frameLibrary(f, brx_kal2mex(output, plhs));
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  frameRun("kal_troughfind", nlhs, plhs, nrhs, prhs, 4, findTroughs);
}
