// The driver shared by the fuzzers of the three image-library wrappers.
// Each call gets arbitrary arrays of every class and shape (often of the
// kind its position expects, so that the library operation is reached) and
// must end in success, in one of the wrappers' own messages, or in a text of
// the library (or the host's "Out of memory." when a host allocation was
// made to fail); afterwards neither the host nor the library holds anything.
#ifndef KALMEX_FUZZ_WRAPPER_FUZZ_H
#define KALMEX_FUZZ_WRAPPER_FUZZ_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzzinput.h"
#include "kal_testing.h"
#include "kalhost.h"

namespace kalfuzz {

// Makes the argument at 1-based position pos from the bytes.
using ArgumentMaker = mxArray *(*)(Bytes &in, int pos);

inline bool wrapperMessage(const std::string &e, int inputs) {
  if (e.empty() || e == "Out of memory." || e == "Wrong number of input arguments." ||
      e == "Wrong number of output arguments.") {
    return true;
  }
  // The library's texts name the operation that failed; a failed
  // conversion of an argument names the argument first.
  if (e.rfind("kal_", 0) == 0 || e.rfind("brx_", 0) == 0) {
    return true;
  }
  if (e.rfind("Argument ", 0) == 0) {
    const std::size_t colon = e.find("): ");
    if (colon != std::string::npos &&
        (e.compare(colon + 3, 4, "brx_") == 0 || e.compare(colon + 3, 4, "kal_") == 0)) {
      return true;
    }
  }
  static const char *const perArgument[] = {
      "Argument %d is invalid string.", "Argument %d should be a boolean.",
      "Argument %d should be a real scalar.", "Argument %d should be a string.",
      "Argument %d should be an integer scalar."};
  for (const char *fmt : perArgument) {
    for (int pos = 1; pos <= inputs; ++pos) {
      char buf[80];
      std::snprintf(buf, sizeof buf, fmt, pos);
      if (e == buf) {
        return true;
      }
    }
  }
  return false;
}

// A word: one of the table in random letter case, an empty array, or text.
inline mxArray *makeWord(Bytes &in, const char *const *words, int count) {
  const uint8_t pick = in.byte();
  if (pick < 200) {
    return mxCreateString(mixedCase(in, words[pick % count]).c_str());
  }
  if (pick < 215) {
    return mxCreateDoubleMatrix(0, 0, mxREAL);
  }
  return makeArray(in, 16);
}

// A scalar: mostly a small whole number, sometimes any double or array.
inline mxArray *makeScalar(Bytes &in) {
  const uint8_t pick = in.byte();
  if (pick < 160) {
    return mxCreateDoubleScalar(static_cast<int8_t>(in.byte()) % 5);
  }
  if (pick < 200) {
    return mxCreateDoubleScalar(in.f64());
  }
  if (pick < 215) {
    return mxCreateLogicalScalar(in.byte() & 1);
  }
  return makeArray(in, 16);
}

// A mask: empty, logical of the image's shape, or any array.
inline mxArray *makeMask(Bytes &in, const mxArray *image) {
  const uint8_t pick = in.byte();
  if (pick < 80) {
    return mxCreateDoubleMatrix(0, 0, mxREAL);
  }
  if (pick < 200 && image != nullptr && !mxIsCell(image) && !mxIsStruct(image)) {
    mxArray *m = mxCreateLogicalArray(mxGetNumberOfDimensions(image), mxGetDimensions(image));
    mxLogical *p = mxGetLogicals(m);
    for (std::size_t k = 0; k < mxGetNumberOfElements(m); ++k) {
      p[k] = in.byte() & 1;
    }
    return m;
  }
  return makeArray(in, 4096);
}

inline int runWrapper(const char *module, int inputs, ArgumentMaker make, const uint8_t *data,
                      std::size_t size) {
  Bytes in(data, size);
  const uint8_t counts = in.byte();
  const int nrhs = counts < 220 ? inputs : counts % (inputs + 3);
  const int nlhs = in.byte() < 230 ? 1 : in.byte() % 3;
  // Now and then a library or host allocation of the call fails.
  const uint8_t failure = in.byte();
  const int64_t objects = kal_LiveObjects();
  std::string error;
  {
    CallFrame frame;
    for (int pos = 1; pos <= nrhs; ++pos) {
      frame.inputs.push_back(pos == 2 && inputs != 5 && !frame.inputs.empty()
                                 ? makeMask(in, frame.inputs[0])
                                 : make(in, pos));
    }
    if (failure >= 240) {
      kal_TestFailAllocation(1 + failure % 8);
    } else if (failure >= 232) {
      kalhost::failAllocationAt(1 + failure % 4);
    }
    error = frame.call(module, nlhs);
    kal_TestReset();
    kalhost::failAllocationAt(0);
  }
  // A call that the host ended leaves its resource list to the module's
  // next call: a call without inputs releases it.
  if (error == "Out of memory.") {
    CallFrame next;
    next.call(module, 1);
  }
  if (!wrapperMessage(error, inputs)) {
    std::fprintf(stderr, "%s: unexpected error \"%s\"\n", module, error.c_str());
    std::abort();
  }
  if (kal_LiveObjects() != objects) {
    std::fprintf(stderr, "%s: %lld library objects left alive\n", module,
                 static_cast<long long>(kal_LiveObjects() - objects));
    std::abort();
  }
  kalhost::clearTranscript();
  return 0;
}

} // namespace kalfuzz

#endif
