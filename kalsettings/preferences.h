// The toolbox's preference table: 28 typed preferences with their defaults
// and current values, held in module memory for as long as the module stays
// loaded.  Plain C++ over plain values: the blocks the tables own come from
// the store's memory source (storememory.h), the host's persistent memory
// once the gateway has set it.
#ifndef KALMEX_KALSETTINGS_PREFERENCES_H
#define KALMEX_KALSETTINGS_PREFERENCES_H

#include <cstdint>

// The kind of a preference entry; decides how its value slot is read.
enum class PreferenceKind : int32_t {
  Integer = 0, // signed 32-bit integer, read as a 1x1 double
  OnOff = 1,   // 0 for "off", 1 for "on"
  String = 2,  // zero-terminated text
  Real = 3,    // double
  Triple = 4   // block of three doubles, read as a 1x3 double
};

// One preference: its kind code and one 64-bit value slot.  The kind is
// stored as a code, so a slot holding none of the five is seen as corrupt.
struct PreferenceEntry {
  PreferenceKind kind;
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

// The index of each preference in both tables and in the name list.
namespace preference {
enum Index : int {
  BoundaryCondition,
  BringToFrontOnDisplay,
  CommandFilePath,
  ComplexMappingDisplay,
  ComputationLimit,
  CurrentImageFileDir,
  DebugMode,
  DefaultActionState,
  DefaultColorMap,
  DefaultComplexMapping,
  DefaultFigureHeight,
  DefaultFigureWidth,
  DefaultGlobalStretch,
  DefaultMappingMode,
  DefaultSlicing,
  DerivativeFlavour,
  DisplayToFigure,
  EnableKeyboard,
  FileWriteWarning,
  Gamma,
  GammaGrey,
  ImageFilePath,
  ImageSizeLimit,
  MorphologicalFlavour,
  PutInCommandWindow,
  RespectVisibility,
  TrueSize,
  Truncation
};
} // namespace preference
static_assert(preference::Truncation == kPreferenceCount - 1, "one index per preference");

// The name list, in index order (ascending character order): the names are
// shown back to the caller exactly as written here.
inline constexpr const char *kPreferenceNames[kPreferenceCount] = {"BoundaryCondition",
                                                                   "BringToFrontOnDisplay",
                                                                   "CommandFilePath",
                                                                   "ComplexMappingDisplay",
                                                                   "ComputationLimit",
                                                                   "CurrentImageFileDir",
                                                                   "DebugMode",
                                                                   "DefaultActionState",
                                                                   "DefaultColorMap",
                                                                   "DefaultComplexMapping",
                                                                   "DefaultFigureHeight",
                                                                   "DefaultFigureWidth",
                                                                   "DefaultGlobalStretch",
                                                                   "DefaultMappingMode",
                                                                   "DefaultSlicing",
                                                                   "DerivativeFlavour",
                                                                   "DisplayToFigure",
                                                                   "EnableKeyboard",
                                                                   "FileWriteWarning",
                                                                   "Gamma",
                                                                   "GammaGrey",
                                                                   "ImageFilePath",
                                                                   "ImageSizeLimit",
                                                                   "MorphologicalFlavour",
                                                                   "PutInCommandWindow",
                                                                   "RespectVisibility",
                                                                   "TrueSize",
                                                                   "Truncation"};

// The defaults and the current values, indexed by preference index.  At load
// the default table holds every kind and the Integer and OnOff defaults and
// the current table is all zero; initPreferences completes both.
extern PreferenceEntry defaultPreferences[kPreferenceCount];
extern PreferenceEntry currentPreferences[kPreferenceCount];

// The name of preference index (0 to 27), as written in the name list.
const char *preferenceName(int index);
// The word of an OnOff value: "off" for 0, "on" for 1, nullptr otherwise.
const char *onOffWord(int32_t value);

// True when a and b are equal once ASCII letters are folded to one case.
bool equalsIgnoringCase(const char *a, const char *b);
// The index of the name equal to text when ASCII letter case is ignored, or
// -1 when there is none.
int findPreference(const char *text);
// 0 for "off", 1 for "on" (any ASCII letter case), -1 for any other text.
int onOffFromWord(const char *word);

// Converts the double given for an Integer preference: false when it lies
// outside -2147483647..2147483647.  The value is truncated toward zero; a
// NaN becomes 0.
bool preferenceIntegerFromDouble(double x, int32_t *out);

// Completes the default table and fills the current one.  Resumable: when
// the memory source ends the call part-way, a later run keeps the blocks
// already made and takes only the missing ones.
void initPreferences();
// The correction that follows a successful set of current entry index.
void applyPreferenceLimits(int index);
// Gives back every block the tables own and clears their block addresses,
// so that a later initPreferences starts afresh.
void releasePreferences();

#endif
