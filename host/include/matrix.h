/* Array part of the MEX interface as the embedded host provides it.
 *
 * The names, signatures, types and class ids are the standard ones, so that
 * module sources compile unchanged against this header, against Octave's and
 * against MATLAB's.  Only the subset that kalmex and its tests use is here.
 * Sizes and indices are 64-bit (mwSize is size_t), as in MATLAB's large-array
 * interface and in Octave (where they are signed 64-bit).
 */
#ifndef KALMEX_HOST_MATRIX_H
#define KALMEX_HOST_MATRIX_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KX_EXTERN_C extern "C"
#else
#define KX_EXTERN_C extern
#endif

#define KX_HOST_API KX_EXTERN_C __attribute__((visibility("default")))

typedef struct mxArray_tag mxArray;
typedef size_t mwSize;
typedef size_t mwIndex;
typedef ptrdiff_t mwSignedIndex;
#ifdef __cplusplus
typedef char16_t mxChar;
typedef bool mxLogical;
#else
typedef uint16_t mxChar;
typedef _Bool mxLogical;
#endif

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS = 1,
  mxSTRUCT_CLASS = 2,
  mxLOGICAL_CLASS = 3,
  mxCHAR_CLASS = 4,
  mxVOID_CLASS = 5,
  mxDOUBLE_CLASS = 6,
  mxSINGLE_CLASS = 7,
  mxINT8_CLASS = 8,
  mxUINT8_CLASS = 9,
  mxINT16_CLASS = 10,
  mxUINT16_CLASS = 11,
  mxINT32_CLASS = 12,
  mxUINT32_CLASS = 13,
  mxINT64_CLASS = 14,
  mxUINT64_CLASS = 15,
  mxFUNCTION_CLASS = 16
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

/* Memory managed by the host: released when the call ends unless made
 * persistent with mexMakeMemoryPersistent. */
KX_HOST_API void *mxMalloc(mwSize n);
KX_HOST_API void *mxCalloc(mwSize n, mwSize size);
KX_HOST_API void *mxRealloc(void *ptr, mwSize n);
KX_HOST_API void mxFree(void *ptr);

/* Creation. */
KX_HOST_API mxArray *mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag);
KX_HOST_API mxArray *mxCreateDoubleScalar(double value);
KX_HOST_API mxArray *mxCreateNumericMatrix(mwSize m, mwSize n, mxClassID classid,
                                           mxComplexity flag);
KX_HOST_API mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID classid,
                                          mxComplexity flag);
KX_HOST_API mxArray *mxCreateLogicalScalar(mxLogical value);
KX_HOST_API mxArray *mxCreateLogicalMatrix(mwSize m, mwSize n);
KX_HOST_API mxArray *mxCreateLogicalArray(mwSize ndim, const mwSize *dims);
KX_HOST_API mxArray *mxCreateString(const char *str);
KX_HOST_API mxArray *mxCreateCharArray(mwSize ndim, const mwSize *dims);
KX_HOST_API mxArray *mxCreateCellMatrix(mwSize m, mwSize n);
KX_HOST_API mxArray *mxCreateCellArray(mwSize ndim, const mwSize *dims);
KX_HOST_API mxArray *mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char **fieldnames);
KX_HOST_API mxArray *mxCreateSparse(mwSize m, mwSize n, mwSize nzmax, mxComplexity flag);
KX_HOST_API mxArray *mxDuplicateArray(const mxArray *a);
KX_HOST_API void mxDestroyArray(mxArray *a);

/* Inspection. */
KX_HOST_API mxClassID mxGetClassID(const mxArray *a);
KX_HOST_API const char *mxGetClassName(const mxArray *a);
KX_HOST_API mwSize mxGetNumberOfDimensions(const mxArray *a);
KX_HOST_API const mwSize *mxGetDimensions(const mxArray *a);
KX_HOST_API int mxSetDimensions(mxArray *a, const mwSize *dims, mwSize ndim);
KX_HOST_API size_t mxGetM(const mxArray *a);
KX_HOST_API size_t mxGetN(const mxArray *a);
KX_HOST_API size_t mxGetNumberOfElements(const mxArray *a);
KX_HOST_API size_t mxGetElementSize(const mxArray *a);
KX_HOST_API double *mxGetPr(const mxArray *a);
KX_HOST_API double *mxGetPi(const mxArray *a);
KX_HOST_API void *mxGetData(const mxArray *a);
/* The array takes data, a block of mxMalloc / mxCalloc / mxRealloc, as its
 * real data: the block is no longer released when the call ends, goes with
 * the array, and must not be freed or reallocated by the caller.  The data
 * the array held before is freed (hosts differ there: portable code frees it
 * first with mxFree(mxGetData(a)), which this host allows too).  Set the
 * dimensions to match with mxSetDimensions. */
KX_HOST_API void mxSetData(mxArray *a, void *data);
KX_HOST_API void *mxGetImagData(const mxArray *a);
KX_HOST_API mxLogical *mxGetLogicals(const mxArray *a);
KX_HOST_API mxChar *mxGetChars(const mxArray *a);
KX_HOST_API double mxGetScalar(const mxArray *a);
KX_HOST_API int mxGetString(const mxArray *a, char *buf, mwSize buflen);
KX_HOST_API char *mxArrayToString(const mxArray *a);
KX_HOST_API mxArray *mxGetCell(const mxArray *a, mwIndex i);
KX_HOST_API void mxSetCell(mxArray *a, mwIndex i, mxArray *value);
KX_HOST_API int mxGetNumberOfFields(const mxArray *a);
KX_HOST_API mxArray *mxGetField(const mxArray *a, mwIndex i, const char *name);
KX_HOST_API void mxSetField(mxArray *a, mwIndex i, const char *name, mxArray *value);

KX_HOST_API bool mxIsDouble(const mxArray *a);
KX_HOST_API bool mxIsSingle(const mxArray *a);
KX_HOST_API bool mxIsInt8(const mxArray *a);
KX_HOST_API bool mxIsUint8(const mxArray *a);
KX_HOST_API bool mxIsInt16(const mxArray *a);
KX_HOST_API bool mxIsUint16(const mxArray *a);
KX_HOST_API bool mxIsInt32(const mxArray *a);
KX_HOST_API bool mxIsUint32(const mxArray *a);
KX_HOST_API bool mxIsInt64(const mxArray *a);
KX_HOST_API bool mxIsUint64(const mxArray *a);
KX_HOST_API bool mxIsChar(const mxArray *a);
KX_HOST_API bool mxIsLogical(const mxArray *a);
KX_HOST_API bool mxIsNumeric(const mxArray *a);
KX_HOST_API bool mxIsCell(const mxArray *a);
KX_HOST_API bool mxIsStruct(const mxArray *a);
KX_HOST_API bool mxIsComplex(const mxArray *a);
KX_HOST_API bool mxIsSparse(const mxArray *a);
KX_HOST_API bool mxIsEmpty(const mxArray *a);
KX_HOST_API bool mxIsScalar(const mxArray *a);
KX_HOST_API bool mxIsClass(const mxArray *a, const char *name);
KX_HOST_API bool mxIsNaN(double x);
KX_HOST_API bool mxIsInf(double x);
KX_HOST_API bool mxIsFinite(double x);
KX_HOST_API double mxGetNaN(void);
KX_HOST_API double mxGetInf(void);
KX_HOST_API double mxGetEps(void);

#endif
