/* libkal: the image library beneath the wrapper modules.
 *
 * Images are N-dimensional (at most KAL_MAX_DIMENSIONS dimensions) with a
 * list of sizes, first dimension fastest in storage, and one pixel type.
 * Every object the library makes for a caller is registered in a resource
 * list and released with it by kal_ResourcesFree.
 *
 * Operations return an error handle: null on success, else the first record
 * of a chain that the caller releases with kal_ErrorFree.  An operation that
 * fails inside another adds its own record in front, so the chain reads from
 * the operation called down to the cause.
 *
 * The library uses no host interface; the bridge (brx.h) converts host arrays.
 */
#ifndef KALMEX_IMAGELIB_KAL_H
#define KALMEX_IMAGELIB_KAL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KAL_EXTERN_C extern "C"
#else
#define KAL_EXTERN_C extern
#endif
#define KAL_API KAL_EXTERN_C __attribute__((visibility("default")))

#define KAL_MAX_DIMENSIONS 32

/* Pixel types. */
typedef enum {
  kal_DT_NONE = 0, /* an image without pixels yet */
  kal_DT_BIN = 1,  /* binary, one byte holding 0 or 1 */
  kal_DT_UINT8 = 2,
  kal_DT_SINT8 = 3,
  kal_DT_UINT16 = 4,
  kal_DT_SINT16 = 5,
  kal_DT_UINT32 = 6,
  kal_DT_SINT32 = 7,
  kal_DT_UINT64 = 8,
  kal_DT_SINT64 = 9,
  kal_DT_SFLOAT = 10, /* single precision */
  kal_DT_DFLOAT = 11  /* double precision */
} kal_DataType;

// Size in bytes of one pixel of the type (0 for kal_DT_NONE or an unknown type).
inline size_t kal_DataTypeSize(kal_DataType type) {
  switch (type) {
  case kal_DT_BIN:
  case kal_DT_UINT8:
  case kal_DT_SINT8:
    return 1;
  case kal_DT_UINT16:
  case kal_DT_SINT16:
    return 2;
  case kal_DT_UINT32:
  case kal_DT_SINT32:
  case kal_DT_SFLOAT:
    return 4;
  case kal_DT_UINT64:
  case kal_DT_SINT64:
  case kal_DT_DFLOAT:
    return 8;
  case kal_DT_NONE:
    break;
  }
  return 0;
}

/* One record of an error chain.  The first field links to the next record. */
typedef struct kal_ErrorRecord {
  struct kal_ErrorRecord *next;
  char operation[48]; /* the operation that failed */
  char message[208];  /* what went wrong, one sentence */
  char *text;         /* the chain's text, made on demand for the first record */
} kal_ErrorRecord;
typedef kal_ErrorRecord *kal_Error;

typedef struct kal_ResourceList *kal_Resources;
typedef struct kal_ImageRecord *kal_Image;

/* Record of image slots: count, then that many slots. */
typedef struct {
  int32_t count;
  kal_Image *array;
} kal_ImageArray;

/* Record of 32-bit integers: count, then that many values. */
typedef struct {
  int32_t count;
  int32_t *array;
} kal_IntegerArray;

/* Record of pixel blocks: count, then one pixel-block pointer per image. */
typedef struct {
  int32_t count;
  void **array;
} kal_DataArray;

/* ---- Resource lists and errors ---- */

/* A new, empty resource list in *rs.  flags must be 0. */
KAL_API kal_Error kal_ResourcesNew(kal_Resources *rs, int32_t flags);
/* Releases everything registered in *rs and the list itself; *rs becomes
 * null.  A null list is nothing to release. */
KAL_API kal_Error kal_ResourcesFree(kal_Resources *rs);
/* Releases a whole error chain (null is allowed).  Always returns null. */
KAL_API kal_Error kal_ErrorFree(kal_Error error);
/* The chain as text, one line "operation: message" per record, lines joined
 * by newlines.  The text belongs to the chain and lives until kal_ErrorFree. */
KAL_API const char *kal_ErrorText(kal_Error error);

/* ---- Images ---- */

/* A new image without pixels, registered in rs. */
KAL_API kal_Error kal_ImageNew(kal_Image *image, kal_Resources rs);
/* Gives an image without pixels its type and sizes and zeroed pixels. */
KAL_API kal_Error kal_ImageForge(kal_Image image, kal_DataType type, int32_t count,
                                 const int32_t *sizes);
/* Gives an image without pixels its type and sizes and lets it read the
 * caller's pixels, which must outlive the image.  Such an image is read-only:
 * no operation writes into it. */
KAL_API kal_Error kal_ImageAttach(kal_Image image, kal_DataType type, int32_t count,
                                  const int32_t *sizes, const void *pixels);
KAL_API kal_Error kal_ImageGetDimensionality(kal_Image image, int32_t *count);
/* A new record of the image's sizes, registered in rs. */
KAL_API kal_Error kal_ImageGetDimensions(kal_Image image, kal_IntegerArray **sizes,
                                         kal_Resources rs);
KAL_API kal_Error kal_ImageGetDataType(kal_Image image, kal_DataType *type);
/* Size of dimension index (0-based) into *size. */
KAL_API kal_Error kal_ImageGetSize(kal_Image image, int32_t index, int32_t *size);
/* The image's pixel block (null for an image without pixels or with none). */
KAL_API kal_Error kal_ImageGetPixels(kal_Image image, const void **pixels);

/* A new record of count empty slots, registered in rs. */
KAL_API kal_Error kal_ImageArrayNew(kal_ImageArray **array, int32_t count, kal_Resources rs);
/* A new record with the pixel block of every image of the array, registered
 * in rs.  The optional outputs (null when not wanted) are records of the
 * images' pixel types and pixel counts (counts above 2^31 - 1 are an error
 * when asked for).  A non-zero requiredType makes every image of another
 * type an error. */
KAL_API kal_Error kal_ImageGetData(const kal_ImageArray *images, kal_DataArray **data,
                                   kal_IntegerArray **types, kal_IntegerArray **counts,
                                   kal_IntegerArray **dimensionalities, int32_t requiredType,
                                   int32_t flags, kal_Resources rs);

/* ---- Operations ---- */

/* Local maxima inside the mask (null: everywhere), refined to sub-pixel
 * positions by the method code; see README.md. */
KAL_API kal_Error kal_SubpixelMaxima(kal_Image image, kal_Image mask, kal_ImageArray *coordinates,
                                     int32_t method);
/* Rotation about the axis along dimension axis (1-based); see README.md. */
KAL_API kal_Error kal_TurnVolume(kal_Image in, kal_Image out, double angle, int32_t axis,
                                 int32_t interpolation, int32_t fill);
/* Position of the minimum of every line along dimension (1-based); see
 * README.md. */
KAL_API kal_Error kal_TroughFind(kal_Image image, kal_Image mask, kal_Image out, int32_t dimension,
                                 int32_t last);

/* ---- Error records for the bridge ---- */

/* A new one-record chain (printf-style message), in front of cause. */
KAL_API kal_Error kal_ErrorNew(const char *operation, kal_Error cause, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

#endif
