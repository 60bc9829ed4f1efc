// The reasons of the errors and warnings of every module, one word each:
// the last part of the identifier kalmex:MODULE:REASON that callers catch.
// A new error takes its word from this list (or adds one here); the words
// callers already catch stay as they are, drift included (kalsettings'
// wrongInputCount where the others say inputCount, tiffmend's noInput).
// tests/common/reasons_test.cpp fails on an identifier of the sources whose
// reason is not here.
#ifndef KALMEX_COMMON_REASONS_H
#define KALMEX_COMMON_REASONS_H

#include <cstddef>
#include <cstdio>

// clang-format off
#define KX_REASONS(X)                                                                              \
  /* the arguments of a call */                                                                    \
  X(inputCount) X(outputCount) X(noInput) X(wrongInputCount)                                       \
  /* an argument's value */                                                                        \
  X(badImage) X(badOption) X(badParameter) X(imageTooLarge) X(invalidInput) X(notReal)             \
  X(sparse) X(not2D) X(sizeMismatch) X(notString) X(unknownWord) X(notImage) X(notRealScalar)      \
  X(notInteger) X(notBoolean) X(badBoundary) X(badTruncation) X(nameNotText) X(variableNotText)    \
  X(unknownName) X(undefinedMode) X(invalidHandle) X(integerOverflow) X(notScalar) X(notOnOff)    \
  X(valueNotText) X(notTriple)                                                                     \
  /* a run or a store that could not do as asked */                                                \
  X(outOfMemory) X(interrupted) X(library) X(libraryError) X(storeFull) X(corruptTable)            \
  /* warnings */                                                                                   \
  X(snapshotBudget) X(lowRange) X(badThreadCount) X(clipped)
// clang-format on

enum class KxReason {
#define KX_REASON(word) word,
  KX_REASONS(KX_REASON)
#undef KX_REASON
};

#define KX_REASON(word) +1
constexpr int kxReasonCount = 0 KX_REASONS(KX_REASON);
#undef KX_REASON

// The reason's word ("badImage").  A switch rather than a table: a static
// inside an inline function becomes a GNU unique symbol, which keeps a
// module loaded after the host clears it.
inline const char *kxReasonWord(KxReason reason) {
  switch (reason) {
#define KX_REASON(REASON)                                                                          \
  case KxReason::REASON:                                                                           \
    return #REASON;
    KX_REASONS(KX_REASON)
#undef KX_REASON
  }
  return "";
}

// "kalmex:MODULE:REASON" into buf.
inline void kxIdentifier(char *buf, std::size_t size, const char *module, KxReason reason) {
  std::snprintf(buf, size, "kalmex:%s:%s", module, kxReasonWord(reason));
}

#endif
