// The frame every wrapper module runs in.
//
//   frameOpen        makes the call's resource list, before anything else;
//   frameCheckCounts checks the numbers of inputs and outputs;
//   the module's steps record the first argument fault (a message and the
//   argument's 1-based position) or the first library failure, and stop;
//   frameClose       runs on every path: it releases the resource list and
//   ends the call with the library's text, else with the recorded message.
//
// Every error carries the identifier kalmex:MODULE:REASON.  A library
// failure while an argument became an image starts with that argument
// ("Argument 1 (image): "), then the library's own chain of texts.
//
// Everything a call makes lives in the resource list, and the frame owns no
// C++ object (its status holds its text), so nothing is left behind when
// the error ends the call.
#ifndef KALMEX_WRAPPERS_WRAPPER_FRAME_H
#define KALMEX_WRAPPERS_WRAPPER_FRAME_H

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "brx.h"
#include "kal.h"
#include "mex.h"
#include "mexutil.h"
#include "wrapper_words.h"

struct WrapperFrame {
  const char *module; // the module's name, for the identifiers
  kal_Resources rs;
  kal_Error error;      // the first library failure, with the release's error chained on
  KxStatus fault;       // the first argument fault, else no error
  int position;         // 1-based position of the argument whose conversion failed
  const char *argument; // the name of that argument, else null
};

// The resource list of a call that the host ended inside a step: a host
// ends a call at once when an array or a block cannot be had, so frameClose
// never ran.  It is released at the start of the module's next call, or
// when the module is cleared.
inline kal_Resources frameUnreleased = nullptr;

inline void frameReleaseUnreleased() {
  if (frameUnreleased != nullptr) {
    kal_ErrorFree(kal_ResourcesFree(&frameUnreleased));
    frameUnreleased = nullptr;
  }
}

inline void frameOpen(WrapperFrame *f, const char *module) {
  frameReleaseUnreleased();
  mexAtExit(frameReleaseUnreleased);
  f->module = module;
  f->rs = nullptr;
  f->error = nullptr;
  f->fault = KxStatus();
  f->position = 0;
  f->argument = nullptr;
  f->error = kal_ResourcesNew(&f->rs, 0);
  frameUnreleased = f->rs;
}

// Records the argument fault of that reason: the message, with "%d" for the
// 1-based position of the argument (0 for the count messages, which have
// none).
inline void frameFault(WrapperFrame *f, KxReason reason, const char *message, int position) {
  f->fault = position > 0 ? kxFailuref(f->module, reason, message, position)
                          : kxFailure(f->module, reason, message);
}

// Remembers a failed library call; true when the call succeeded.
inline bool frameLibrary(WrapperFrame *f, kal_Error error) {
  if (error != nullptr) {
    f->error = error;
    return false;
  }
  return true;
}

// Argument POSITION, called NAME in the module's help, as a library image.
inline bool frameImage(WrapperFrame *f, const mxArray *a, int position, const char *name,
                       kal_Image *image) {
  if (frameLibrary(f, brx_mex2kal(a, image, f->rs))) {
    return true;
  }
  f->position = position;
  f->argument = name;
  return false;
}

// Arguments 1 and 2 of the modules that search an image within a mask: the
// image, then the mask (an empty array for none, which leaves mask null).
inline bool frameImageAndMask(WrapperFrame *f, const mxArray *prhs[], kal_Image *image,
                              kal_Image *mask) {
  *mask = nullptr;
  return frameImage(f, prhs[0], 1, "image", image) &&
         (mxIsEmptyImage(prhs[1]) || frameImage(f, prhs[1], 2, "mask", mask));
}

// True when the module's steps may run: the resource list exists and the
// numbers of inputs and outputs are right.
inline bool frameCheckCounts(WrapperFrame *f, int nlhs, int nrhs, int inputs) {
  if (f->error != nullptr) {
    return false;
  }
  if (nrhs != inputs) {
    frameFault(f, KxReason::inputCount, "Wrong number of input arguments.", 0);
    return false;
  }
  if (nlhs != 0 && nlhs != 1) {
    frameFault(f, KxReason::outputCount, "Wrong number of output arguments.", 0);
    return false;
  }
  return true;
}

// An option word: an empty array gives code 0; otherwise a string of the
// table.  A longer string is cut to 49 characters (and so matches no word).
template <int Entries>
inline bool frameReadWord(WrapperFrame *f, const mxArray *a, int position,
                          const WordCode (&table)[Entries], int32_t *code) {
  if (mxIsEmpty(a)) {
    *code = 0;
    return true;
  }
  if (!mxIsCharString(a)) {
    frameFault(f, KxReason::notString, kNotStringMessage, position);
    return false;
  }
  char word[kWordBufferSize];
  (void)kxGetString(a, word, kWordBufferSize);
  if (lookupWord(table, word, code)) {
    return true;
  }
  frameFault(f, KxReason::unknownWord, kUnknownWordMessage, position);
  return false;
}

// An integer scalar that fits a 32-bit integer.
inline bool frameReadInteger(WrapperFrame *f, const mxArray *a, int position, int32_t *value) {
  if (!mxIsIntScalar(a)) {
    frameFault(f, KxReason::notInteger, kNotIntegerMessage, position);
    return false;
  }
  const double v = mxGetScalar(a);
  if (v < -2147483648.0 || v > 2147483647.0) {
    frameFault(f, KxReason::notInteger, kNotIntegerMessage, position);
    return false;
  }
  *value = static_cast<int32_t>(v);
  return true;
}

// A boolean: a logical scalar, or an integer scalar (1 unless it is 0).
inline bool frameReadBoolean(WrapperFrame *f, const mxArray *a, int position, int32_t *value) {
  const bool logical = mxIsLogical(a) && kxIsRealScalarValue(a);
  if (!logical && !mxIsIntScalar(a)) {
    frameFault(f, KxReason::notBoolean, kNotBooleanMessage, position);
    return false;
  }
  *value = mxGetScalar(a) == 0 ? 0 : 1;
  return true;
}

// The exit of every call, success included.
inline void frameClose(WrapperFrame *f) {
  frameUnreleased = nullptr;
  kal_Error released = kal_ResourcesFree(&f->rs);
  if (released != nullptr) {
    if (f->error == nullptr) {
      f->error = released;
    } else {
      // Keep every record: the release's chain goes at the end.
      kal_ErrorRecord *last = f->error;
      while (last->next != nullptr) {
        last = last->next;
      }
      last->next = released;
    }
  }
  if (f->error != nullptr) {
    // The error does not return: the text is copied and the chain released
    // first.
    const char *chain = brx_PrintErrorStruct(f->error, 0, 0);
    const KxReason reason = std::strstr(chain, "Out of memory.") != nullptr ? KxReason::outOfMemory
                            : f->argument != nullptr                        ? KxReason::notImage
                                                                            : KxReason::library;
    const KxStatus failure =
        f->argument != nullptr
            ? kxFailuref(f->module, reason, "Argument %d (%s): %s", f->position, f->argument, chain)
            : kxFailure(f->module, reason, chain);
    kal_ErrorFree(f->error);
    f->error = nullptr;
    kxRaise(failure);
  }
  if (f->fault) {
    kxRaise(f->fault);
  }
}

// A whole wrapper call: the frame around the module's own steps.
using WrapperSteps = void (*)(WrapperFrame *f, mxArray *plhs[], const mxArray *prhs[]);
inline void frameRun(const char *module, int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[],
                     int inputs, WrapperSteps steps) {
  WrapperFrame frame;
  frameOpen(&frame, module);
  if (frameCheckCounts(&frame, nlhs, nrhs, inputs)) {
    steps(&frame, plhs, prhs);
  }
  frameClose(&frame);
}

#endif
