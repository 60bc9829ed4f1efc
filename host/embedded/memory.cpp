// The embedded host's memory and call scopes: mxMalloc blocks, which a call
// releases when it ends unless they are made persistent or handed to an
// array, the scope every call runs in, and the counts and failure hook the
// tests read.
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>

#include "hoststate.h"

namespace embedded {

HostState &state() {
  static HostState s;
  return s;
}

Frame *currentFrame() {
  HostState &s = state();
  return s.frames.empty() ? nullptr : s.frames.back();
}

[[noreturn]] void raise(const std::string &message, const std::string &id) {
  throw HostError{message, id};
}

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

namespace {

BlockHeader *headerOf(void *ptr) {
  BlockHeader *h = static_cast<BlockHeader *>(ptr) - 1;
  if (h->magic != kBlockMagic) {
    std::fprintf(stderr, "kalhost: pointer %p was not allocated with mxMalloc\n", ptr);
    std::abort();
  }
  return h;
}

} // namespace

BlockHeader *ownBlockOf(void *ptr, const char *what) {
  BlockHeader *h = headerOf(ptr);
  if (h->owner != nullptr) {
    std::fprintf(stderr, "kalhost: %s of %p, which belongs to an array since mxSetData\n", what,
                 ptr);
    std::abort();
  }
  return h;
}

namespace {

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

} // namespace

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

// Runs a module or registered function in a new call scope.  Outputs are
// handed to the enclosing scope; on error everything the callee made is
// released and the error propagates.
void invoke(const std::string &name, int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[]) {
  HostState &s = state();
  const kalhost::Function *function = registeredFunction(name);
  Module *module = nullptr;
  if (function == nullptr) {
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
      kalhost::Function fn = *function; // the callee may unregister itself
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

} // namespace embedded

using namespace embedded;

namespace {

// Ctrl-C during a call: SIGINT is caught for the length of the outermost
// call, as the interactive hosts catch it, and a module that asks sees it
// (kxInterruptPending).  When the call is over, the program's own way with
// SIGINT is put back and the signal handed to it: a program that does not
// catch SIGINT still ends, one that does sees it, whether or not the module
// asked.  A program that ignores SIGINT keeps ignoring it.
volatile std::sig_atomic_t interruptCaught = 0;

extern "C" void catchInterrupt(int) { interruptCaught = 1; }

class InterruptScope {
public:
  InterruptScope() {
    interruptCaught = 0;
    struct sigaction caught = {};
    caught.sa_handler = catchInterrupt;
    sigemptyset(&caught.sa_mask);
    caught.sa_flags = SA_RESTART;
    installed_ = sigaction(SIGINT, &caught, &before_) == 0;
    if (installed_ && before_.sa_handler == SIG_IGN) {
      sigaction(SIGINT, &before_, nullptr);
      installed_ = false;
    }
  }
  ~InterruptScope() {
    if (!installed_) {
      return;
    }
    sigaction(SIGINT, &before_, nullptr);
    if (interruptCaught != 0) {
      interruptCaught = 0;
      std::raise(SIGINT);
    }
  }
  InterruptScope(const InterruptScope &) = delete;
  InterruptScope &operator=(const InterruptScope &) = delete;

private:
  struct sigaction before_ = {};
  bool installed_ = false;
};

} // namespace

extern "C" __attribute__((visibility("default"))) int kalhostInterruptPending() {
  return interruptCaught;
}

namespace kalhost {

CallResult call(const std::string &name, int nlhs, mxArray *plhs[], int nrhs,
                const mxArray *prhs[]) {
  CallResult result;
  HostState &s = state();
  const size_t depth = s.frames.size();
  std::unique_ptr<InterruptScope> interrupts;
  if (depth == 0) {
    interrupts = std::make_unique<InterruptScope>();
  }
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
