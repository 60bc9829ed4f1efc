// The toolbox's preference table: 28 typed preferences with their defaults
// and current values, held in module memory for as long as the module stays
// loaded.  Blocks owned by the tables are taken with mxMalloc/mxCalloc and
// made persistent, so they survive from one call to the next.
#ifndef KALMEX_KALSETTINGS_PREFERENCES_H
#define KALMEX_KALSETTINGS_PREFERENCES_H

#include <stdint.h>

// The kind of a preference entry; decides how its value slot is read.
enum PreferenceKind : int32_t {
  Integer = 0, // signed 32-bit integer, read as a 1x1 double
  OnOff = 1,   // 0 for "off", 1 for "on"
  String = 2,  // zero-terminated text
  Real = 3,    // double
  Triple = 4   // block of three doubles, read as a 1x3 double
};

// One preference: its kind code and one 64-bit value slot.
struct PreferenceEntry {
  int32_t kind;
  union {
    int32_t integer; // Integer, OnOff
    double real;     // Real
    char *text;      // String
    double *triple;  // Triple
  } value;
};

constexpr int kPreferenceCount = 28;
// Buffer of every current String entry: at most 4095 characters and a zero.
constexpr int kStringBufferSize = 4096;
// Buffer for a preference name as read from the caller: at most 255 characters.
constexpr int kNameBufferSize = 256;

// Indices of the preferences that take part in special rules.
enum PreferenceIndex : int {
  BoundaryConditionIndex = 0,
  ComputationLimitIndex = 4,
  DefaultFigureHeightIndex = 10,
  DefaultFigureWidthIndex = 11,
  GammaIndex = 19,
  GammaGreyIndex = 20,
  ImageSizeLimitIndex = 22,
  TruncationIndex = 27
};

// The defaults and the current values, indexed by preference index.  At load
// the default table holds every kind and the Integer and OnOff defaults and
// the current table is all zero; initPreferences completes both.
extern PreferenceEntry defaultPreferences[kPreferenceCount];
extern PreferenceEntry currentPreferences[kPreferenceCount];

// The name of preference index (0 to 27), as written in the name list.
const char *preferenceName(int index);
// The word of an OnOff value: "off" for 0, "on" for 1, NULL otherwise.
const char *onOffWord(int32_t value);

// The index of the name equal to text when ASCII letter case is ignored, or
// -1 when there is none.
int findPreference(const char *text);
// 0 for "off", 1 for "on" (any ASCII letter case), -1 for any other text.
int onOffFromWord(const char *word);

// Converts the double given for an Integer preference: false when it lies
// outside -2147483647..2147483647.  The value is truncated toward zero; a
// NaN becomes 0.
bool preferenceIntegerFromDouble(double x, int32_t *out);

// Completes the default table and fills the current one.  Resumable: when a
// host allocation fails part-way (which ends the call), a later run keeps
// the blocks already made and takes only the missing ones.
void initPreferences();
// The correction that follows a successful set of current entry index.
void applyPreferenceLimits(int index);
// Frees every block the tables own and clears their block addresses, so that
// a later initPreferences starts afresh.
void releasePreferences();

#endif
