#include "fuzzinput.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kalfuzz {

uint32_t Bytes::u32() {
  uint32_t v = 0;
  for (int k = 0; k < 4; ++k) {
    v |= static_cast<uint32_t>(byte()) << (8 * k);
  }
  return v;
}

double Bytes::f64() {
  // Mostly small whole numbers, sometimes any bit pattern (NaN, infinities).
  const uint8_t kind = byte();
  if (kind < 200) {
    return static_cast<double>(static_cast<int8_t>(byte()));
  }
  if (kind < 230) {
    return static_cast<double>(static_cast<int32_t>(u32())) / 16.0;
  }
  uint64_t bits = u32();
  bits |= static_cast<uint64_t>(u32()) << 32;
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

std::string Bytes::text(std::size_t max) {
  std::string s;
  const std::size_t n = byte() % (max + 1);
  for (std::size_t k = 0; k < n; ++k) {
    const char c = static_cast<char>(byte());
    if (c == '\0') {
      break;
    }
    s.push_back(c);
  }
  return s;
}

namespace {

const mxClassID kNumeric[] = {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT8_CLASS,   mxUINT8_CLASS,
                              mxINT16_CLASS,  mxUINT16_CLASS, mxINT32_CLASS,  mxUINT32_CLASS,
                              mxINT64_CLASS,  mxUINT64_CLASS, mxLOGICAL_CLASS};

void fillNumeric(Bytes &in, mxArray *a) {
  const std::size_t n = mxGetNumberOfElements(a);
  const std::size_t es = mxGetElementSize(a);
  auto fill = [&](void *data) {
    uint8_t *p = static_cast<uint8_t *>(data);
    if (mxIsDouble(a)) {
      for (std::size_t k = 0; k < n; ++k) {
        const double v = in.f64();
        std::memcpy(p + k * es, &v, es);
      }
    } else if (mxIsLogical(a)) {
      for (std::size_t k = 0; k < n; ++k) {
        p[k] = in.byte() & 1;
      }
    } else {
      for (std::size_t k = 0; k < n * es; ++k) {
        p[k] = in.byte();
      }
    }
  };
  fill(mxGetData(a));
  if (mxIsComplex(a)) {
    fill(mxGetImagData(a));
  }
}

} // namespace

mxArray *makeArray(Bytes &in, std::size_t maxElements, int depth) {
  const uint8_t kind = in.byte();
  // Shape: 0 to 4 dimensions of up to 17 each, capped in element count.
  const int ndim = in.byte() % 5;
  mwSize dims[4] = {1, 1, 1, 1};
  std::size_t count = 1;
  for (int k = 0; k < ndim; ++k) {
    mwSize d = in.byte() % 18;
    if (d != 0 && count * d > maxElements) {
      d = 1;
    }
    dims[k] = d;
    count *= d;
  }
  const mwSize nd = ndim < 2 ? 2 : static_cast<mwSize>(ndim);
  switch (kind % 16) {
  case 11: { // text
    const std::string s = in.text(300);
    return mxCreateString(s.c_str());
  }
  case 12: { // cell, possibly nested
    mxArray *c = mxCreateCellArray(nd, dims);
    const std::size_t n = mxGetNumberOfElements(c);
    for (std::size_t k = 0; k < n && k < 4 && depth < 2; ++k) {
      if (in.byte() & 1) {
        mxSetCell(c, k, makeArray(in, maxElements, depth + 1));
      }
    }
    return c;
  }
  case 13:
    return mxCreateStructMatrix(1, 1, 0, nullptr);
  case 14:
    return mxCreateSparse(dims[0], dims[1], 1, mxREAL);
  case 15: { // complex double
    mxArray *a = mxCreateNumericArray(nd, dims, mxDOUBLE_CLASS, mxCOMPLEX);
    fillNumeric(in, a);
    return a;
  }
  default: {
    mxArray *a = mxCreateNumericArray(nd, dims, kNumeric[kind % 16 % 11], mxREAL);
    fillNumeric(in, a);
    return a;
  }
  }
}

CallFrame::CallFrame() {
  arraysBefore = kalhost::liveArrays();
  blocksBefore = kalhost::liveBlocks();
}

CallFrame::~CallFrame() {
  for (mxArray *a : inputs) {
    mxDestroyArray(a);
  }
  if (kalhost::liveArrays() != arraysBefore || kalhost::liveBlocks() != blocksBefore) {
    std::fprintf(stderr, "kalfuzz: the call left %zd arrays and %zd blocks alive\n",
                 static_cast<std::ptrdiff_t>(kalhost::liveArrays() - arraysBefore),
                 static_cast<std::ptrdiff_t>(kalhost::liveBlocks() - blocksBefore));
    std::abort();
  }
}

std::string CallFrame::call(const char *module, int nlhs) {
  mxArray *out[8] = {nullptr};
  const kalhost::CallResult r = kalhost::call(module, nlhs, out, static_cast<int>(inputs.size()),
                                              const_cast<const mxArray **>(inputs.data()));
  for (mxArray *o : out) {
    if (o != nullptr) {
      mxDestroyArray(o);
    }
  }
  return r.ok ? std::string() : r.error;
}

namespace {

// What a call prints to standard output (the progress lines).
struct StdoutCapture {
  int saved = -1;
  FILE *file = nullptr;
  StdoutCapture() {
    std::fflush(stdout);
    file = std::tmpfile();
    saved = dup(1);
    dup2(fileno(file), 1);
  }
  std::string finish() {
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    std::rewind(file);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) {
      text.append(buf, n);
    }
    std::fclose(file);
    return text;
  }
};

// The segmentation's test hooks in a loaded module file: its count of live
// allocations and its failing allocation.
struct SegHooks {
  long (*live)() = nullptr;
  void (*failAt)(long) = nullptr;
};

SegHooks segHooks(const std::string &module) {
  SegHooks h;
  const std::string path = kalhost::defaultModuleDir() + "/" + module + ".so";
  if (void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    h.live = reinterpret_cast<long (*)()>(dlsym(lib, "regionseg_core_live_allocations"));
    h.failAt = reinterpret_cast<void (*)(long)>(dlsym(lib, "regionseg_core_fail_allocation_at"));
    dlclose(lib);
  }
  return h;
}

} // namespace

SegCall callSegmentation(const char *module, uint8_t failure, int hostPoints, int nlhs,
                         mxArray *out[], std::vector<mxArray *> &inputs) {
  static const SegHooks hooks = segHooks(module);
  SegCall c;
  c.moduleFailed = failure >= 224 && hooks.failAt != nullptr;
  const bool hostFailing = !c.moduleFailed && failure >= 216;
  if (c.moduleFailed) {
    hooks.failAt(1 + (failure - 224) * 3);
  } else if (hostFailing) {
    kalhost::failAllocationAt(1 + failure % hostPoints);
  }
  const long liveBefore = hooks.live != nullptr ? hooks.live() : 0;
  StdoutCapture capture;
  c.result = kalhost::call(module, nlhs, out, static_cast<int>(inputs.size()),
                           const_cast<const mxArray **>(inputs.data()));
  c.printed = capture.finish();
  if (c.moduleFailed) {
    hooks.failAt(0);
  }
  kalhost::failAllocationAt(0);
  c.hostEnded = hostFailing && !c.result.ok && c.result.error == "Out of memory.";
  if (c.hostEnded) {
    mxArray *none[1] = {nullptr};
    kalhost::call(module, 0, none, 0, nullptr);
  }
  if (hooks.live != nullptr && hooks.live() != liveBefore) {
    std::fprintf(stderr, "%s: the call left allocations of its own\n", module);
    std::abort();
  }
  return c;
}

void preload(const char *module) {
  kalhost::setSearchPath({kalhost::defaultModuleDir()});
  kalhost::setKeepCodeLoaded(true);
  mxArray *out[1] = {nullptr};
  kalhost::call(module, 0, out, 0, nullptr);
  if (out[0] != nullptr) {
    mxDestroyArray(out[0]);
  }
  kalhost::clearTranscript();
}

} // namespace kalfuzz
