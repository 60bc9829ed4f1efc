#include "mexutil.h"

#include "reasons.h"
#include "threadpool.h"

#include <csignal>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#if defined(MATLAB_MEX_FILE)
// MATLAB's own query (libut), which it answers without a call into MATLAB.
extern "C" bool utIsInterruptPending();
#elif defined(HAVE_OCTAVE)
// Octave's interrupt state (liboctave): above 0 while an interrupt is
// pending, which Octave acts on once the module returns.
extern "C" std::sig_atomic_t octave_interrupt_state;
#else
// The embedded host's flag (kalhost).
extern "C" int kalhostInterruptPending();
#endif

namespace {

// mwSize is unsigned in MATLAB and our host, signed 64-bit in Octave.
template <typename T> bool isNegative(T value) {
  if constexpr (std::is_signed_v<T>) {
    return value < 0;
  } else {
    (void)value;
    return false;
  }
}

// Octave's mxChar is an 8-bit char, MATLAB's and ours a 16-bit code unit.
template <typename T> unsigned charCode(T c) {
  if constexpr (sizeof(T) == 1) {
    return static_cast<unsigned char>(c);
  } else {
    return static_cast<unsigned>(c);
  }
}

} // namespace

int kxGetString(const mxArray *a, char *buf, mwSize buflen) {
  if (buf == nullptr || buflen == 0) {
    return 1;
  }
  buf[0] = '\0';
  if (a == nullptr || !mxIsChar(a)) {
    return 1;
  }
  const mxChar *chars = mxGetChars(a);
  const size_t count = mxGetNumberOfElements(a);
  const size_t room = static_cast<size_t>(buflen) - 1;
  const size_t copied = count < room ? count : room;
  for (size_t i = 0; i < copied; ++i) {
    const unsigned value = charCode(chars[i]);
    buf[i] = value < 256 ? static_cast<char>(value) : '?';
  }
  buf[copied] = '\0';
  return copied < count ? 1 : 0;
}

bool kxIsScalar(const mxArray *a) {
  return a != nullptr && mxIsNumeric(a) && !mxIsComplex(a) && !mxIsSparse(a) &&
         mxGetNumberOfElements(a) == 1;
}

bool mxIsIntScalar(const mxArray *a) {
  if (!kxIsScalar(a)) {
    return false;
  }
  const double value = mxGetScalar(a);
  return std::isfinite(value) && std::trunc(value) == value;
}

bool kxIsRealScalarValue(const mxArray *a) {
  return a != nullptr && (mxIsNumeric(a) || mxIsLogical(a)) && !mxIsComplex(a) && !mxIsSparse(a) &&
         mxGetNumberOfElements(a) == 1;
}

bool kxSizeToInt32(mwSize n, int32_t *out) {
  if (isNegative(n) || static_cast<unsigned long long>(n) > 2147483647ULL) {
    return false;
  }
  *out = static_cast<int32_t>(n);
  return true;
}

bool kxDims32(const mxArray *a, int32_t *dims, int capacity, int *ndims) {
  const mwSize count = mxGetNumberOfDimensions(a);
  if (isNegative(count) ||
      static_cast<unsigned long long>(count) > static_cast<unsigned long long>(capacity)) {
    return false;
  }
  const mwSize *sizes = mxGetDimensions(a);
  for (int i = 0; i < static_cast<int>(count); ++i) {
    if (!kxSizeToInt32(sizes[i], &dims[i])) {
      return false;
    }
  }
  *ndims = static_cast<int>(count);
  return true;
}

int kxThreadCount(const char *module) {
#if defined(MATLAB_MEX_FILE)
  // MATLAB's own setting (1 under -singleCompThread).  Octave and our
  // embedded host have none.
  mxArray *setting = nullptr;
  if (mexCallMATLAB(1, &setting, 0, nullptr, "maxNumCompThreads") == 0 && setting != nullptr) {
    const double value = kxIsScalar(setting) ? mxGetScalar(setting) : 0.0;
    mxDestroyArray(setting);
    if (value >= 1.0) {
      return value >= kxMaxThreads ? kxMaxThreads : static_cast<int>(value);
    }
  }
#endif
  char warning[kxThreadWarningSize];
  const int threads = kxEnvironmentThreads(warning, sizeof warning);
  if (warning[0] != '\0') {
    char id[80];
    kxIdentifier(id, sizeof id, module, KxReason::badThreadCount);
    mexWarnMsgIdAndTxt(id, "%s", warning);
  }
  return threads;
}

void *kxHostResize(void *block, size_t bytes) {
  const mwSize n = static_cast<mwSize>(bytes);
  return block == nullptr ? mxMalloc(n) : mxRealloc(block, n);
}

void kxHostRelease(void *block) { mxFree(block); }

mxArray *kxArrayOfBlock(void *block, size_t bytes, mxClassID cls, const mwSize *dims,
                        mwSize ndims) {
  mxArray *a = mxCreateNumericMatrix(0, 0, cls, mxREAL);
  if (block != nullptr) {
    mxFree(mxGetData(a)); // not every host frees the data that mxSetData displaces
    mxSetData(a, block);
  }
  if (mxSetDimensions(a, dims, ndims) == 0) {
    return a;
  }
  mxArray *copy = mxCreateNumericArray(ndims, dims, cls, mxREAL);
  if (bytes != 0) {
    std::memcpy(mxGetData(copy), mxGetData(a), bytes);
  }
  mxDestroyArray(a);
  return copy;
}

namespace {

#if defined(HAVE_OCTAVE)
// Calls Octave's function NAME(id, '%s', text).
void callWithText(const char *name, const char *id, const char *text) {
  mxArray *args[3] = {mxCreateString(id), mxCreateString("%s"), mxCreateString(text)};
  mexCallMATLAB(0, nullptr, 3, args, name);
  for (mxArray *a : args) {
    mxDestroyArray(a);
  }
}
#endif

} // namespace

void kxErrorVerbatim(const char *id, const char *text) {
#if defined(HAVE_OCTAVE)
  // With an interrupt pending Octave would stop in its own error function
  // before any caller could catch ours: then the host's prefix stays.
  if (!kxInterruptPending()) {
    callWithText("error", id, text); // does not return
  }
#endif
  mexErrMsgIdAndTxt(id, "%s", text);
  std::abort(); // not reached: a host's error ends the call
}

void kxWarningVerbatim(const char *id, const char *text) {
#if defined(HAVE_OCTAVE)
  callWithText("warning", id, text);
#else
  mexWarnMsgIdAndTxt(id, "%s", text);
#endif
}

void kxRaise(const KxStatus &status) {
  char id[kxIdentifierSize];
  status.identifier(id, sizeof id);
  mexErrMsgIdAndTxt(id, "%s", status.text);
  std::abort(); // not reached: a host's error ends the call
}

bool kxInterruptPending() {
#if defined(MATLAB_MEX_FILE)
  return utIsInterruptPending();
#elif defined(HAVE_OCTAVE)
  return octave_interrupt_state > 0;
#else
  return kalhostInterruptPending() != 0;
#endif
}
