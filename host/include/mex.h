/* Extension part of the MEX interface as the embedded host provides it. */
#ifndef KALMEX_HOST_MEX_H
#define KALMEX_HOST_MEX_H

#include "matrix.h"

/* The one export of every module. */
KX_EXTERN_C __attribute__((visibility("default"))) void
mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);

/* Ends the call with an error; never returns. */
KX_HOST_API __attribute__((noreturn)) void mexErrMsgTxt(const char *msg);
KX_HOST_API __attribute__((noreturn)) void mexErrMsgIdAndTxt(const char *id, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
KX_HOST_API void mexWarnMsgTxt(const char *msg);
KX_HOST_API void mexWarnMsgIdAndTxt(const char *id, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
KX_HOST_API int mexPrintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

KX_HOST_API int mexCallMATLAB(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[],
                              const char *name);

KX_HOST_API void mexLock(void);
KX_HOST_API void mexUnlock(void);
KX_HOST_API bool mexIsLocked(void);
KX_HOST_API int mexAtExit(void (*callback)(void));
KX_HOST_API const char *mexFunctionName(void);

KX_HOST_API void mexMakeMemoryPersistent(void *ptr);
KX_HOST_API void mexMakeArrayPersistent(mxArray *a);

#endif
