// The embedded host: an in-process implementation of the MEX interface.
//
// Tests and the command-line tools load the very module files that ship
// (dlopen, found by name on a search path) and call them through call().
// Within a call, mxMalloc/mxCalloc blocks and arrays created by the module
// are released when the call ends, unless made persistent, returned in plhs,
// or (blocks) handed to an array with mxSetData, which then owns them.  mexErrMsgTxt unwinds to the
// call boundary, which reports the text. mexPrintf and mexWarnMsgTxt go to a transcript that tests
// read.  The host counts live arrays and blocks so a test can assert that nothing was left.
#ifndef KALMEX_HOST_KALHOST_H
#define KALMEX_HOST_KALHOST_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "mex.h"

namespace kalhost {

struct CallResult {
  bool ok = true;
  std::string error; // the text given to mexErrMsgTxt when !ok
  std::string id;    // the identifier of mexErrMsgIdAndTxt, if any
};

// A function registered with the host and reachable by mexCallMATLAB (and by
// call()).  Errors are raised with mexErrMsgTxt as in a module.
using Function = std::function<void(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[])>;

// Module search path: directories searched in order for NAME.so.
void setSearchPath(const std::vector<std::string> &dirs);
void addSearchPath(const std::string &dir);
// Directory of the built modules, from KALMEX_MODULE_DIR or the build tree.
std::string defaultModuleDir();

// Calls a module or registered function by name.  The arrays stored in plhs
// belong to the caller afterwards (release them with mxDestroyArray).  On
// error, plhs is left with null entries and nothing the callee made remains.
CallResult call(const std::string &name, int nlhs, mxArray *plhs[], int nrhs,
                const mxArray *prhs[]);

void registerFunction(const std::string &name, Function f);
void unregisterFunction(const std::string &name);

// "clear NAME": does nothing for a locked module; otherwise runs its exit
// callbacks and unloads it, so the next call loads it afresh.  Returns true
// when the module was unloaded.
bool clear(const std::string &name);
// "clear all": clears every loaded module that is not locked.
void clearAll();
bool isLoaded(const std::string &name);
// Keep module code mapped after a clear (exit callbacks still run and the
// next call still "loads" the module, but its static data is not reset by
// the loader).  For coverage-guided fuzzing, whose counters live in the
// module's own memory.
void setKeepCodeLoaded(bool on);
bool isLocked(const std::string &name);

// Text that mexPrintf and mexWarnMsgTxt produced (warnings as
// "Warning: TEXT\n"), and the warnings alone.
const std::string &transcript();
const std::vector<std::string> &warnings();
void clearTranscript();
// Also write printed text to standard output (the command-line tools).
void setEcho(bool on);

// Live counts over the whole process: every array not yet destroyed
// (including persistent ones and those owned by the caller), and every
// mxMalloc/mxCalloc block not yet freed (a block given to an array with
// mxSetData is freed with the array).
std::size_t liveArrays();
std::size_t liveBlocks();
std::size_t persistentBlocks();

// Test hook: the n-th host allocation from now (blocks and arrays, 1-based)
// fails as in MATLAB, ending the call with "Out of memory." 0 turns it off.
void failAllocationAt(long n);
// Number of host allocations since the last failAllocationAt().
long allocationCount();

} // namespace kalhost

#endif
