// The embedded host's own records, shared by its parts: arrays.cpp (arrays),
// memory.cpp (host memory and call scopes), modules.cpp (module loading and
// life cycle), callbacks.cpp (registered functions and mexCallMATLAB) and
// messages.cpp (errors, warnings and printed text).  Not for modules or
// tests: they see only mex.h and kalhost.h.
#ifndef KALMEX_HOST_EMBEDDED_HOSTSTATE_H
#define KALMEX_HOST_EMBEDDED_HOSTSTATE_H

#include <cstdarg>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kalhost.h"

namespace embedded {
struct BlockHeader;
struct Frame;
} // namespace embedded

// A host array.
struct mxArray_tag {
  mxClassID cls = mxDOUBLE_CLASS;
  std::vector<mwSize> dims;
  size_t count = 0;
  size_t stored = 0; // elements held in re (and im)
  void *re = nullptr;
  void *im = nullptr;
  embedded::BlockHeader *reBlock = nullptr; // re's mxMalloc block, after mxSetData
  bool sparse = false;
  std::vector<mxArray *> cells;     // cell elements, or struct fields (count x nfields)
  std::vector<std::string> fields;  // struct field names
  embedded::Frame *frame = nullptr; // call scope that releases it, if any
  bool persistent = false;
};

namespace embedded {

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

inline constexpr uint64_t kBlockMagic = 0x6b616c626c6f636bULL; // "kalblock"

// An mxMalloc block.  A block handed to an array with mxSetData belongs to
// that array (owner) and is freed with it.
struct alignas(16) BlockHeader {
  uint64_t magic;
  size_t size;
  Frame *frame;
  mxArray *owner;
  bool persistent;
};

// A call scope: what a call made and has not handed on.
struct Frame {
  std::string name;
  Module *module = nullptr;
  std::unordered_set<mxArray *> arrays;
  std::unordered_set<BlockHeader *> blocks;
};

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

HostState &state();
// The innermost call scope, null outside any call.
Frame *currentFrame();
// Ends the current call with an error (caught at the call boundary).
[[noreturn]] void raise(const std::string &message, const std::string &id = std::string());

// Arrays (arrays.cpp).
size_t classElementSize(mxClassID cls);
// Registers a new array with the current call scope, if any.
void track(mxArray *a);
// Takes an array out of its call scope.
void untrack(mxArray *a);
// Frees the array's real data, the host's own or a block it was given.
void releaseData(mxArray *a);
void destroy(mxArray *a);

// Memory and call scopes (memory.cpp).
// Counts one allocation made inside a call and applies the failure hook.
void noteAllocation();
// The header of a block the module still owns (not handed to an array).
BlockHeader *ownBlockOf(void *ptr, const char *what);
void freeBlock(BlockHeader *h);
// Releases everything a finished call still holds.
void releaseFrame(Frame &f);
// Runs a module or registered function in a new call scope.
void invoke(const std::string &name, int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[]);

// Module loading and life cycle (modules.cpp).
// The loaded module of that name, loading it from the search path; null
// when there is none.
Module *loadModule(const std::string &name);

// Callbacks (callbacks.cpp).
// The registered function of that name, or null.
const kalhost::Function *registeredFunction(const std::string &name);

// Messages (messages.cpp).
std::string formatv(const char *fmt, va_list ap);

} // namespace embedded

#endif
