#include "preferences.h"

#include <cmath>
#include <cstring>
#include <iterator>

#include "storememory.h"

namespace {

const char *const kOnOffWords[2] = {"off", "on"};

// The constant texts the default table points at; never freed.
char kNoText[] = "";
char kWordBest[] = "best";
char kWordComplexDisplay[] = "x+iy";
char kWordActionState[] = "kaltest";
char kWordColorMap[] = "grey";
char kWordComplexMapping[] = "abs";
char kWordMappingMode[] = "normal";
char kWordSlicing[] = "xy";

struct DefaultWord {
  preference::Index index;
  char *word;
};

// The String preferences with a word as default, in the order they are set.
const DefaultWord kDefaultWords[] = {
    {preference::DerivativeFlavour, kWordBest},
    {preference::ComplexMappingDisplay, kWordComplexDisplay},
    {preference::DefaultActionState, kWordActionState},
    {preference::DefaultColorMap, kWordColorMap},
    {preference::DefaultComplexMapping, kWordComplexMapping},
    {preference::DefaultMappingMode, kWordMappingMode},
    {preference::DefaultSlicing, kWordSlicing},
};

constexpr double kGammaLow = 0.01;
constexpr double kGammaHigh = 100.0;

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

double clampGamma(double x) {
  // A NaN fails both tests and stays NaN.
  if (x < kGammaLow) {
    return kGammaLow;
  }
  if (x > kGammaHigh) {
    return kGammaHigh;
  }
  return x;
}

double *newTriple() { return static_cast<double *>(storeMemory().takeZeroed(3, sizeof(double))); }

} // namespace

PreferenceEntry defaultPreferences[kPreferenceCount] = {};
PreferenceEntry currentPreferences[kPreferenceCount] = {};

namespace {

// The default table at load, by kind: every String, Real and Triple entry
// with an empty value slot for start-up to fill, every Integer and OnOff
// entry with its default.
struct IntegerDefault {
  preference::Index index;
  int32_t value;
};

using namespace preference;
const Index kStringPreferences[] = {
    BoundaryCondition,  CommandFilePath,   ComplexMappingDisplay, CurrentImageFileDir,
    DefaultActionState, DefaultColorMap,   DefaultComplexMapping, DefaultMappingMode,
    DefaultSlicing,     DerivativeFlavour, ImageFilePath};
const Index kOnPreferences[] = {BringToFrontOnDisplay, DisplayToFigure,    EnableKeyboard,
                                FileWriteWarning,      PutInCommandWindow, TrueSize};
const Index kOffPreferences[] = {DebugMode, DefaultGlobalStretch, RespectVisibility};
const IntegerDefault kIntegerDefaults[] = {{ComputationLimit, 65536}, {DefaultFigureHeight, 256},
                                           {DefaultFigureWidth, 256}, {ImageSizeLimit, 2048},
                                           {MorphologicalFlavour, 0}, {Truncation, 0}};
static_assert(std::size(kStringPreferences) + std::size(kOnPreferences) +
                      std::size(kOffPreferences) + std::size(kIntegerDefaults) + 2 ==
                  kPreferenceCount,
              "every preference has its kind, Gamma and GammaGrey included");

bool loadDefaultTable() {
  for (Index i : kStringPreferences) {
    defaultPreferences[i].kind = PreferenceKind::String;
    defaultPreferences[i].value.text = nullptr;
  }
  for (Index i : kOnPreferences) {
    defaultPreferences[i].kind = PreferenceKind::OnOff;
    defaultPreferences[i].value.integer = 1;
  }
  for (Index i : kOffPreferences) {
    defaultPreferences[i].kind = PreferenceKind::OnOff;
    defaultPreferences[i].value.integer = 0;
  }
  for (const IntegerDefault &d : kIntegerDefaults) {
    defaultPreferences[d.index].kind = PreferenceKind::Integer;
    defaultPreferences[d.index].value.integer = d.value;
  }
  defaultPreferences[Gamma].kind = PreferenceKind::Triple;
  defaultPreferences[Gamma].value.triple = nullptr;
  defaultPreferences[GammaGrey].kind = PreferenceKind::Real;
  defaultPreferences[GammaGrey].value.real = 0.0;
  return true;
}

[[maybe_unused]] const bool defaultTableLoaded = loadDefaultTable();

} // namespace

bool equalsIgnoringCase(const char *a, const char *b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (asciiLower(*a) != asciiLower(*b)) {
      return false;
    }
  }
  return *a == *b;
}

const char *preferenceName(int index) {
  return (index >= 0 && index < kPreferenceCount) ? kPreferenceNames[index] : nullptr;
}

const char *onOffWord(int32_t value) {
  return (value == 0 || value == 1) ? kOnOffWords[value] : nullptr;
}

int findPreference(const char *text) {
  for (int i = 0; i < kPreferenceCount; ++i) {
    if (equalsIgnoringCase(text, kPreferenceNames[i])) {
      return i;
    }
  }
  return -1;
}

int onOffFromWord(const char *word) {
  for (int32_t i = 0; i < 2; ++i) {
    if (equalsIgnoringCase(word, kOnOffWords[i])) {
      return i;
    }
  }
  return -1;
}

bool preferenceIntegerFromDouble(double x, int32_t *out) {
  if (x > 2147483647.0 || x < -2147483647.0) {
    return false;
  }
  *out = std::isnan(x) ? 0 : static_cast<int32_t>(x);
  return true;
}

void initPreferences() {
  for (int i = 0; i < kPreferenceCount; ++i) {
    PreferenceEntry &def = defaultPreferences[i];
    PreferenceEntry &cur = currentPreferences[i];
    switch (def.kind) {
    case PreferenceKind::String:
      def.value.text = kNoText;
      if (cur.value.text == nullptr) {
        char *buffer = static_cast<char *>(storeMemory().take(kStringBufferSize));
        buffer[0] = '\0';
        cur.value.text = buffer;
      }
      cur.kind = PreferenceKind::String;
      break;
    case PreferenceKind::Triple:
      if (def.value.triple == nullptr) {
        def.value.triple = newTriple();
      }
      if (cur.value.triple == nullptr) {
        cur.value.triple = newTriple();
      }
      cur.kind = PreferenceKind::Triple;
      break;
    default:
      cur = def;
      break;
    }
  }
  for (const DefaultWord &w : kDefaultWords) {
    defaultPreferences[w.index].value.text = w.word;
    std::memcpy(currentPreferences[w.index].value.text, w.word, std::strlen(w.word) + 1);
  }
  for (int k = 0; k < 3; ++k) {
    defaultPreferences[preference::Gamma].value.triple[k] = 1.0;
    currentPreferences[preference::Gamma].value.triple[k] = 1.0;
  }
  defaultPreferences[preference::GammaGrey].value.real = 1.0;
  currentPreferences[preference::GammaGrey].value.real = 1.0;
}

void applyPreferenceLimits(int index) {
  PreferenceEntry &cur = currentPreferences[index];
  switch (index) {
  case preference::ComputationLimit:
  case preference::DefaultFigureHeight:
  case preference::DefaultFigureWidth:
    if (cur.value.integer < 1) {
      cur.value.integer = defaultPreferences[index].value.integer;
    }
    break;
  case preference::ImageSizeLimit:
    if (cur.value.integer < 0) {
      cur.value.integer = 0;
    }
    break;
  case preference::Gamma:
    for (int k = 0; k < 3; ++k) {
      cur.value.triple[k] = clampGamma(cur.value.triple[k]);
    }
    break;
  case preference::GammaGrey:
    cur.value.real = clampGamma(cur.value.real);
    break;
  default:
    break;
  }
}

void releasePreferences() {
  // Kinds are taken from the default table, which holds them from load on,
  // so a start-up that stopped part-way is released correctly too.
  for (int i = 0; i < kPreferenceCount; ++i) {
    PreferenceEntry &def = defaultPreferences[i];
    PreferenceEntry &cur = currentPreferences[i];
    if (def.kind == PreferenceKind::String) {
      if (cur.value.text != nullptr) {
        storeMemory().giveBack(cur.value.text);
      }
      cur.value.text = nullptr;
      def.value.text = nullptr;
    } else if (def.kind == PreferenceKind::Triple) {
      if (def.value.triple != nullptr) {
        storeMemory().giveBack(def.value.triple);
      }
      if (cur.value.triple != nullptr) {
        storeMemory().giveBack(cur.value.triple);
      }
      def.value.triple = nullptr;
      cur.value.triple = nullptr;
    }
  }
}
