// kal_troughfind(image, mask, integer, flag) on arbitrary arrays; see
// wrapper_fuzz.h.
#include "wrapper_fuzz.h"

namespace {

mxArray *argument(kalfuzz::Bytes &in, int pos) {
  if (pos >= 3) {
    return kalfuzz::makeScalar(in);
  }
  return kalfuzz::makeArray(in, 4096);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kalfuzz::preload("kal_troughfind");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  return kalfuzz::runWrapper("kal_troughfind", 4, argument, data, size);
}
