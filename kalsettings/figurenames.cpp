#include "figurenames.h"

#include <cmath>
#include <cstring>

#include "preferences.h"
#include "storememory.h"

FigureBinding namedFigures[kFigureCapacity] = {};
int32_t namedCount = 0;
int32_t otherFigures[kFigureCapacity] = {};
int32_t otherCount = 0;
int32_t otherCursor = kFigureCapacity;

namespace {

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
    storeMemory().giveBack(namedFigures[i].name);
    namedFigures[i].name = nullptr;
  }
  namedCount = 0;
}

} // namespace

bool isOtherName(const char *name) { return equalsIgnoringCase(name, "other"); }

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
  char *copy = static_cast<char *>(storeMemory().take(size));
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
