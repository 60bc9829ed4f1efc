// kal_peakfit(image, mask, method) on arbitrary arrays; see wrapper_fuzz.h.
#include "wrapper_fuzz.h"

namespace {

mxArray *argument(kalfuzz::Bytes &in, int pos) {
  static const char *const methods[] = {"default",  "linear",  "parabolic",
                                        "gaussian", "bspline", "cubic"};
  if (pos == 3) {
    return kalfuzz::makeWord(in, methods, 6);
  }
  return kalfuzz::makeArray(in, 4096);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kalfuzz::preload("kal_peakfit");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  return kalfuzz::runWrapper("kal_peakfit", 3, argument, data, size);
}
