// kal_peakfit(image, mask, method): the local maxima of an image with
// sub-pixel precision, one row per maximum and one column per dimension.
#include "wrapper_frame.h"

namespace {

void findPeaks(WrapperFrame *f, mxArray *plhs[], const mxArray *prhs[]) {
  kal_Image input = nullptr;
  kal_Image mask = nullptr;
  if (!frameImageAndMask(f, prhs, &input, &mask)) {
    return;
  }
  int32_t method = 0;
  if (!frameReadWord(f, prhs[2], 3, kPeakMethods, &method)) {
    return;
  }
  int32_t dims = 0;
  if (!frameLibrary(f, kal_ImageGetDimensionality(input, &dims))) {
    return;
  }
  kal_ImageArray *coordinates = nullptr;
  if (!frameLibrary(f, kal_ImageArrayNew(&coordinates, dims, f->rs))) {
    return;
  }
  for (int32_t i = 0; i < dims; ++i) {
    if (!frameLibrary(f, brx_newkal(&coordinates->array[i], f->rs))) {
      return;
    }
  }
  if (!frameLibrary(f, kal_SubpixelMaxima(input, mask, coordinates, method))) {
    return;
  }
  // A 0-D image has no coordinate image to ask: no maxima, the 0 x 2 result.
  if (dims == 0) {
    plhs[0] = mxCreateDoubleMatrix(0, 2, mxREAL);
    return;
  }
  kal_IntegerArray *sizes = nullptr;
  if (!frameLibrary(f, kal_ImageGetDimensions(coordinates->array[0], &sizes, f->rs))) {
    return;
  }
  if (sizes->count <= 0) {
    plhs[0] = mxCreateDoubleMatrix(0, 2, mxREAL);
    return;
  }
  const int32_t n = sizes->array[0];
  plhs[0] = mxCreateDoubleMatrix(static_cast<mwSize>(n), static_cast<mwSize>(dims), mxREAL);
  double *out = mxGetPr(plhs[0]);
  kal_DataArray *data = nullptr;
  if (!frameLibrary(f, kal_ImageGetData(coordinates, &data, 0, 0, 0, 0, 0, f->rs))) {
    return;
  }
  for (int32_t j = 0; j < dims; ++j) {
    const float *column = static_cast<const float *>(data->array[j]);
    for (int32_t k = 0; k < n; ++k) {
      *out++ = static_cast<double>(column[k]);
    }
  }
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  frameRun("kal_peakfit", nlhs, plhs, nrhs, prhs, 3, findPeaks);
}
