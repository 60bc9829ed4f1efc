// Small helpers that behave the same on every host (the embedded host,
// Octave and MATLAB).  Every module reads strings and tests scalars through
// these instead of trusting the host:
//  - Octave's mxGetString copies nothing when the text does not fit, where
//    MATLAB documents a cut copy;
//  - Octave's mxIsScalar is true for any one-element array, text and cells
//    included, where the modules mean a one-element real numeric array.
// Only the public MEX interface is used, so this compiles against any mex.h.
#ifndef KALMEX_HOST_MEXUTIL_H
#define KALMEX_HOST_MEXUTIL_H

#include <stdint.h>

#include "machine.h" // kxPhysicalMemoryBytes, kxCoreCount
#include "mex.h"
#include "status.h" // KxStatus

// Copies at most buflen - 1 characters of a character array and a
// terminating zero into buf (characters above 255 become '?').  Returns 0 on
// a whole copy, and non-zero when the array is not text or the copy was cut.
// With buflen 0 nothing is written.  A null array counts as not text.
int kxGetString(const mxArray *a, char *buf, mwSize buflen);

// True for a one-element, real, full numeric array (logical, char, cell and
// struct arrays are not numeric).
bool kxIsScalar(const mxArray *a);

// A one-element real numeric array holding a whole, finite number.
bool mxIsIntScalar(const mxArray *a);

// True for a real, full, one-element numeric or logical array: the arrays for
// which mxGetScalar gives the value the caller meant.
bool kxIsRealScalarValue(const mxArray *a);

// Converts a host size to a 32-bit signed value; false when it does not fit.
bool kxSizeToInt32(mwSize n, int32_t *out);

// Reads the dimensions of an array as 32-bit signed values into dims
// (capacity entries).  Stores the count in *ndims.  False when there are more
// than capacity dimensions or a dimension does not fit in 32 bits.
bool kxDims32(const mxArray *a, int32_t *dims, int capacity, int *ndims);

// The threads a module may use for one call, read once per call by its
// gateway: under MATLAB its own setting, maxNumCompThreads; on every other
// host kxEnvironmentThreads (machine.h): KALMEX_THREADS when it is set, else
// the number of cores this process may run on.  1 means no threads beside
// the caller's.  Any other value of KALMEX_THREADS is passed over with one
// warning, identifier kalmex:MODULE:badThreadCount.
int kxThreadCount(const char *module);

// Host memory as an allocator that resizes: kxHostResize(NULL, bytes) makes a
// block (mxMalloc), kxHostResize(block, bytes) resizes it (mxRealloc);
// kxHostRelease frees it.  For data that is to become an output array.
void *kxHostResize(void *block, size_t bytes);
void kxHostRelease(void *block);

// A real numeric array of the class and dimensions whose data is BLOCK, host
// memory of at least BYTES (dims' elements), which the array then owns; NULL
// (an empty block) gives an array of no data first.  Only a host that
// refuses those dimensions for that data gets a copy (and the block is freed).
mxArray *kxArrayOfBlock(void *block, size_t bytes, mxClassID cls, const mwSize *dims, mwSize ndims);

// An error or a warning whose text is exactly TEXT on every host: Octave puts
// the module's name before the text of mexErrMsgIdAndTxt and
// mexWarnMsgIdAndTxt, so there they go through its own error and warning
// (but for an error while an interrupt is pending, which keeps the name).
[[noreturn]] void kxErrorVerbatim(const char *id, const char *text);
void kxWarningVerbatim(const char *id, const char *text);

// Ends the call with the error STATUS (which must be one): its identifier
// kalmex:MODULE:REASON and its message through mexErrMsgIdAndTxt (so Octave
// shows the module's name before the text, as for any MEX error).  The
// modules' gateways raise their operations' refusals through this.
[[noreturn]] void kxRaise(const KxStatus &status);

// True once the user has asked to interrupt the call under way (Ctrl-C):
// under MATLAB utIsInterruptPending, in Octave its pending-interrupt state,
// on the embedded host the SIGINT it caught during the call.  Cheap enough
// to be asked every few milliseconds; only from the thread the host called
// the module on.  A module that sees it ends the call with an error.
bool kxInterruptPending();

#endif
