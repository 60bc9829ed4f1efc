// kal_turnvolume(image, angle, axis, interpolation, fill): the image turned
// about one coordinate axis.
#include "wrapper_frame.h"

namespace {

void turnVolume(WrapperFrame *f, mxArray *plhs[], const mxArray *prhs[]) {
  kal_Image input = nullptr;
  kal_Image output = nullptr;
  if (!frameImage(f, prhs[0], 1, "image", &input)) {
    return;
  }
  if (!frameLibrary(f, brx_newkal(&output, f->rs))) {
    return;
  }
  if (!kxIsScalar(prhs[1])) {
    frameFault(f, KxReason::notRealScalar, kNotRealScalarMessage, 2);
    return;
  }
  const double angle = mxGetScalar(prhs[1]);
  int32_t axis = 0;
  if (!frameReadInteger(f, prhs[2], 3, &axis)) {
    return;
  }
  int32_t interpolation = 0;
  if (!frameReadWord(f, prhs[3], 4, kInterpolations, &interpolation)) {
    return;
  }
  int32_t fill = 0;
  if (!frameReadWord(f, prhs[4], 5, kFills, &fill)) {
    return;
  }
  if (!frameLibrary(f, kal_TurnVolume(input, output, angle, axis, interpolation, fill))) {
    return;
  }
  frameLibrary(f, brx_kal2mex(output, plhs));
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  frameRun("kal_turnvolume", nlhs, plhs, nrhs, prhs, 5, turnVolume);
}
