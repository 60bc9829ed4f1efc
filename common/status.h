// The outcome of a module's operation that may refuse or fail: nothing, or
// an error with its identifier kalmex:MODULE:REASON and its whole message.
// It uses no host and owns no memory (the text lives in the record), so it
// may be alive when a host ends the call without unwinding; a gateway
// raises it through kxRaise (host/mexutil.h), the other front doors turn it
// into their own errors.
#ifndef KALMEX_COMMON_STATUS_H
#define KALMEX_COMMON_STATUS_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "reasons.h"

// Room for a message, its terminating zero included; a longer one is cut.
constexpr std::size_t kxStatusTextSize = 4096;

struct KxStatus {
  const char *module = nullptr; // the module whose error it is; null: no error
  KxReason reason = KxReason::badParameter;
  char text[kxStatusTextSize] = {};

  // True for an error.
  explicit operator bool() const { return module != nullptr; }
  // "kalmex:MODULE:REASON" into buf ("" for no error).
  void identifier(char *buf, std::size_t size) const {
    if (module == nullptr) {
      if (size > 0) {
        buf[0] = '\0';
      }
      return;
    }
    kxIdentifier(buf, size, module, reason);
  }
};

// Room for an identifier: "kalmex:", the longest module name and reason.
constexpr std::size_t kxIdentifierSize = 96;

// The error of MODULE for REASON with the message TEXT.
inline KxStatus kxFailure(const char *module, KxReason reason, const char *text) {
  KxStatus s;
  s.module = module;
  s.reason = reason;
  std::snprintf(s.text, sizeof s.text, "%s", text);
  return s;
}

// The same with a printf-style message.
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
inline KxStatus
kxFailuref(const char *module, KxReason reason, const char *format, ...) {
  KxStatus s;
  s.module = module;
  s.reason = reason;
  va_list args;
  va_start(args, format);
  std::vsnprintf(s.text, sizeof s.text, format, args);
  va_end(args);
  return s;
}

#endif
