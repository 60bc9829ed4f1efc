// kalsettings on arbitrary sequences of calls.  Every call succeeds or ends
// with one of the module's own messages and identifiers; after every
// successful set the stored values keep their limits; after unlocking and
// clearing the module nothing it allocated is left.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzzinput.h"
#include "kalhost.h"
#include "preferences.h"
#include "toolbox_standins.h"

namespace {

bool knownMessage(const std::string &e) {
  static const char *const plain[] = {"",
                                      "Wrong number of input arguments.",
                                      "Undefined MODE.",
                                      "Preference name must be a string.",
                                      "Unknown preference name.",
                                      "Overflow in double to int conversion.",
                                      "Variable names must be strings.",
                                      "Invalid figure handle.",
                                      "Variable name buffer full.",
                                      "kal_getboundary must return a non-empty cell array.",
                                      "kal_gettruncation must return a value.",
                                      "Out of memory."};
  for (const char *p : plain) {
    if (e == p) {
      return true;
    }
  }
  static const char *const perName[] = {"Expected a scalar value for preference '%s'.",
                                        "Expected either 'on' or 'off' for preference '%s'.",
                                        "Expected a string value for preference '%s'.",
                                        "Expected an array of length 3 for preference '%s'."};
  for (const char *fmt : perName) {
    for (const char *name : kPreferenceNames) {
      char buf[160];
      std::snprintf(buf, sizeof buf, fmt, name);
      if (e == buf) {
        return true;
      }
    }
  }
  return false;
}

// A preference name in random letter case, or arbitrary text.
mxArray *makeName(kalfuzz::Bytes &in) {
  const uint8_t pick = in.byte();
  if (pick < 200) {
    return mxCreateString(
        kalfuzz::mixedCase(in, kPreferenceNames[pick % kPreferenceCount]).c_str());
  }
  return kalfuzz::makeArray(in, 64);
}

mxArray *makeValue(kalfuzz::Bytes &in) {
  switch (in.byte() % 6) {
  case 0:
    return mxCreateString((in.byte() & 1) ? "On" : "off");
  case 1:
    return mxCreateDoubleScalar(in.f64());
  case 2: {
    mxArray *a = mxCreateDoubleMatrix(1, 3, mxREAL);
    for (int k = 0; k < 3; ++k) {
      mxGetPr(a)[k] = in.f64();
    }
    return a;
  }
  case 3: {
    const std::string s(static_cast<std::size_t>(in.byte()) * 40, 'x');
    return mxCreateString(s.c_str());
  }
  default:
    return kalfuzz::makeArray(in, 64);
  }
}

void checkLimits() {
  mxArray *in[2] = {mxCreateDoubleScalar(0), nullptr};
  mxArray *out[1] = {nullptr};
  auto readBack = [&](const char *name) -> mxArray * {
    in[1] = mxCreateString(name);
    const kalhost::CallResult r =
        kalhost::call("kalsettings", 1, out, 2, const_cast<const mxArray **>(in));
    mxDestroyArray(in[1]);
    return r.ok ? out[0] : nullptr;
  };
  auto fail = [](const char *what) {
    std::fprintf(stderr, "kalsettings: %s out of its limits\n", what);
    std::abort();
  };
  for (const char *name : {"ComputationLimit", "DefaultFigureHeight", "DefaultFigureWidth"}) {
    mxArray *v = readBack(name);
    if (v != nullptr && mxGetScalar(v) < 1) {
      fail(name);
    }
    mxDestroyArray(v);
  }
  if (mxArray *v = readBack("ImageSizeLimit")) {
    if (mxGetScalar(v) < 0) {
      fail("ImageSizeLimit");
    }
    mxDestroyArray(v);
  }
  if (mxArray *v = readBack("Gamma")) {
    for (int k = 0; k < 3; ++k) {
      const double g = mxGetPr(v)[k];
      if (!std::isnan(g) && (g < 0.01 || g > 100)) {
        fail("Gamma");
      }
    }
    mxDestroyArray(v);
  }
  if (mxArray *v = readBack("DefaultColorMap")) {
    if (mxGetNumberOfElements(v) > 4095) {
      fail("DefaultColorMap");
    }
    mxDestroyArray(v);
  }
  mxDestroyArray(in[0]);
}

void unloadModule() {
  mxArray *in[1] = {mxCreateDoubleScalar(999)};
  mxArray *out[1] = {nullptr};
  kalhost::call("kalsettings", 0, out, 1, const_cast<const mxArray **>(in));
  mxDestroyArray(in[0]);
  kalhost::clear("kalsettings");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kaltest::registerToolboxStandIns();
  kalfuzz::preload("kalsettings");
  unloadModule();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  kalfuzz::Bytes in(data, size);
  const std::size_t arrays = kalhost::liveArrays(), blocks = kalhost::liveBlocks();
  for (int step = 0; step < 16 && !in.empty(); ++step) {
    std::vector<mxArray *> args;
    const uint8_t mode = in.byte();
    if (mode < 240) {
      args.push_back(mxCreateDoubleScalar(mode % 6 == 5 ? 999.0 : mode % 6));
    } else {
      args.push_back(kalfuzz::makeArray(in, 8));
    }
    const int extra = in.byte() % 5;
    for (int k = 0; k < extra; ++k) {
      args.push_back((k % 2 == 0) ? makeName(in) : makeValue(in));
    }
    mxArray *out[1] = {nullptr};
    const int nlhs = in.byte() % 2;
    const kalhost::CallResult r =
        kalhost::call("kalsettings", nlhs, out, static_cast<int>(args.size()),
                      const_cast<const mxArray **>(args.data()));
    if (out[0] != nullptr) {
      mxDestroyArray(out[0]);
    }
    for (mxArray *a : args) {
      mxDestroyArray(a);
    }
    if (!knownMessage(r.ok ? std::string() : r.error)) {
      std::fprintf(stderr, "kalsettings: unexpected error \"%s\"\n", r.error.c_str());
      std::abort();
    }
    // Every error of the module carries its identifier; the host's own is
    // the only other one.
    if (!r.ok && r.id.rfind("kalmex:kalsettings:", 0) != 0 && r.id != "MATLAB:nomem") {
      std::fprintf(stderr, "kalsettings: \"%s\" has the identifier \"%s\"\n", r.error.c_str(),
                   r.id.c_str());
      std::abort();
    }
    if (r.ok && mode % 6 == 1) {
      checkLimits();
    }
    kalhost::clearTranscript();
  }
  unloadModule();
  if (kalhost::liveArrays() != arrays || kalhost::liveBlocks() != blocks) {
    std::fprintf(stderr, "kalsettings: %zu arrays and %zu blocks left after a clear\n",
                 kalhost::liveArrays() - arrays, kalhost::liveBlocks() - blocks);
    std::abort();
  }
  return 0;
}
