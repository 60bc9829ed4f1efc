// Records and helpers shared by the sources of libkal.
#ifndef KALMEX_IMAGELIB_KAL_INTERNAL_H
#define KALMEX_IMAGELIB_KAL_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "kal.h"
#include "kal_testing.h"

// Every object registered in a resource list starts with this header; the
// list is a chain of headers.
enum kalObjectKind { kalKindImage, kalKindImageArray, kalKindIntegerArray, kalKindDataArray };

struct kalObject {
  kalObject *next;
  kalObjectKind kind;
};

struct kal_ImageRecord {
  kalObject header;
  kal_DataType type; // kal_DT_NONE until forged or attached
  int32_t dims;      // number of dimensions
  int32_t sizes[KAL_MAX_DIMENSIONS];
  int64_t pixelCount; // product of the sizes
  void *pixels;       // null when there are no pixels
  bool ownsPixels;    // allocated by the library (else the caller's)
  bool readOnly;      // attached pixels are never written
};

struct kal_ResourceList {
  kalObject *first;
};

// The allocation seam (kal_core.cpp), where alone tests make the library
// fail.  Counted allocation: zeroed, null when memory runs out or a test
// refuses it.  kalFree accepts null.
void *kalAllocate(std::size_t bytes);
void kalFree(void *block);
// Counted allocation that a test never makes fail (error records and texts).
void *kalAllocateQuiet(std::size_t bytes);
// Gives back the block of a resource list; false when the release is to be
// reported as failed (a test asked for it), the block being released all
// the same.
bool kalFreeList(kal_ResourceList *list);

// Registers an object in a resource list.
void kalRegister(kal_Resources rs, kalObject *object);

// The C type that holds the pixels of each type code, from kal_DT_BIN (one
// byte holding 0 or 1) to kal_DT_DFLOAT, in code order.
template <typename... T> struct kalTypeList {};
using kalPixelTypes = kalTypeList<uint8_t, uint8_t, int8_t, uint16_t, int16_t, uint32_t, int32_t,
                                  uint64_t, int64_t, float, double>;

// One call of visit for every type of the list, indexed by type code.
template <typename Visit, typename... T>
void kalVisitPixelType(kal_DataType type, Visit &visit, kalTypeList<T...>) {
  static_assert(sizeof...(T) == kal_DT_DFLOAT - kal_DT_BIN + 1, "one C type for every type code");
  using Call = void (*)(Visit &);
  static constexpr Call calls[] = {[](Visit &v) { v(T()); }...};
  const int index = type - kal_DT_BIN;
  if (index >= 0 && index < static_cast<int>(sizeof...(T))) {
    calls[index](visit);
  }
}

// Calls visit(T()) once, T being the C type of the pixels of the type; does
// nothing for kal_DT_NONE or a code of no type.  Every operation that works
// on pixels in their own type goes through here.
template <typename Visit> void kalWithPixelType(kal_DataType type, Visit visit) {
  kalVisitPixelType(type, visit, kalPixelTypes());
}

// The range an integer type can hold (binary: 0 to 1); -HUGE_VAL to
// HUGE_VAL for the floating-point types.
void kalTypeRange(kal_DataType type, double *low, double *high);

// Reads pixel index i of an image as a double.
double kalReadPixel(const kal_ImageRecord *image, int64_t i);
// Writes a double to pixel index i: integer types are rounded to nearest
// (halves away from zero) and clamped to their range; NaN becomes 0.
void kalWritePixel(kal_ImageRecord *image, int64_t i, double value);

// Common checks of the operations; each returns an error record for the
// named operation or null.
kal_Error kalCheckImage(const char *operation, kal_Image image, const char *role);
// An image with pixels.
kal_Error kalCheckInput(const char *operation, kal_Image image, const char *role);
// An image without pixels, other than the input, for an operation to forge.
kal_Error kalCheckOutput(const char *operation, kal_Image out, kal_Image in);
kal_Error kalCheckMask(const char *operation, kal_Image mask, kal_Image image);
// True when the mask admits pixel i (null mask: always).
bool kalInMask(const kal_ImageRecord *mask, int64_t i);

// Strides of an image's dimensions (in pixels).
void kalStrides(const kal_ImageRecord *image, int64_t *strides);

// Reflects an index into 0..n-1 about the end pixels (-1 -> 1, n -> n-2).
int64_t kalMirror(int64_t i, int64_t n);

// Turns the n samples of a line (spaced by stride) into cubic B-spline
// coefficients in place, with mirror boundaries.
void kalSplinePrefilter(double *line, int64_t n, int64_t stride);

// Cubic B-spline weights of the four samples floor(x) - 1 .. floor(x) + 2
// for t = x - floor(x), with their first and second derivatives (optional).
void kalSplineWeights(double t, double *w, double *dw, double *ddw);

#endif
