// What a call says: errors, which end it at the call boundary, warnings
// and printed text, which go to the transcript the tests read.
#include <cstdio>

#include "hoststate.h"

namespace embedded {

std::string formatv(const char *fmt, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0) {
    return std::string();
  }
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(&out[0], out.size(), fmt, ap);
  out.resize(static_cast<size_t>(n));
  return out;
}

namespace {

void emit(const std::string &text) {
  HostState &s = state();
  s.transcript += text;
  if (s.echo) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
}

} // namespace

} // namespace embedded

using namespace embedded;

namespace kalhost {

const std::string &transcript() { return state().transcript; }

const std::vector<std::string> &warnings() { return state().warnings; }

void clearTranscript() {
  state().transcript.clear();
  state().warnings.clear();
}

void setEcho(bool on) { state().echo = on; }

} // namespace kalhost

void mexErrMsgTxt(const char *msg) { raise(msg == nullptr ? "" : msg); }

void mexErrMsgIdAndTxt(const char *id, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = formatv(fmt, ap);
  va_end(ap);
  raise(text, id == nullptr ? "" : id);
}

void mexWarnMsgTxt(const char *msg) {
  const std::string text = msg == nullptr ? "" : msg;
  state().warnings.push_back(text);
  emit("Warning: " + text + "\n");
}

void mexWarnMsgIdAndTxt(const char *id, const char *fmt, ...) {
  (void)id;
  va_list ap;
  va_start(ap, fmt);
  std::string text = formatv(fmt, ap);
  va_end(ap);
  mexWarnMsgTxt(text.c_str());
}

int mexPrintf(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = formatv(fmt, ap);
  va_end(ap);
  emit(text);
  return static_cast<int>(text.size());
}
