#include "figurenames.h"

#include <cmath>
#include <cstring>

#include "mexutil.h"

FigureBinding namedFigures[kFigureCapacity] = {};
int32_t namedCount = 0;
int32_t otherFigures[kFigureCapacity] = {};
int32_t otherCount = 0;
int32_t otherCursor = kFigureCapacity;

namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int findNamed(const char *name) {
  for (int32_t i = 0; i < namedCount; ++i) {
    if (std::strcmp(namedFigures[i].name, name) == 0) {
      return i;
    }
  }
  return -1;
}

void freeNames() {
  for (int32_t i = 0; i < namedCount; ++i) {
    mxFree(namedFigures[i].name);
    namedFigures[i].name = nullptr;
  }
  namedCount = 0;
}

// Checks and copies a variable name into buf (kVariableNameBufferSize
// bytes); longer names are cut to their first 255 characters.
void readVariableName(const mxArray *name, char *buf) {
  if (!mxIsChar(name)) {
    mexErrMsgTxt("Variable names must be strings.");
  }
  if (mxGetNumberOfElements(name) >= static_cast<size_t>(kVariableNameBufferSize)) {
    mexWarnMsgTxt("Clipping the string value.");
  }
  kxGetString(name, buf, kVariableNameBufferSize);
}

} // namespace

bool isOtherName(const char *name) {
  static const char kOther[] = "other";
  for (int i = 0; kOther[i] != '\0'; ++i) {
    if (asciiLower(name[i]) != kOther[i]) {
      return false;
    }
  }
  return name[sizeof kOther - 1] == '\0';
}

int32_t figureHandleFor(const char *name) {
  const int slot = findNamed(name);
  if (slot >= 0) {
    return namedFigures[slot].handle;
  }
  if (otherCount == 0) {
    return 0;
  }
  ++otherCursor;
  if (otherCursor >= otherCount) {
    otherCursor = 0;
  }
  return otherFigures[otherCursor];
}

BindResult bindFigureHandle(const char *name, int32_t handle) {
  if (isOtherName(name)) {
    if (otherCount == kFigureCapacity) {
      return BindResult::Full;
    }
    otherFigures[otherCount++] = handle;
    return BindResult::Bound;
  }
  const int slot = findNamed(name);
  if (slot >= 0) {
    namedFigures[slot].handle = handle;
    return BindResult::Bound;
  }
  if (namedCount == kFigureCapacity) {
    return BindResult::Full;
  }
  const size_t size = std::strlen(name) + 1;
  char *copy = static_cast<char *>(mxMalloc(size));
  mexMakeMemoryPersistent(copy);
  std::memcpy(copy, name, size);
  namedFigures[namedCount].handle = handle;
  namedFigures[namedCount].name = copy;
  ++namedCount;
  return BindResult::Bound;
}

bool figureHandleFromDouble(double x, int32_t *out) {
  // The range test comes first so that the conversion below is defined.
  if (std::isnan(x) || !(x > -2147483649.0 && x < 2147483648.0)) {
    return false;
  }
  const int32_t h = static_cast<int32_t>(x);
  if (static_cast<double>(h) != x) {
    return false;
  }
  *out = h;
  return true;
}

mxArray *figureForVariable(const mxArray *name) {
  char buf[kVariableNameBufferSize];
  readVariableName(name, buf);
  // The result is made before the lookup, so that a failed allocation
  // leaves the pool's turn order where it was.
  mxArray *result = mxCreateDoubleMatrix(1, 1, mxREAL);
  mxGetPr(result)[0] = static_cast<double>(figureHandleFor(buf));
  return result;
}

void bindFigure(const mxArray *name, const mxArray *handle) {
  char buf[kVariableNameBufferSize];
  readVariableName(name, buf);
  // An empty array holds no handle at all.
  if (!mxIsNumeric(handle) || mxIsEmpty(handle)) {
    mexErrMsgTxt("Invalid figure handle.");
  }
  int32_t h = 0;
  if (!figureHandleFromDouble(mxGetScalar(handle), &h)) {
    mexErrMsgTxt("Invalid figure handle.");
  }
  if (bindFigureHandle(buf, h) == BindResult::Full) {
    mexErrMsgTxt("Variable name buffer full.");
  }
}

void clearFigureNames() {
  freeNames();
  otherCount = 0;
}

void releaseFigureNames() {
  // Back to the state at load, in case a host keeps the module's memory
  // after its exit callback.
  freeNames();
  otherCount = 0;
  otherCursor = kFigureCapacity;
}
