// The embedded host: arrays, host memory, call scopes, messages and module
// loading with MATLAB's documented semantics.  See kalhost.h.
#include "kalhost.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>

struct mxArray_tag {
  mxClassID cls = mxDOUBLE_CLASS;
  std::vector<mwSize> dims;
  size_t count = 0;
  size_t stored = 0; // elements held in re (and im)
  void *re = nullptr;
  void *im = nullptr;
  struct BlockHeader *reBlock = nullptr; // re's mxMalloc block, after mxSetData
  bool sparse = false;
  std::vector<mxArray *> cells;    // cell elements, or struct fields (count x nfields)
  std::vector<std::string> fields; // struct field names
  struct Frame *frame = nullptr;   // call scope that releases it, if any
  bool persistent = false;
};

namespace {

using MexFn = void (*)(int, mxArray *[], int, const mxArray *[]);

struct Module {
  std::string name;
  std::string path;
  void *handle = nullptr;
  MexFn fn = nullptr;
  int locks = 0;
  void (*exitFn)() = nullptr;
};

struct HostError {
  std::string message;
  std::string id;
};

constexpr uint64_t kBlockMagic = 0x6b616c626c6f636bULL; // "kalblock"

} // namespace

// An mxMalloc block.  A block handed to an array with mxSetData belongs to
// that array (owner) and is freed with it.
struct alignas(16) BlockHeader {
  uint64_t magic;
  size_t size;
  struct Frame *frame;
  mxArray *owner;
  bool persistent;
};

struct Frame {
  std::string name;
  Module *module = nullptr;
  std::unordered_set<mxArray *> arrays;
  std::unordered_set<BlockHeader *> blocks;
};

namespace {

struct HostState {
  std::vector<std::string> searchPath;
  std::map<std::string, std::unique_ptr<Module>> modules;
  std::map<std::string, kalhost::Function> functions;
  std::vector<Frame *> frames;
  std::string transcript;
  std::vector<std::string> warnings;
  bool echo = false;
  bool keepCode = false;
  std::unordered_map<void *, mxArray *> realData; // every array's real data, for mxFree
  size_t liveArrays = 0;
  size_t liveBlocks = 0;
  size_t persistentBlocks = 0;
  long allocations = 0;
  long failAt = 0;
};

HostState &state() {
  static HostState s;
  return s;
}

Frame *currentFrame() {
  HostState &s = state();
  return s.frames.empty() ? nullptr : s.frames.back();
}

[[noreturn]] void raise(const std::string &message, const std::string &id = std::string()) {
  throw HostError{message, id};
}

// Counts one allocation made inside a call and applies the failure hook.
void noteAllocation() {
  HostState &s = state();
  if (s.frames.empty()) {
    return;
  }
  ++s.allocations;
  if (s.failAt > 0 && s.allocations == s.failAt) {
    raise("Out of memory.", "MATLAB:nomem");
  }
}

size_t classElementSize(mxClassID cls) {
  switch (cls) {
  case mxDOUBLE_CLASS:
  case mxINT64_CLASS:
  case mxUINT64_CLASS:
    return 8;
  case mxSINGLE_CLASS:
  case mxINT32_CLASS:
  case mxUINT32_CLASS:
    return 4;
  case mxINT16_CLASS:
  case mxUINT16_CLASS:
  case mxCHAR_CLASS:
    return 2;
  case mxINT8_CLASS:
  case mxUINT8_CLASS:
  case mxLOGICAL_CLASS:
    return 1;
  case mxCELL_CLASS:
  case mxSTRUCT_CLASS:
    return sizeof(mxArray *);
  default:
    return 0;
  }
}

bool isNumericClass(mxClassID cls) { return cls >= mxDOUBLE_CLASS && cls <= mxUINT64_CLASS; }

// MATLAB keeps at least two dimensions and drops trailing singleton ones.
std::vector<mwSize> normaliseDims(mwSize ndim, const mwSize *dims) {
  std::vector<mwSize> out(dims, dims + ndim);
  while (out.size() > 2 && out.back() == 1) {
    out.pop_back();
  }
  while (out.size() < 2) {
    out.push_back(out.empty() ? 0 : 1);
  }
  return out;
}

size_t countOf(const std::vector<mwSize> &dims) {
  size_t n = 1;
  for (mwSize d : dims) {
    if (d != 0 && n > std::numeric_limits<size_t>::max() / d) {
      raise("Requested array exceeds the maximum possible size.");
    }
    n *= d;
  }
  return n;
}

void track(mxArray *a) {
  ++state().liveArrays;
  Frame *f = currentFrame();
  if (f != nullptr) {
    a->frame = f;
    f->arrays.insert(a);
  }
}

void untrack(mxArray *a) {
  if (a->frame != nullptr) {
    a->frame->arrays.erase(a);
    a->frame = nullptr;
  }
}

void attachData(mxArray *a, void *data, BlockHeader *block);

void *zeroedData(size_t count, size_t elementSize) {
  void *p = std::calloc(count == 0 ? 1 : count, elementSize == 0 ? 1 : elementSize);
  if (p == nullptr) {
    raise("Out of memory.", "MATLAB:nomem");
  }
  return p;
}

mxArray *newArray(mxClassID cls, mwSize ndim, const mwSize *dims, bool complex) {
  noteAllocation();
  auto a = std::make_unique<mxArray>();
  a->cls = cls;
  a->dims = normaliseDims(ndim, dims);
  a->count = countOf(a->dims);
  a->stored = a->count;
  const size_t es = classElementSize(cls);
  if (cls == mxCELL_CLASS) {
    a->cells.assign(a->count, nullptr);
  } else if (cls != mxSTRUCT_CLASS) {
    attachData(a.get(), zeroedData(a->count, es), nullptr);
    if (complex) {
      a->im = zeroedData(a->count, es);
    }
  }
  mxArray *raw = a.release();
  track(raw);
  return raw;
}

void freeBlock(BlockHeader *h);

// Gives the array its real data: the host's own (block null) or a block
// handed over with mxSetData.
void attachData(mxArray *a, void *data, BlockHeader *block) {
  a->re = data;
  a->reBlock = block;
  if (data != nullptr) {
    state().realData[data] = a;
  }
}

// Frees the array's real data, the host's own or a block it was given.
void releaseData(mxArray *a) {
  if (a->re != nullptr) {
    state().realData.erase(a->re);
  }
  if (a->reBlock != nullptr) {
    a->reBlock->owner = nullptr;
    freeBlock(a->reBlock);
  } else {
    std::free(a->re);
  }
  a->re = nullptr;
  a->reBlock = nullptr;
  a->stored = 0;
}

void destroy(mxArray *a) {
  if (a == nullptr) {
    return;
  }
  untrack(a);
  for (mxArray *c : a->cells) {
    destroy(c);
  }
  releaseData(a);
  std::free(a->im);
  --state().liveArrays;
  delete a;
}

// An array stored into a cell or a struct belongs to its container.
void adopt(mxArray *value) {
  if (value != nullptr) {
    untrack(value);
    value->persistent = false;
  }
}

BlockHeader *headerOf(void *ptr) {
  BlockHeader *h = static_cast<BlockHeader *>(ptr) - 1;
  if (h->magic != kBlockMagic) {
    std::fprintf(stderr, "kalhost: pointer %p was not allocated with mxMalloc\n", ptr);
    std::abort();
  }
  return h;
}

// The header of a block the module still owns (not handed to an array).
BlockHeader *ownBlockOf(void *ptr, const char *what) {
  BlockHeader *h = headerOf(ptr);
  if (h->owner != nullptr) {
    std::fprintf(stderr, "kalhost: %s of %p, which belongs to an array since mxSetData\n", what,
                 ptr);
    std::abort();
  }
  return h;
}

void *newBlock(size_t n, bool zero) {
  noteAllocation();
  if (n > std::numeric_limits<size_t>::max() - sizeof(BlockHeader)) {
    raise("Out of memory.", "MATLAB:nomem");
  }
  void *raw = zero ? std::calloc(1, sizeof(BlockHeader) + n) : std::malloc(sizeof(BlockHeader) + n);
  if (raw == nullptr) {
    raise("Out of memory.", "MATLAB:nomem");
  }
  BlockHeader *h = new (raw) BlockHeader{kBlockMagic, n, currentFrame(), nullptr, false};
  if (h->frame != nullptr) {
    h->frame->blocks.insert(h);
  }
  ++state().liveBlocks;
  return h + 1;
}

void freeBlock(BlockHeader *h) {
  HostState &s = state();
  if (h->frame != nullptr) {
    h->frame->blocks.erase(h);
  }
  if (h->persistent) {
    --s.persistentBlocks;
  }
  h->magic = 0;
  --s.liveBlocks;
  std::free(h);
}

// Releases everything a finished call still holds.
void releaseFrame(Frame &f) {
  while (!f.arrays.empty()) {
    destroy(*f.arrays.begin());
  }
  while (!f.blocks.empty()) {
    freeBlock(*f.blocks.begin());
  }
}

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

void emit(const std::string &text) {
  HostState &s = state();
  s.transcript += text;
  if (s.echo) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
}

Module *loadModule(const std::string &name) {
  HostState &s = state();
  auto it = s.modules.find(name);
  if (it != s.modules.end()) {
    return it->second.get();
  }
  for (const std::string &dir : s.searchPath) {
    const std::string path = dir + "/" + name + ".so";
    FILE *probe = std::fopen(path.c_str(), "rb");
    if (probe == nullptr) {
      continue;
    }
    std::fclose(probe);
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | (s.keepCode ? RTLD_NODELETE : 0));
    if (handle == nullptr) {
      raise(std::string("Invalid MEX-file '") + path + "': " + dlerror());
    }
    auto fn = reinterpret_cast<MexFn>(dlsym(handle, "mexFunction"));
    if (fn == nullptr) {
      dlclose(handle);
      raise(std::string("Invalid MEX-file '") + path + "': no mexFunction");
    }
    auto m = std::make_unique<Module>();
    m->name = name;
    m->path = path;
    m->handle = handle;
    m->fn = fn;
    Module *raw = m.get();
    s.modules[name] = std::move(m);
    return raw;
  }
  return nullptr;
}

// Runs a module or registered function in a new call scope.  Outputs are
// handed to the enclosing scope; on error everything the callee made is
// released and the error propagates.
void invoke(const std::string &name, int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[]) {
  HostState &s = state();
  auto fit = s.functions.find(name);
  Module *module = nullptr;
  if (fit == s.functions.end()) {
    module = loadModule(name);
    if (module == nullptr) {
      raise("Undefined function '" + name + "'.", "MATLAB:UndefinedFunction");
    }
  }
  const int slots = std::max(nlhs, 1);
  for (int i = 0; i < slots; ++i) {
    plhs[i] = nullptr;
  }
  Frame frame;
  frame.name = name;
  frame.module = module;
  Frame *parent = currentFrame();
  s.frames.push_back(&frame);
  try {
    if (module != nullptr) {
      module->fn(nlhs, plhs, nrhs, const_cast<const mxArray **>(prhs));
    } else {
      kalhost::Function fn = fit->second; // the callee may unregister itself
      fn(nlhs, plhs, nrhs, prhs);
    }
  } catch (...) {
    s.frames.pop_back();
    for (int i = 0; i < slots; ++i) {
      plhs[i] = nullptr;
    }
    releaseFrame(frame);
    throw;
  }
  s.frames.pop_back();
  for (int i = 0; i < slots; ++i) {
    mxArray *out = plhs[i];
    if (out == nullptr) {
      continue;
    }
    untrack(out);
    out->persistent = false;
    if (parent != nullptr) {
      out->frame = parent;
      parent->arrays.insert(out);
    }
  }
  releaseFrame(frame);
}

} // namespace

// ---------------------------------------------------------------- kalhost API

namespace kalhost {

void setSearchPath(const std::vector<std::string> &dirs) { state().searchPath = dirs; }

void addSearchPath(const std::string &dir) { state().searchPath.push_back(dir); }

std::string defaultModuleDir() {
  const char *env = std::getenv("KALMEX_MODULE_DIR");
  if (env != nullptr && *env != '\0') {
    return env;
  }
#ifdef KALMEX_DEFAULT_MODULE_DIR
  return KALMEX_DEFAULT_MODULE_DIR;
#else
  return ".";
#endif
}

CallResult call(const std::string &name, int nlhs, mxArray *plhs[], int nrhs,
                const mxArray *prhs[]) {
  CallResult result;
  HostState &s = state();
  const size_t depth = s.frames.size();
  try {
    invoke(name, nlhs, plhs, nrhs, const_cast<mxArray **>(prhs));
  } catch (const HostError &e) {
    result.ok = false;
    result.error = e.message;
    result.id = e.id;
  } catch (const std::bad_alloc &) {
    result.ok = false;
    result.error = "Out of memory.";
    result.id = "MATLAB:nomem";
  }
  s.frames.resize(depth);
  return result;
}

void registerFunction(const std::string &name, Function f) {
  state().functions[name] = std::move(f);
}

void unregisterFunction(const std::string &name) { state().functions.erase(name); }

bool clear(const std::string &name) {
  HostState &s = state();
  auto it = s.modules.find(name);
  if (it == s.modules.end() || it->second->locks > 0) {
    return false;
  }
  std::unique_ptr<Module> m = std::move(it->second);
  s.modules.erase(it);
  if (m->exitFn != nullptr) {
    Frame frame;
    frame.name = name;
    frame.module = m.get();
    s.frames.push_back(&frame);
    try {
      m->exitFn();
    } catch (const HostError &) {
      // An error in an exit callback cannot reach any caller.
    }
    s.frames.pop_back();
    releaseFrame(frame);
  }
  dlclose(m->handle);
  return true;
}

void clearAll() {
  std::vector<std::string> names;
  for (const auto &entry : state().modules) {
    names.push_back(entry.first);
  }
  for (const std::string &name : names) {
    clear(name);
  }
}

void setKeepCodeLoaded(bool on) { state().keepCode = on; }

bool isLoaded(const std::string &name) { return state().modules.count(name) != 0; }

bool isLocked(const std::string &name) {
  auto it = state().modules.find(name);
  return it != state().modules.end() && it->second->locks > 0;
}

const std::string &transcript() { return state().transcript; }

const std::vector<std::string> &warnings() { return state().warnings; }

void clearTranscript() {
  state().transcript.clear();
  state().warnings.clear();
}

void setEcho(bool on) { state().echo = on; }

std::size_t liveArrays() { return state().liveArrays; }

std::size_t liveBlocks() { return state().liveBlocks; }

std::size_t persistentBlocks() { return state().persistentBlocks; }

void failAllocationAt(long n) {
  state().failAt = n;
  state().allocations = 0;
}

long allocationCount() { return state().allocations; }

} // namespace kalhost

// ------------------------------------------------------------------ memory

void *mxMalloc(mwSize n) { return newBlock(n, false); }

void *mxCalloc(mwSize n, mwSize size) {
  if (size != 0 && n > std::numeric_limits<size_t>::max() / size) {
    raise("Out of memory.", "MATLAB:nomem");
  }
  return newBlock(n * size, true);
}

// The block itself is resized (in place where the C library can), so it
// keeps its scope and persistence.  On failure the call ends and the old
// block stays as it was, to be released with its scope.
void *mxRealloc(void *ptr, mwSize n) {
  if (ptr == nullptr) {
    return mxMalloc(n);
  }
  BlockHeader *old = ownBlockOf(ptr, "mxRealloc");
  noteAllocation();
  if (n > std::numeric_limits<size_t>::max() - sizeof(BlockHeader)) {
    raise("Out of memory.", "MATLAB:nomem");
  }
  Frame *frame = old->frame;
  if (frame != nullptr) {
    frame->blocks.erase(old);
  }
  void *raw = std::realloc(old, sizeof(BlockHeader) + n);
  if (raw == nullptr) {
    if (frame != nullptr) {
      frame->blocks.insert(old);
    }
    raise("Out of memory.", "MATLAB:nomem");
  }
  BlockHeader *h = static_cast<BlockHeader *>(raw);
  h->size = n;
  if (frame != nullptr) {
    frame->blocks.insert(h);
  }
  return h + 1;
}

// Also frees an array's real data (MATLAB's way of making room for
// mxSetData); the array is then left without data.
void mxFree(void *ptr) {
  if (ptr == nullptr) {
    return;
  }
  auto data = state().realData.find(ptr);
  if (data != state().realData.end()) {
    releaseData(data->second);
    return;
  }
  freeBlock(ownBlockOf(ptr, "mxFree"));
}

void mexMakeMemoryPersistent(void *ptr) {
  if (ptr == nullptr) {
    return;
  }
  BlockHeader *h = ownBlockOf(ptr, "mexMakeMemoryPersistent");
  if (h->frame != nullptr) {
    h->frame->blocks.erase(h);
    h->frame = nullptr;
  }
  if (!h->persistent) {
    h->persistent = true;
    ++state().persistentBlocks;
  }
}

void mexMakeArrayPersistent(mxArray *a) {
  if (a != nullptr) {
    untrack(a);
    a->persistent = true;
  }
}

// ----------------------------------------------------------------- creation

mxArray *mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag) {
  const mwSize dims[2] = {m, n};
  return newArray(mxDOUBLE_CLASS, 2, dims, flag == mxCOMPLEX);
}

mxArray *mxCreateDoubleScalar(double value) {
  mxArray *a = mxCreateDoubleMatrix(1, 1, mxREAL);
  *static_cast<double *>(a->re) = value;
  return a;
}

mxArray *mxCreateNumericMatrix(mwSize m, mwSize n, mxClassID classid, mxComplexity flag) {
  const mwSize dims[2] = {m, n};
  return mxCreateNumericArray(2, dims, classid, flag);
}

mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID classid,
                              mxComplexity flag) {
  if (!isNumericClass(classid) && classid != mxLOGICAL_CLASS && classid != mxCHAR_CLASS) {
    raise("mxCreateNumericArray: invalid class.");
  }
  return newArray(classid, ndim, dims, flag == mxCOMPLEX);
}

mxArray *mxCreateLogicalScalar(mxLogical value) {
  mxArray *a = mxCreateLogicalMatrix(1, 1);
  *static_cast<mxLogical *>(a->re) = value;
  return a;
}

mxArray *mxCreateLogicalMatrix(mwSize m, mwSize n) {
  const mwSize dims[2] = {m, n};
  return newArray(mxLOGICAL_CLASS, 2, dims, false);
}

mxArray *mxCreateLogicalArray(mwSize ndim, const mwSize *dims) {
  return newArray(mxLOGICAL_CLASS, ndim, dims, false);
}

mxArray *mxCreateString(const char *str) {
  const size_t len = str == nullptr ? 0 : std::strlen(str);
  const mwSize dims[2] = {len == 0 ? mwSize{0} : mwSize{1}, len};
  mxArray *a = newArray(mxCHAR_CLASS, 2, dims, false);
  mxChar *chars = static_cast<mxChar *>(a->re);
  for (size_t i = 0; i < len; ++i) {
    chars[i] = static_cast<mxChar>(static_cast<unsigned char>(str[i]));
  }
  return a;
}

mxArray *mxCreateCharArray(mwSize ndim, const mwSize *dims) {
  return newArray(mxCHAR_CLASS, ndim, dims, false);
}

mxArray *mxCreateCellMatrix(mwSize m, mwSize n) {
  const mwSize dims[2] = {m, n};
  return newArray(mxCELL_CLASS, 2, dims, false);
}

mxArray *mxCreateCellArray(mwSize ndim, const mwSize *dims) {
  return newArray(mxCELL_CLASS, ndim, dims, false);
}

mxArray *mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char **fieldnames) {
  const mwSize dims[2] = {m, n};
  mxArray *a = newArray(mxSTRUCT_CLASS, 2, dims, false);
  for (int i = 0; i < nfields; ++i) {
    a->fields.emplace_back(fieldnames[i]);
  }
  a->cells.assign(a->count * a->fields.size(), nullptr);
  return a;
}

mxArray *mxCreateSparse(mwSize m, mwSize n, mwSize nzmax, mxComplexity flag) {
  // Only the flag and a value block of nzmax entries are modelled: enough for
  // a module to see a sparse array and refuse it.
  const mwSize dims[2] = {nzmax == 0 ? 1 : nzmax, 1};
  mxArray *a = newArray(mxDOUBLE_CLASS, 2, dims, flag == mxCOMPLEX);
  a->dims = {m, n};
  a->count = countOf(a->dims);
  a->sparse = true;
  return a;
}

mxArray *mxDuplicateArray(const mxArray *src) {
  if (src == nullptr) {
    return nullptr;
  }
  noteAllocation();
  auto a = std::make_unique<mxArray>();
  a->cls = src->cls;
  a->dims = src->dims;
  a->count = src->count;
  a->sparse = src->sparse;
  a->fields = src->fields;
  const size_t es = classElementSize(src->cls);
  a->stored = src->stored;
  const size_t stored = src->stored;
  if (src->re != nullptr) {
    attachData(a.get(), zeroedData(stored, es), nullptr);
    std::memcpy(a->re, src->re, stored * es);
  }
  if (src->im != nullptr) {
    a->im = zeroedData(stored, es);
    std::memcpy(a->im, src->im, stored * es);
  }
  mxArray *raw = a.release();
  track(raw);
  for (mxArray *c : src->cells) {
    mxArray *copy = c == nullptr ? nullptr : mxDuplicateArray(c);
    adopt(copy);
    raw->cells.push_back(copy);
  }
  return raw;
}

void mxDestroyArray(mxArray *a) { destroy(a); }

// --------------------------------------------------------------- inspection

mxClassID mxGetClassID(const mxArray *a) { return a->cls; }

const char *mxGetClassName(const mxArray *a) {
  switch (a->cls) {
  case mxCELL_CLASS:
    return "cell";
  case mxSTRUCT_CLASS:
    return "struct";
  case mxLOGICAL_CLASS:
    return "logical";
  case mxCHAR_CLASS:
    return "char";
  case mxDOUBLE_CLASS:
    return "double";
  case mxSINGLE_CLASS:
    return "single";
  case mxINT8_CLASS:
    return "int8";
  case mxUINT8_CLASS:
    return "uint8";
  case mxINT16_CLASS:
    return "int16";
  case mxUINT16_CLASS:
    return "uint16";
  case mxINT32_CLASS:
    return "int32";
  case mxUINT32_CLASS:
    return "uint32";
  case mxINT64_CLASS:
    return "int64";
  case mxUINT64_CLASS:
    return "uint64";
  default:
    return "unknown";
  }
}

mwSize mxGetNumberOfDimensions(const mxArray *a) { return a->dims.size(); }

const mwSize *mxGetDimensions(const mxArray *a) { return a->dims.data(); }

// The data is not reallocated, as in MATLAB; dimensions whose elements it
// cannot hold are refused (cells and structs keep their count).
int mxSetDimensions(mxArray *a, const mwSize *dims, mwSize ndim) {
  std::vector<mwSize> fresh = normaliseDims(ndim, dims);
  const size_t count = countOf(fresh);
  const bool container = a->cls == mxCELL_CLASS || a->cls == mxSTRUCT_CLASS;
  if (a->sparse || (count != a->count && (container || count > a->stored))) {
    return 1;
  }
  a->dims = fresh;
  a->count = count;
  return 0;
}

size_t mxGetM(const mxArray *a) { return a->dims[0]; }

size_t mxGetN(const mxArray *a) {
  size_t n = 1;
  for (size_t i = 1; i < a->dims.size(); ++i) {
    n *= a->dims[i];
  }
  return n;
}

size_t mxGetNumberOfElements(const mxArray *a) { return a->count; }

size_t mxGetElementSize(const mxArray *a) { return classElementSize(a->cls); }

double *mxGetPr(const mxArray *a) { return static_cast<double *>(a->re); }

double *mxGetPi(const mxArray *a) { return static_cast<double *>(a->im); }

void *mxGetData(const mxArray *a) { return a->re; }

void mxSetData(mxArray *a, void *data) {
  if (a == nullptr || a->cls == mxCELL_CLASS || a->cls == mxSTRUCT_CLASS || a->sparse ||
      data == a->re) {
    return;
  }
  BlockHeader *h = data == nullptr ? nullptr : ownBlockOf(data, "mxSetData");
  releaseData(a);
  if (h != nullptr) {
    // The block leaves its call's scope and any persistence: it lives as
    // long as the array.
    if (h->frame != nullptr) {
      h->frame->blocks.erase(h);
      h->frame = nullptr;
    }
    if (h->persistent) {
      h->persistent = false;
      --state().persistentBlocks;
    }
    h->owner = a;
    const size_t es = classElementSize(a->cls);
    a->stored = es == 0 ? 0 : h->size / es;
  }
  attachData(a, data, h);
}

void *mxGetImagData(const mxArray *a) { return a->im; }

mxLogical *mxGetLogicals(const mxArray *a) {
  return a->cls == mxLOGICAL_CLASS ? static_cast<mxLogical *>(a->re) : nullptr;
}

mxChar *mxGetChars(const mxArray *a) {
  return a->cls == mxCHAR_CLASS ? static_cast<mxChar *>(a->re) : nullptr;
}

double mxGetScalar(const mxArray *a) {
  if (a == nullptr || a->re == nullptr || a->count == 0) {
    return 0.0;
  }
  switch (a->cls) {
  case mxDOUBLE_CLASS:
    return *static_cast<const double *>(a->re);
  case mxSINGLE_CLASS:
    return *static_cast<const float *>(a->re);
  case mxINT8_CLASS:
    return *static_cast<const int8_t *>(a->re);
  case mxUINT8_CLASS:
    return *static_cast<const uint8_t *>(a->re);
  case mxINT16_CLASS:
    return *static_cast<const int16_t *>(a->re);
  case mxUINT16_CLASS:
    return *static_cast<const uint16_t *>(a->re);
  case mxINT32_CLASS:
    return *static_cast<const int32_t *>(a->re);
  case mxUINT32_CLASS:
    return *static_cast<const uint32_t *>(a->re);
  case mxINT64_CLASS:
    return static_cast<double>(*static_cast<const int64_t *>(a->re));
  case mxUINT64_CLASS:
    return static_cast<double>(*static_cast<const uint64_t *>(a->re));
  case mxLOGICAL_CLASS:
    return *static_cast<const mxLogical *>(a->re) ? 1.0 : 0.0;
  case mxCHAR_CLASS:
    return *static_cast<const mxChar *>(a->re);
  default:
    return 0.0;
  }
}

int mxGetString(const mxArray *a, char *buf, mwSize buflen) {
  // MATLAB's documented behaviour: at most buflen - 1 characters and a zero.
  if (buf == nullptr || buflen == 0) {
    return 1;
  }
  buf[0] = '\0';
  if (a == nullptr || a->cls != mxCHAR_CLASS) {
    return 1;
  }
  const mxChar *chars = static_cast<const mxChar *>(a->re);
  const size_t copied = std::min(a->count, static_cast<size_t>(buflen) - 1);
  for (size_t i = 0; i < copied; ++i) {
    buf[i] = chars[i] < 256 ? static_cast<char>(chars[i]) : '?';
  }
  buf[copied] = '\0';
  return copied < a->count ? 1 : 0;
}

char *mxArrayToString(const mxArray *a) {
  if (a == nullptr || a->cls != mxCHAR_CLASS) {
    return nullptr;
  }
  char *out = static_cast<char *>(mxMalloc(a->count + 1));
  mxGetString(a, out, a->count + 1);
  return out;
}

mxArray *mxGetCell(const mxArray *a, mwIndex i) {
  if (a == nullptr || a->cls != mxCELL_CLASS || i >= a->cells.size()) {
    return nullptr;
  }
  return a->cells[i];
}

void mxSetCell(mxArray *a, mwIndex i, mxArray *value) {
  if (a == nullptr || a->cls != mxCELL_CLASS || i >= a->cells.size()) {
    return;
  }
  adopt(value);
  a->cells[i] = value;
}

int mxGetNumberOfFields(const mxArray *a) {
  return a->cls == mxSTRUCT_CLASS ? static_cast<int>(a->fields.size()) : 0;
}

static int fieldIndex(const mxArray *a, const char *name) {
  for (size_t f = 0; f < a->fields.size(); ++f) {
    if (a->fields[f] == name) {
      return static_cast<int>(f);
    }
  }
  return -1;
}

mxArray *mxGetField(const mxArray *a, mwIndex i, const char *name) {
  if (a == nullptr || a->cls != mxSTRUCT_CLASS || i >= a->count) {
    return nullptr;
  }
  const int f = fieldIndex(a, name);
  return f < 0 ? nullptr : a->cells[i * a->fields.size() + static_cast<size_t>(f)];
}

void mxSetField(mxArray *a, mwIndex i, const char *name, mxArray *value) {
  if (a == nullptr || a->cls != mxSTRUCT_CLASS || i >= a->count) {
    return;
  }
  const int f = fieldIndex(a, name);
  if (f >= 0) {
    adopt(value);
    a->cells[i * a->fields.size() + static_cast<size_t>(f)] = value;
  }
}

bool mxIsDouble(const mxArray *a) { return a->cls == mxDOUBLE_CLASS; }
bool mxIsSingle(const mxArray *a) { return a->cls == mxSINGLE_CLASS; }
bool mxIsInt8(const mxArray *a) { return a->cls == mxINT8_CLASS; }
bool mxIsUint8(const mxArray *a) { return a->cls == mxUINT8_CLASS; }
bool mxIsInt16(const mxArray *a) { return a->cls == mxINT16_CLASS; }
bool mxIsUint16(const mxArray *a) { return a->cls == mxUINT16_CLASS; }
bool mxIsInt32(const mxArray *a) { return a->cls == mxINT32_CLASS; }
bool mxIsUint32(const mxArray *a) { return a->cls == mxUINT32_CLASS; }
bool mxIsInt64(const mxArray *a) { return a->cls == mxINT64_CLASS; }
bool mxIsUint64(const mxArray *a) { return a->cls == mxUINT64_CLASS; }
bool mxIsChar(const mxArray *a) { return a->cls == mxCHAR_CLASS; }
bool mxIsLogical(const mxArray *a) { return a->cls == mxLOGICAL_CLASS; }
bool mxIsNumeric(const mxArray *a) { return isNumericClass(a->cls); }
bool mxIsCell(const mxArray *a) { return a->cls == mxCELL_CLASS; }
bool mxIsStruct(const mxArray *a) { return a->cls == mxSTRUCT_CLASS; }
bool mxIsComplex(const mxArray *a) { return a->im != nullptr; }
bool mxIsSparse(const mxArray *a) { return a->sparse; }
bool mxIsEmpty(const mxArray *a) { return a->count == 0; }
// MATLAB's own rule: any array of one element (text and cells included).
bool mxIsScalar(const mxArray *a) { return a->count == 1; }
bool mxIsClass(const mxArray *a, const char *name) {
  return std::strcmp(mxGetClassName(a), name) == 0;
}
bool mxIsNaN(double x) { return std::isnan(x); }
bool mxIsInf(double x) { return std::isinf(x); }
bool mxIsFinite(double x) { return std::isfinite(x); }
double mxGetNaN(void) { return std::numeric_limits<double>::quiet_NaN(); }
double mxGetInf(void) { return std::numeric_limits<double>::infinity(); }
double mxGetEps(void) { return std::numeric_limits<double>::epsilon(); }

// ------------------------------------------------------------------- mex

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

int mexCallMATLAB(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], const char *name) {
  invoke(name == nullptr ? "" : name, nlhs, plhs, nrhs, prhs);
  return 0;
}

static Module *callingModule() {
  HostState &s = state();
  for (auto it = s.frames.rbegin(); it != s.frames.rend(); ++it) {
    if ((*it)->module != nullptr) {
      return (*it)->module;
    }
  }
  return nullptr;
}

void mexLock(void) {
  if (Module *m = callingModule()) {
    ++m->locks;
  }
}

void mexUnlock(void) {
  Module *m = callingModule();
  if (m != nullptr && m->locks > 0) {
    --m->locks;
  }
}

bool mexIsLocked(void) {
  Module *m = callingModule();
  return m != nullptr && m->locks > 0;
}

int mexAtExit(void (*callback)(void)) {
  if (Module *m = callingModule()) {
    m->exitFn = callback; // as in MATLAB, the latest registration counts
  }
  return 0;
}

const char *mexFunctionName(void) {
  Frame *f = currentFrame();
  return f == nullptr ? "" : f->name.c_str();
}
