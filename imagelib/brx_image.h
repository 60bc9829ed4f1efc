// The host-free half of brx_mex2kal: the sizes of an image and the image
// attached to pixels, for any array that lays its data out first dimension
// fastest (the host arrays of libbrx, the NumPy arrays of the Python package).
#ifndef KALMEX_IMAGELIB_BRX_IMAGE_H
#define KALMEX_IMAGELIB_BRX_IMAGE_H

#include "kal.h"

// The sizes of an image of the array's count dimensions (Size: the host's or
// NumPy's size type), trailing singleton dimensions dropped (a scalar is
// 0-D): their number in *kept, the sizes in sizes[0 .. *kept - 1].  An error
// of op where more than KAL_MAX_DIMENSIONS remain or one passes 2^31 - 1.
template <typename Size>
kal_Error imageSizesOf(const char *op, int count, const Size *dims,
                       int32_t sizes[KAL_MAX_DIMENSIONS], int32_t *kept) {
  while (count > 0 && dims[count - 1] == 1) {
    --count;
  }
  if (count > KAL_MAX_DIMENSIONS) {
    return kal_ErrorNew(op, nullptr, "Arrays of more than %d dimensions are not images.",
                        KAL_MAX_DIMENSIONS);
  }
  for (int i = 0; i < count; ++i) {
    if (static_cast<unsigned long long>(dims[i]) > 2147483647ULL) {
      return kal_ErrorNew(op, nullptr, "Dimension %d is larger than 2^31 - 1.", i + 1);
    }
    sizes[i] = static_cast<int32_t>(dims[i]);
  }
  *kept = count;
  return nullptr;
}

// An image of that type and sizes reading the pixels, registered in rs, in
// *image; *image stays as it was on failure.
inline kal_Error attachImage(const char *op, kal_DataType type, int32_t count, const int32_t *sizes,
                             const void *pixels, kal_Image *image, kal_Resources rs) {
  kal_Image made = nullptr;
  kal_Error e = kal_ImageNew(&made, rs);
  if (e == nullptr) {
    e = kal_ImageAttach(made, type, count, sizes, pixels);
  }
  if (e != nullptr) {
    return kal_ErrorNew(op, e, "Could not make the image.");
  }
  *image = made;
  return nullptr;
}

#endif
