// Stand-ins for the four toolbox functions that kalsettings calls by name,
// for the programs that call the module on the embedded host without the
// toolbox: the boundary condition reads as 'mirror' and the truncation as
// 3, and the setters keep nothing.
#ifndef KALMEX_TESTS_SUPPORT_TOOLBOX_STANDINS_H
#define KALMEX_TESTS_SUPPORT_TOOLBOX_STANDINS_H

#include "kalhost.h"
#include "mex.h"

namespace kaltest {

inline void registerToolboxStandIns() {
  kalhost::registerFunction("kal_getboundary", [](int, mxArray *plhs[], int, mxArray *[]) {
    plhs[0] = mxCreateCellMatrix(1, 1);
    mxSetCell(plhs[0], 0, mxCreateString("mirror"));
  });
  kalhost::registerFunction("kal_gettruncation", [](int, mxArray *plhs[], int, mxArray *[]) {
    plhs[0] = mxCreateDoubleScalar(3);
  });
  kalhost::registerFunction("kal_setboundary", [](int, mxArray *[], int, mxArray *[]) {});
  kalhost::registerFunction("kal_settruncation", [](int, mxArray *[], int, mxArray *[]) {});
}

} // namespace kaltest

#endif
