#include "mexutil.h"

#include <cmath>
#include <cstddef>
#include <type_traits>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
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

double kxPhysicalMemoryBytes() {
#if defined(_WIN32)
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? static_cast<double>(status.ullTotalPhys) : 0.0;
#else
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGE_SIZE);
  return pages > 0 && page > 0 ? static_cast<double>(pages) * static_cast<double>(page) : 0.0;
#endif
}
