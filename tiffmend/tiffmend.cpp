// tiffmend(name or option, ...): repairs the PhotometricInterpretation of the
// named TIFF files in place (palette colour declared over RGB samples becomes
// RGB; a true palette image, one sample per pixel, is left as it is) and
// prints one line per file.  Option words start with '-': 'q' prints nothing, 'v' prints the
// reason of each failure.  No outputs; the only error is a call without
// inputs, every problem with a file is reported for that file.
#include <cstring>

#include "mex.h"
#include "mexutil.h"
#include "repair.h"

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  (void)nlhs;
  (void)plhs;
  const KxStatus refusal = checkRepairCall(nrhs);
  if (refusal) {
    kxRaise(refusal);
  }
  RepairState state = newRepairState(mexPrintf);
  char text[1024];
  for (int i = 0; i < nrhs; ++i) {
    if (!mxIsChar(prhs[i])) {
      if (state.verbose) {
        mexPrintf("Skipping an input that is not a file name.\n");
      }
      continue;
    }
    const int cut = kxGetString(prhs[i], text, sizeof text);
    const bool whole =
        cut == 0 && std::strlen(text) == static_cast<size_t>(mxGetNumberOfElements(prhs[i]));
    repairArgument(text, whole, &state);
  }
}
