// kal_TroughFind: for every line of the image along one dimension, the
// 0-based position of its smallest pixel inside the mask.
//
// The result is an int32 image of the input's sizes with that dimension of
// size 1.  Ties go to the first position, or to the last when last is 1.  A
// line with no pixel in the mask (or only NaN there) gives -1.  Pixels are
// compared in their own type, so 64-bit integers compare exactly.
#include <cmath>
#include <type_traits>

#include "kal_internal.h"

namespace {

const char kOp[] = "kal_TroughFind";

template <typename T>
void findTroughs(const kal_ImageRecord *image, const kal_ImageRecord *mask, int32_t dim, bool last,
                 int32_t *result) {
  const T *pixels = static_cast<const T *>(image->pixels);
  int64_t strides[KAL_MAX_DIMENSIONS];
  kalStrides(image, strides);
  const int64_t length = image->sizes[dim];
  const int64_t stride = strides[dim];
  const int64_t lines = image->pixelCount / length;
  // Line l starts at the index whose coordinates are those of l with a 0
  // inserted at dimension dim.
  for (int64_t l = 0; l < lines; ++l) {
    const int64_t start = (l / stride) * stride * length + l % stride;
    int32_t best = -1;
    T lowest = T();
    for (int64_t k = 0; k < length; ++k) {
      const int64_t index = start + k * stride;
      if (!kalInMask(mask, index)) {
        continue;
      }
      const T v = pixels[index];
      if constexpr (std::is_floating_point_v<T>) {
        if (std::isnan(v)) {
          continue;
        }
      }
      if (best < 0 || v < lowest || (last && v == lowest)) {
        best = static_cast<int32_t>(k);
        lowest = v;
      }
    }
    result[l] = best;
  }
}

} // namespace

kal_Error kal_TroughFind(kal_Image image, kal_Image mask, kal_Image out, int32_t dimension,
                         int32_t last) {
  kal_Error e = kalCheckInput(kOp, image, "image");
  if (e == nullptr) {
    e = kalCheckMask(kOp, mask, image);
  }
  if (e == nullptr) {
    e = kalCheckOutput(kOp, out, image);
  }
  if (e == nullptr && out == mask) {
    e = kal_ErrorNew(kOp, nullptr, "The output image is the mask.");
  }
  if (e != nullptr) {
    return e;
  }
  if (dimension < 1 || dimension > image->dims) {
    return kal_ErrorNew(kOp, nullptr, "The dimension must lie in 1..%d, not %d.",
                        static_cast<int>(image->dims), static_cast<int>(dimension));
  }
  if (last != 0 && last != 1) {
    return kal_ErrorNew(kOp, nullptr, "The flag must be 0 or 1, not %d.", static_cast<int>(last));
  }
  const int32_t dim = dimension - 1;
  int32_t sizes[KAL_MAX_DIMENSIONS];
  for (int32_t d = 0; d < image->dims; ++d) {
    sizes[d] = d == dim ? 1 : image->sizes[d];
  }
  kal_Error forged = kal_ImageForge(out, kal_DT_SINT32, image->dims, sizes);
  if (forged != nullptr) {
    return kal_ErrorNew(kOp, forged, "Could not make the output image.");
  }
  if (image->sizes[dim] == 0) {
    // Every line is empty: the result holds -1 throughout.
    for (int64_t i = 0; i < out->pixelCount; ++i) {
      static_cast<int32_t *>(out->pixels)[i] = -1;
    }
    return nullptr;
  }
  int32_t *result = static_cast<int32_t *>(out->pixels);
  const bool fromEnd = last == 1;
  kalWithPixelType(image->type, [&](auto pixel) {
    findTroughs<decltype(pixel)>(image, mask, dim, fromEnd, result);
  });
  return nullptr;
}
