#include "preferences.h"

#include <cmath>
#include <cstring>

#include "mex.h"

namespace {

const char *const kNames[kPreferenceCount] = {"BoundaryCondition",
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
  int index;
  char *word;
};

// The String preferences with a word as default, in the order they are set.
const DefaultWord kDefaultWords[] = {
    {15, kWordBest},          {3, kWordComplexDisplay}, {7, kWordActionState}, {8, kWordColorMap},
    {9, kWordComplexMapping}, {13, kWordMappingMode},   {14, kWordSlicing},
};

constexpr double kGammaLow = 0.01;
constexpr double kGammaHigh = 100.0;

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(const char *a, const char *b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (asciiLower(*a) != asciiLower(*b)) {
      return false;
    }
  }
  return *a == *b;
}

PreferenceEntry integerEntry(int32_t value) {
  PreferenceEntry e{};
  e.kind = Integer;
  e.value.integer = value;
  return e;
}

PreferenceEntry onOffEntry(int32_t value) {
  PreferenceEntry e{};
  e.kind = OnOff;
  e.value.integer = value;
  return e;
}

// An entry whose value start-up fills in: an empty address, or 0.0.
PreferenceEntry kindEntry(PreferenceKind kind) {
  PreferenceEntry e{};
  e.kind = kind;
  if (kind == String) {
    e.value.text = nullptr;
  } else if (kind == Triple) {
    e.value.triple = nullptr;
  } else {
    e.value.real = 0.0;
  }
  return e;
}

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

double *newPersistentTriple() {
  double *block = static_cast<double *>(mxCalloc(3, sizeof(double)));
  mexMakeMemoryPersistent(block);
  return block;
}

} // namespace

PreferenceEntry defaultPreferences[kPreferenceCount] = {
    kindEntry(String),   // BoundaryCondition
    onOffEntry(1),       // BringToFrontOnDisplay
    kindEntry(String),   // CommandFilePath
    kindEntry(String),   // ComplexMappingDisplay
    integerEntry(65536), // ComputationLimit
    kindEntry(String),   // CurrentImageFileDir
    onOffEntry(0),       // DebugMode
    kindEntry(String),   // DefaultActionState
    kindEntry(String),   // DefaultColorMap
    kindEntry(String),   // DefaultComplexMapping
    integerEntry(256),   // DefaultFigureHeight
    integerEntry(256),   // DefaultFigureWidth
    onOffEntry(0),       // DefaultGlobalStretch
    kindEntry(String),   // DefaultMappingMode
    kindEntry(String),   // DefaultSlicing
    kindEntry(String),   // DerivativeFlavour
    onOffEntry(1),       // DisplayToFigure
    onOffEntry(1),       // EnableKeyboard
    onOffEntry(1),       // FileWriteWarning
    kindEntry(Triple),   // Gamma
    kindEntry(Real),     // GammaGrey
    kindEntry(String),   // ImageFilePath
    integerEntry(2048),  // ImageSizeLimit
    integerEntry(0),     // MorphologicalFlavour
    onOffEntry(1),       // PutInCommandWindow
    onOffEntry(0),       // RespectVisibility
    onOffEntry(1),       // TrueSize
    integerEntry(0),     // Truncation
};

PreferenceEntry currentPreferences[kPreferenceCount] = {};

const char *preferenceName(int index) {
  return (index >= 0 && index < kPreferenceCount) ? kNames[index] : nullptr;
}

const char *onOffWord(int32_t value) {
  return (value == 0 || value == 1) ? kOnOffWords[value] : nullptr;
}

int findPreference(const char *text) {
  for (int i = 0; i < kPreferenceCount; ++i) {
    if (equalsIgnoringCase(text, kNames[i])) {
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
    case String:
      def.value.text = kNoText;
      if (cur.value.text == nullptr) {
        char *buffer = static_cast<char *>(mxMalloc(kStringBufferSize));
        mexMakeMemoryPersistent(buffer);
        buffer[0] = '\0';
        cur.value.text = buffer;
      }
      cur.kind = String;
      break;
    case Triple:
      if (def.value.triple == nullptr) {
        def.value.triple = newPersistentTriple();
      }
      if (cur.value.triple == nullptr) {
        cur.value.triple = newPersistentTriple();
      }
      cur.kind = Triple;
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
    defaultPreferences[GammaIndex].value.triple[k] = 1.0;
    currentPreferences[GammaIndex].value.triple[k] = 1.0;
  }
  defaultPreferences[GammaGreyIndex].value.real = 1.0;
  currentPreferences[GammaGreyIndex].value.real = 1.0;
}

void applyPreferenceLimits(int index) {
  PreferenceEntry &cur = currentPreferences[index];
  switch (index) {
  case ComputationLimitIndex:
  case DefaultFigureHeightIndex:
  case DefaultFigureWidthIndex:
    if (cur.value.integer < 1) {
      cur.value.integer = defaultPreferences[index].value.integer;
    }
    break;
  case ImageSizeLimitIndex:
    if (cur.value.integer < 0) {
      cur.value.integer = 0;
    }
    break;
  case GammaIndex:
    for (int k = 0; k < 3; ++k) {
      cur.value.triple[k] = clampGamma(cur.value.triple[k]);
    }
    break;
  case GammaGreyIndex:
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
    if (def.kind == String) {
      if (cur.value.text != nullptr) {
        mxFree(cur.value.text);
      }
      cur.value.text = nullptr;
      def.value.text = nullptr;
    } else if (def.kind == Triple) {
      if (def.value.triple != nullptr) {
        mxFree(def.value.triple);
      }
      if (cur.value.triple != nullptr) {
        mxFree(cur.value.triple);
      }
      def.value.triple = nullptr;
      cur.value.triple = nullptr;
    }
  }
}
