// kalsettings(MODE, ...): the toolbox's store of preferences and of figures
// bound to variable names.  MODE 0 reads, 1 sets, 2 asks for the figure of a
// variable, 3 binds a variable to a figure, 4 forgets all bindings, 999
// unlocks the module.  The module starts on its first call and locks itself
// in memory, so the values last until it is unlocked and cleared; its exit
// callback then releases every block it holds.
//
// This file is the module's gateway and holds every host call; the tables
// and the figure store (preferences.h, figurenames.h) are plain C++ and get
// their blocks from the host's persistent memory through storememory.h.
//
// Every error carries an identifier kalmex:kalsettings:REASON.  No local
// object here owns memory: every failure leaves through kxRaise
// (mexErrMsgIdAndTxt), which does not promise to run destructors.  Texts are read into fixed
// buffers.
#include <cmath>
#include <cstdio>

#include "figurenames.h"
#include "mex.h"
#include "mexutil.h"
#include "preferences.h"
#include "storememory.h"

namespace {

enum Mode : int32_t {
  ReadMode = 0,
  SetMode = 1,
  FigureMode = 2,
  BindMode = 3,
  ForgetMode = 4,
  UnlockMode = 999
};

// The store's blocks: host memory made persistent, so that it survives from
// one call to the next.  The host ends the call when memory runs out.
void *persistentBlock(std::size_t bytes) {
  void *block = mxMalloc(bytes);
  mexMakeMemoryPersistent(block);
  return block;
}

void *persistentZeroedBlock(std::size_t count, std::size_t size) {
  void *block = mxCalloc(count, size);
  mexMakeMemoryPersistent(block);
  return block;
}

const StoreMemory kHostMemory = {persistentBlock, persistentZeroedBlock, mxFree};

// Set once the tables are complete.
bool initialised = false;
// Set once the exit callback is registered and the module locked; kept apart
// from initialised so that a start-up cut short by a failed allocation
// resumes on the next call without locking twice.
bool started = false;

void onModuleExit() {
  releaseFigureNames();
  releasePreferences();
  initialised = false;
  started = false;
}

// Runs on every call before any input is looked at, so that even a call
// that then fails leaves the module started and locked.
void startUp() {
  if (initialised) {
    return;
  }
  useStoreMemory(&kHostMemory);
  if (!started) {
    mexAtExit(onModuleExit);
    mexLock();
    started = true;
  }
  initPreferences();
  initialised = true;
}

bool isDoubleWithElements(const mxArray *a, size_t count) {
  return mxIsDouble(a) && mxGetNumberOfElements(a) == count;
}

// Ends the call with the error kalmex:kalsettings:REASON and its text.
[[noreturn]] void fail(KxReason reason, const char *message) {
  kxRaise(kxFailure("kalsettings", reason, message));
}

// The same, with a text that names preference index as written in the list.
[[noreturn]] void failForPreference(KxReason reason, const char *format, int index) {
  char message[160];
  std::snprintf(message, sizeof message, format, preferenceName(index));
  fail(reason, message);
}

// The one warning, for a text cut to its buffer.
void warnClipping() {
  mexWarnMsgIdAndTxt("kalmex:kalsettings:clipped", "Clipping the string value.");
}

// The value that "kal_gettruncation" keeps on the MATLAB side, unchanged.
mxArray *truncationValue() {
  mxArray *none[1] = {nullptr};
  mxArray *out[1] = {nullptr};
  mexCallMATLAB(1, out, 0, none, "kal_gettruncation");
  if (out[0] == nullptr) {
    fail(KxReason::badTruncation, "kal_gettruncation must return a value.");
  }
  return out[0];
}

// A copy of the first cell that "kal_getboundary" gives back.  Its input
// and output are left for the host to release at the end of the call.
mxArray *boundaryValue() {
  mxArray *in[1] = {mxCreateDoubleMatrix(1, 1, mxREAL)};
  mxGetPr(in[0])[0] = 1.0;
  mxArray *out[1] = {nullptr};
  mexCallMATLAB(1, out, 1, in, "kal_getboundary");
  if (out[0] == nullptr || !mxIsCell(out[0]) || mxGetNumberOfElements(out[0]) == 0) {
    fail(KxReason::badBoundary, "kal_getboundary must return a non-empty cell array.");
  }
  const mxArray *first = mxGetCell(out[0], 0);
  // A cell element that was never set stands for the empty matrix.
  return first == nullptr ? mxCreateDoubleMatrix(0, 0, mxREAL) : mxDuplicateArray(first);
}

// A new array holding entry index of table.
mxArray *preferenceValue(const PreferenceEntry *table, int index) {
  if (index == preference::Truncation) {
    return truncationValue();
  }
  if (index == preference::BoundaryCondition) {
    return boundaryValue();
  }
  const PreferenceEntry &e = table[index];
  mxArray *result = nullptr;
  switch (e.kind) {
  case PreferenceKind::Integer:
    result = mxCreateDoubleMatrix(1, 1, mxREAL);
    mxGetPr(result)[0] = static_cast<double>(e.value.integer);
    return result;
  case PreferenceKind::OnOff:
    if (onOffWord(e.value.integer) == nullptr) {
      break;
    }
    return mxCreateString(onOffWord(e.value.integer));
  case PreferenceKind::String:
    return mxCreateString(e.value.text);
  case PreferenceKind::Real:
    result = mxCreateDoubleMatrix(1, 1, mxREAL);
    mxGetPr(result)[0] = e.value.real;
    return result;
  case PreferenceKind::Triple:
    result = mxCreateDoubleMatrix(1, 3, mxREAL);
    for (int k = 0; k < 3; ++k) {
      mxGetPr(result)[k] = e.value.triple[k];
    }
    return result;
  default:
    break;
  }
  fail(KxReason::corruptTable, "Internal data structure corrupt!");
  return nullptr;
}

// Checks, stores and corrects one name/value pair in the current table.
void setPreference(const mxArray *name, const mxArray *value) {
  if (!mxIsChar(name)) {
    fail(KxReason::nameNotText, "Preference name must be a string.");
  }
  char text[kNameBufferSize];
  kxGetString(name, text, sizeof text);
  const int j = findPreference(text);
  if (j < 0) {
    fail(KxReason::unknownName, "Unknown preference name.");
  }
  PreferenceEntry &e = currentPreferences[j];
  mxArray *forward[1] = {const_cast<mxArray *>(value)};
  mxArray *none[1] = {nullptr};
  switch (e.kind) {
  case PreferenceKind::Integer: {
    if (!isDoubleWithElements(value, 1)) {
      failForPreference(KxReason::notScalar, "Expected a scalar value for preference '%s'.", j);
    }
    if (j == preference::Truncation) {
      mexCallMATLAB(0, none, 1, forward, "kal_settruncation");
      return;
    }
    int32_t converted = 0;
    if (!preferenceIntegerFromDouble(mxGetScalar(value), &converted)) {
      fail(KxReason::integerOverflow, "Overflow in double to int conversion.");
    }
    e.value.integer = converted;
    break;
  }
  case PreferenceKind::OnOff: {
    if (!mxIsChar(value)) {
      failForPreference(KxReason::notOnOff, "Expected either 'on' or 'off' for preference '%s'.",
                        j);
    }
    char word[kStringBufferSize];
    kxGetString(value, word, sizeof word);
    const int onOff = onOffFromWord(word);
    if (onOff < 0) {
      failForPreference(KxReason::notOnOff, "Expected either 'on' or 'off' for preference '%s'.",
                        j);
    }
    e.value.integer = onOff;
    break;
  }
  case PreferenceKind::String:
    if (!mxIsChar(value)) {
      failForPreference(KxReason::valueNotText, "Expected a string value for preference '%s'.", j);
    }
    if (j == preference::BoundaryCondition) {
      mexCallMATLAB(0, none, 1, forward, "kal_setboundary");
      return;
    }
    if (mxGetNumberOfElements(value) >= static_cast<size_t>(kStringBufferSize)) {
      warnClipping();
    }
    kxGetString(value, e.value.text, kStringBufferSize);
    break;
  case PreferenceKind::Real:
    if (!isDoubleWithElements(value, 1)) {
      failForPreference(KxReason::notScalar, "Expected a scalar value for preference '%s'.", j);
    }
    e.value.real = mxGetScalar(value);
    break;
  case PreferenceKind::Triple: {
    // A sparse array holds only its non-zero values: three of them cannot
    // be read in place.
    if (!isDoubleWithElements(value, 3) || mxIsSparse(value)) {
      failForPreference(KxReason::notTriple, "Expected an array of length 3 for preference '%s'.",
                        j);
    }
    const double *p = mxGetPr(value);
    for (int k = 0; k < 3; ++k) {
      e.value.triple[k] = p[k];
    }
    break;
  }
  default:
    fail(KxReason::corruptTable, "Internal data structure corrupt!");
  }
  applyPreferenceLimits(j);
}

// Checks and copies a variable name into buf (kVariableNameBufferSize
// bytes); longer names are cut to their first 255 characters.
void readVariableName(const mxArray *name, char *buf) {
  if (!mxIsChar(name)) {
    fail(KxReason::variableNotText, "Variable names must be strings.");
  }
  if (mxGetNumberOfElements(name) >= static_cast<size_t>(kVariableNameBufferSize)) {
    warnClipping();
  }
  kxGetString(name, buf, kVariableNameBufferSize);
}

// MODE 2: a new 1x1 double holding the figure handle for the variable.
mxArray *figureForVariable(const mxArray *name) {
  char buf[kVariableNameBufferSize];
  readVariableName(name, buf);
  // The result is made before the lookup, so that a failed allocation
  // leaves the pool's turn order where it was.
  mxArray *result = mxCreateDoubleMatrix(1, 1, mxREAL);
  mxGetPr(result)[0] = static_cast<double>(figureHandleFor(buf));
  return result;
}

// MODE 3: binds the variable to the handle, or adds the handle to the pool.
void bindFigure(const mxArray *name, const mxArray *handle) {
  char buf[kVariableNameBufferSize];
  readVariableName(name, buf);
  // An empty array holds no handle at all.
  if (!mxIsNumeric(handle) || mxIsEmpty(handle)) {
    fail(KxReason::invalidHandle, "Invalid figure handle.");
  }
  int32_t h = 0;
  if (!figureHandleFromDouble(mxGetScalar(handle), &h)) {
    fail(KxReason::invalidHandle, "Invalid figure handle.");
  }
  if (bindFigureHandle(buf, h) == BindResult::Full) {
    fail(KxReason::storeFull, "Variable name buffer full.");
  }
}

void readPreferences(mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  if (nrhs != 2) {
    fail(KxReason::wrongInputCount, "Wrong number of input arguments.");
  }
  const mxArray *what = prhs[1];
  if (mxIsChar(what)) {
    char text[kNameBufferSize];
    kxGetString(what, text, sizeof text);
    const int index = findPreference(text);
    if (index < 0) {
      fail(KxReason::unknownName, "Unknown preference name.");
    }
    plhs[0] = preferenceValue(currentPreferences, index);
    return;
  }
  const PreferenceEntry *table = nullptr;
  if (isDoubleWithElements(what, 1)) {
    // The value truncated toward zero: 0 asks for the defaults, 1 for the
    // current values.  NaN falls through both tests.
    const double x = mxGetScalar(what);
    if (x > -1.0 && x < 1.0) {
      table = defaultPreferences;
    } else if (x >= 1.0 && x < 2.0) {
      table = currentPreferences;
    }
  }
  if (table == nullptr) {
    fail(KxReason::nameNotText, "Preference name must be a string.");
  }
  mxArray *cells = mxCreateCellMatrix(kPreferenceCount, 2);
  for (int i = 0; i < kPreferenceCount; ++i) {
    mxSetCell(cells, static_cast<mwIndex>(i), mxCreateString(preferenceName(i)));
    mxSetCell(cells, static_cast<mwIndex>(i + kPreferenceCount), preferenceValue(table, i));
  }
  plhs[0] = cells;
}

// MODE from the first input: false when it is not a double with one element,
// or its value truncated toward zero does not fit in 32 bits (NaN included).
bool readMode(const mxArray *a, int32_t *mode) {
  if (!isDoubleWithElements(a, 1)) {
    return false;
  }
  const double x = mxGetScalar(a);
  if (!(x > -2147483649.0 && x < 2147483648.0)) {
    return false;
  }
  *mode = static_cast<int32_t>(x);
  return true;
}

void requireInputs(int nrhs, int count) {
  if (nrhs != count) {
    fail(KxReason::wrongInputCount, "Wrong number of input arguments.");
  }
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  (void)nlhs; // MODE 0 and MODE 2 always fill the first output slot
  startUp();
  if (nrhs < 1) {
    fail(KxReason::wrongInputCount, "Wrong number of input arguments.");
  }
  int32_t mode = -1;
  if (!readMode(prhs[0], &mode)) {
    fail(KxReason::undefinedMode, "Undefined MODE.");
  }
  switch (mode) {
  case ReadMode:
    readPreferences(plhs, nrhs, prhs);
    return;
  case SetMode:
    if ((nrhs - 1) % 2 != 0) {
      fail(KxReason::wrongInputCount, "Wrong number of input arguments.");
    }
    for (int k = 1; k < nrhs; k += 2) {
      setPreference(prhs[k], prhs[k + 1]);
    }
    return;
  case FigureMode:
    requireInputs(nrhs, 2);
    plhs[0] = figureForVariable(prhs[1]);
    return;
  case BindMode:
    requireInputs(nrhs, 3);
    bindFigure(prhs[1], prhs[2]);
    return;
  case ForgetMode:
    requireInputs(nrhs, 1);
    clearFigureNames();
    return;
  case UnlockMode:
    // The inputs after MODE are not looked at.  The module locks itself once
    // per load, so one unlock is enough to let it be cleared.
    if (mexIsLocked()) {
      mexUnlock();
    }
    return;
  default:
    fail(KxReason::undefinedMode, "Undefined MODE.");
  }
}
