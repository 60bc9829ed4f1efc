// kal_turnvolume(image, angle, axis, interpolation, fill) on arbitrary
// arrays; see wrapper_fuzz.h.
#include "wrapper_fuzz.h"

namespace {

mxArray *argument(kalfuzz::Bytes &in, int pos) {
  static const char *const interpolations[] = {"default",  "bspline", "4-cubic", "3-cubic",
                                               "bilinear", "linear",  "zoh",     "nearest"};
  static const char *const fills[] = {"default", "zero", "max", "min", "one"};
  switch (pos) {
  case 1:
    return kalfuzz::makeArray(in, 4096);
  case 2:
  case 3:
    return kalfuzz::makeScalar(in);
  case 4:
    return kalfuzz::makeWord(in, interpolations, 8);
  default:
    return kalfuzz::makeWord(in, fills, 5);
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kalfuzz::preload("kal_turnvolume");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  return kalfuzz::runWrapper("kal_turnvolume", 5, argument, data, size);
}
