// Which figure window shows which MATLAB variable.  A variable name is bound
// to one figure handle; handles bound to the reserved name "other" form a
// pool that serves, in turn, every variable without a binding of its own.
// A handle is only a whole number: no figure is ever looked at.  Plain C++
// over plain values: the name copies come from the store's memory source
// (storememory.h); reading the caller's arrays is the gateway's part.
#ifndef KALMEX_KALSETTINGS_FIGURENAMES_H
#define KALMEX_KALSETTINGS_FIGURENAMES_H

#include <cstdint>

// One bound variable: its figure and an owned copy of its name.
struct FigureBinding {
  int32_t handle;
  char *name;
};

constexpr int32_t kFigureCapacity = 256;
// Buffer for a variable name as read from the caller: at most 255 characters.
constexpr int kVariableNameBufferSize = 256;

extern FigureBinding namedFigures[kFigureCapacity];
extern int32_t namedCount;
extern int32_t otherFigures[kFigureCapacity];
extern int32_t otherCount;
// Pool slot handed out last; starts past the end so the first hand-out
// takes slot 0.  Kept across clearFigureNames.
extern int32_t otherCursor;

enum class BindResult { Bound, Full };

// True for the reserved pool name "other" in any ASCII letter case.
bool isOtherName(const char *name);
// The handle for name: its own binding, else the next pool handle in turn
// (moving the cursor), else 0.
int32_t figureHandleFor(const char *name);
// Binds name to handle, or adds handle to the pool for "other".  Full when a
// new name or pool entry would be the 257th; the store is then unchanged.
BindResult bindFigureHandle(const char *name, int32_t handle);
// Converts the double given as a figure handle: false for NaN and for a
// value that is not a whole number in the 32-bit signed range.
bool figureHandleFromDouble(double x, int32_t *out);

// Forgets every binding and the pool (the cursor stays).
void clearFigureNames();
// Frees the name copies when the module goes away and leaves the store as
// it was at load.
void releaseFigureNames();

#endif
