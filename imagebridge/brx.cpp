// libbrx: conversion between host arrays and libkal images.  Built once for
// each host, against that host's MEX interface.
#include <cstring>

#include "../common/sampleclasses.h"
#include "brx.h"
#include "brx_image.h"

namespace {

struct ClassType {
  mxClassID cls;
  kal_DataType type;
};

const ClassType kClassTypes[] = {
#define KX_SAMPLE(name, cls, ctype, mx, kind, bytes, dtype, kal) {mx, kal},
    KX_SAMPLE_CLASSES(KX_SAMPLE)
#undef KX_SAMPLE
};

kal_DataType typeOfClass(mxClassID cls) {
  for (const ClassType &entry : kClassTypes) {
    if (entry.cls == cls) {
      return entry.type;
    }
  }
  return kal_DT_NONE;
}

bool classOfType(kal_DataType type, mxClassID *cls) {
  for (const ClassType &entry : kClassTypes) {
    if (entry.type == type) {
      *cls = entry.cls;
      return true;
    }
  }
  return false;
}

// What kind of array was refused, for the message.
const char *refusedKind(const mxArray *array) {
  if (mxIsChar(array)) {
    return "char";
  }
  if (mxIsCell(array)) {
    return "cell";
  }
  if (mxIsStruct(array)) {
    return "struct";
  }
  if (mxIsSparse(array)) {
    return "sparse";
  }
  if (mxIsComplex(array)) {
    return "complex";
  }
  if (!mxIsNumeric(array) && !mxIsLogical(array)) {
    return mxGetClassName(array);
  }
  return nullptr;
}

} // namespace

kal_Error brx_mex2kal(const mxArray *array, kal_Image *image, kal_Resources rs) {
  const char *op = "brx_mex2kal";
  if (array == nullptr || image == nullptr || rs == nullptr) {
    return kal_ErrorNew(op, nullptr, "No array, no image slot or no resource list given.");
  }
  *image = nullptr;
  const char *refused = refusedKind(array);
  if (refused != nullptr) {
    return kal_ErrorNew(op, nullptr, "Cannot make an image of a %s array.", refused);
  }
  const kal_DataType type = typeOfClass(mxGetClassID(array));
  if (type == kal_DT_NONE) {
    return kal_ErrorNew(op, nullptr, "Cannot make an image of a %s array.", mxGetClassName(array));
  }
  int32_t sizes[KAL_MAX_DIMENSIONS];
  int32_t count = 0;
  kal_Error e = imageSizesOf(op, static_cast<int>(mxGetNumberOfDimensions(array)),
                             mxGetDimensions(array), sizes, &count);
  if (e != nullptr) {
    return e;
  }
  return attachImage(op, type, count, sizes, mxGetData(array), image, rs);
}

kal_Error brx_newkal(kal_Image *image, kal_Resources rs) {
  const char *op = "brx_newkal";
  kal_Error e = kal_ImageNew(image, rs);
  if (e != nullptr) {
    return kal_ErrorNew(op, e, "Could not make the image.");
  }
  return nullptr;
}

kal_Error brx_kal2mex(kal_Image image, mxArray **plhs) {
  const char *op = "brx_kal2mex";
  if (image == nullptr || plhs == nullptr) {
    return kal_ErrorNew(op, nullptr, "No image or no output slot given.");
  }
  kal_DataType type = kal_DT_NONE;
  int32_t count = 0;
  const void *pixels = nullptr;
  kal_Error e = kal_ImageGetDataType(image, &type);
  if (e == nullptr) {
    e = kal_ImageGetDimensionality(image, &count);
  }
  if (e == nullptr) {
    e = kal_ImageGetPixels(image, &pixels);
  }
  if (e != nullptr) {
    return kal_ErrorNew(op, e, "Could not read the image.");
  }
  mxClassID cls = mxUNKNOWN_CLASS;
  if (!classOfType(type, &cls)) {
    return kal_ErrorNew(op, nullptr, "The image has no pixels.");
  }
  mwSize dims[KAL_MAX_DIMENSIONS];
  const int ndims = count < 2 ? 2 : count;
  std::size_t total = 1;
  for (int i = 0; i < ndims; ++i) {
    int32_t size = 1;
    if (i < count) {
      e = kal_ImageGetSize(image, i, &size);
      if (e != nullptr) {
        return kal_ErrorNew(op, e, "Could not read the image.");
      }
    }
    dims[i] = static_cast<mwSize>(size);
    total *= static_cast<std::size_t>(size);
  }
  mxArray *array = type == kal_DT_BIN ? mxCreateLogicalArray(ndims, dims)
                                      : mxCreateNumericArray(ndims, dims, cls, mxREAL);
  if (total > 0) {
    std::memcpy(mxGetData(array), pixels, total * kal_DataTypeSize(type));
  }
  plhs[0] = array;
  return nullptr;
}

const char *brx_PrintErrorStruct(kal_Error error, int32_t print, int32_t warn) {
  const char *text = kal_ErrorText(error);
  if (print != 0) {
    mexPrintf("%s\n", text);
  }
  if (warn != 0) {
    mexWarnMsgIdAndTxt("kalmex:brx:libraryError", "%s", text);
  }
  return text;
}

bool mxIsCharString(const mxArray *array) {
  return array != nullptr && mxIsChar(array) && mxGetNumberOfDimensions(array) == 2 &&
         (mxGetM(array) == 1 || mxGetNumberOfElements(array) == 0);
}

bool mxIsEmptyImage(const mxArray *array) { return array == nullptr || mxIsEmpty(array); }
