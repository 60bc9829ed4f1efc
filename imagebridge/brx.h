/* libbrx: the bridge between host arrays (mxArray) and libkal images. */
#ifndef KALMEX_IMAGELIB_BRX_H
#define KALMEX_IMAGELIB_BRX_H

#include "kal.h"
#include "mex.h"

/* An image reading the array's content, registered in rs.  Accepts real, full
 * numeric and logical arrays; their sizes are the array's with trailing
 * singleton dimensions dropped (a scalar is 0-D).  The image reads the
 * array's own data and is read-only. */
KAL_API kal_Error brx_mex2kal(const mxArray *array, kal_Image *image, kal_Resources rs);
/* An empty image for an operation to fill, registered in rs. */
KAL_API kal_Error brx_newkal(kal_Image *image, kal_Resources rs);
/* A new array of the class matching the image's pixel type, with its sizes
 * (padded to two dimensions) and content, stored as plhs[0]. */
KAL_API kal_Error brx_kal2mex(kal_Image image, mxArray **plhs);
/* The text of the chain (see kal_ErrorText), which lives until kal_ErrorFree.
 * A non-zero print also shows it in the console (mexPrintf), a non-zero warn
 * as a warning (mexWarnMsgTxt). */
KAL_API const char *brx_PrintErrorStruct(kal_Error error, int32_t print, int32_t warn);
/* A character row vector (1 x n, n >= 0), or the empty character array. */
KAL_API bool mxIsCharString(const mxArray *array);
/* An array with no elements, of any class: it stands for no image. */
KAL_API bool mxIsEmptyImage(const mxArray *array);

#endif
