// The option words of the wrapper modules and the lookup every caller of
// their operations uses (the modules and the Python binding): no host
// interface here.
#ifndef KALMEX_WRAPPERS_WRAPPER_WORDS_H
#define KALMEX_WRAPPERS_WRAPPER_WORDS_H

#include <cstdint>

// One entry of a word table: the option word and the code it stands for.
struct WordCode {
  const char *word;
  int32_t code;
};

// Option words are read into buffers of this size (at most 49 characters).
const int kWordBufferSize = 50;

// kal_peakfit's methods.
inline constexpr WordCode kPeakMethods[] = {
    {"default", 0}, {"linear", 1}, {"parabolic", 5}, {"gaussian", 6}, {"bspline", 4},
};
// kal_turnvolume's interpolations and fill modes.
inline constexpr WordCode kInterpolations[] = {
    {"default", 0},  {"bspline", 1}, {"4-cubic", 2}, {"3-cubic", 3},
    {"bilinear", 4}, {"linear", 4},  {"zoh", 5},
};
inline constexpr WordCode kFills[] = {
    {"default", 0},
    {"zero", 1},
    {"max", 2},
    {"min", 3},
};

// The argument faults, "%d" standing for the argument's 1-based position.
inline constexpr const char *kNotStringMessage = "Argument %d should be a string.";
inline constexpr const char *kUnknownWordMessage = "Argument %d is invalid string.";
inline constexpr const char *kNotRealScalarMessage = "Argument %d should be a real scalar.";
inline constexpr const char *kNotIntegerMessage = "Argument %d should be an integer scalar.";
inline constexpr const char *kNotBooleanMessage = "Argument %d should be a boolean.";

// Compares two words without regard to (ASCII) case.
inline bool frameSameWord(const char *a, const char *b) {
  for (;; ++a, ++b) {
    const char ca = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
    const char cb = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (ca != cb) {
      return false;
    }
    if (ca == '\0') {
      return true;
    }
  }
}

// The code of a word of the table (already cut to kWordBufferSize - 1
// characters); false when it is none of them.
template <int Entries>
inline bool lookupWord(const WordCode (&table)[Entries], const char *word, int32_t *code) {
  for (const WordCode &entry : table) {
    if (frameSameWord(word, entry.word)) {
      *code = entry.code;
      return true;
    }
  }
  return false;
}

#endif
