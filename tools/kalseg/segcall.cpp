// segment(): the front end's one regionseg_core call, on the embedded host
// (the module file that ships).
#include <chrono>

#include "kalhost.h"
#include "segfront.h"

namespace kalseg {

Result segment(const Volume &image, const Options &opts, bool wantSnapshots) {
  Result r;
  CoreCall c;
  r.error = prepareCall(image, opts, wantSnapshots, c);
  if (!r.error.empty()) {
    return r;
  }
  const Geometry &g = c.geo;
  r.geo = g;
  const std::size_t slice = static_cast<std::size_t>(g.p1) * g.p2 * g.p3;

  const mwSize dims[3] = {static_cast<mwSize>(g.p1), static_cast<mwSize>(g.p2),
                          static_cast<mwSize>(g.p3)};
  const bool is3d = image.d3 > 1;
  mxArray *in[16];
  in[0] = mxCreateNumericArray(is3d ? 3 : 2, dims, mxINT32_CLASS, mxREAL);
  pad(c.grey, image.d1, image.d2, image.d3, g, static_cast<int32_t *>(mxGetData(in[0])));
  std::vector<int32_t>().swap(c.grey);
  const int nin = c.count;
  for (int k = 1; k < nin; ++k) {
    in[k] = mxCreateDoubleScalar(c.params[k - 1]);
  }
  mxArray *out[2] = {nullptr, nullptr};
  const int nout = wantSnapshots ? 2 : 1;
  const auto start = std::chrono::steady_clock::now();
  const kalhost::CallResult call =
      kalhost::call("regionseg_core", nout, out, nin, const_cast<const mxArray **>(in));
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (int k = 0; k < nin; ++k) {
    mxDestroyArray(in[k]);
  }
  if (!call.ok) {
    r.error = "regionseg_core: " + call.error;
    return r;
  }
  const bool stack = wantSnapshots && out[1] != nullptr;
  // Counted from the elements: a stack of one slice may have lost its last
  // dimension.
  takeOutputs(image, g, static_cast<const int32_t *>(mxGetData(out[0])),
              stack ? static_cast<const int32_t *>(mxGetData(out[1])) : nullptr,
              stack ? static_cast<int>(mxGetNumberOfElements(out[1]) / slice) : 0, r);
  for (mxArray *a : out) {
    if (a != nullptr) {
      mxDestroyArray(a);
    }
  }
  return r;
}

} // namespace kalseg
