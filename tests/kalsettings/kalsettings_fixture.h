// Shared fixture of the kalsettings gateway tests: C++ stand-ins for the four
// MATLAB-side functions, with call counts, and a module that every test
// loads afresh and unloads at its end.
#ifndef KALMEX_TESTS_KALSETTINGS_FIXTURE_H
#define KALMEX_TESTS_KALSETTINGS_FIXTURE_H

#include <functional>
#include <string>

#include "hosttest.h"

namespace kaltest {

class Kalsettings : public HostTest {
protected:
  void SetUp() override {
    kalhost::setSearchPath({kalhost::defaultModuleDir()});
    unload();
    persistentAtStart_ = kalhost::persistentBlocks();
    kalhost::registerFunction("kal_getboundary",
                              [this](int, mxArray *plhs[], int nrhs, mxArray *prhs[]) {
                                ++getBoundaryCalls;
                                boundaryInput = nrhs == 1 ? mxGetScalar(prhs[0]) : -1.0;
                                if (getBoundaryResult) {
                                  plhs[0] = getBoundaryResult();
                                  return;
                                }
                                plhs[0] = mxCreateCellMatrix(1, 1);
                                mxSetCell(plhs[0], 0, mxCreateString(boundary.c_str()));
                              });
    kalhost::registerFunction("kal_setboundary", [this](int, mxArray *[], int, mxArray *prhs[]) {
      ++setBoundaryCalls;
      boundary = textOf(prhs[0]);
    });
    kalhost::registerFunction("kal_gettruncation", [this](int, mxArray *plhs[], int, mxArray *[]) {
      ++getTruncationCalls;
      plhs[0] = getTruncationResult ? getTruncationResult() : mxCreateDoubleScalar(truncation);
    });
    kalhost::registerFunction("kal_settruncation", [this](int, mxArray *[], int, mxArray *prhs[]) {
      ++setTruncationCalls;
      if (failSetTruncation) {
        mexErrMsgTxt("truncation refused");
      }
      truncation = mxGetScalar(prhs[0]);
    });
    HostTest::SetUp();
  }

  void TearDown() override {
    unload();
    EXPECT_EQ(kalhost::persistentBlocks(), persistentAtStart_) << "persistent blocks left";
    for (const char *f :
         {"kal_getboundary", "kal_setboundary", "kal_gettruncation", "kal_settruncation"}) {
      kalhost::unregisterFunction(f);
    }
    HostTest::TearDown();
  }

  // Unlocks and clears the module, which runs its exit callback.
  static void unload() {
    if (kalhost::isLoaded("kalsettings")) {
      Array unlock = doubleScalar(999);
      call("kalsettings", 0, {unlock.get()});
      EXPECT_TRUE(kalhost::clear("kalsettings"));
    }
  }

  // The persistent blocks of a start-up that nothing cuts short: one call on
  // a fresh module, which is unloaded again.
  static std::size_t startUpBlocks() {
    unload();
    const std::size_t before = kalhost::persistentBlocks();
    EXPECT_TRUE(table(1).ok());
    const std::size_t taken = kalhost::persistentBlocks() - before;
    unload();
    return taken;
  }

  static Call ks(std::initializer_list<const mxArray *> inputs, int nlhs = 1) {
    return call("kalsettings", nlhs, inputs);
  }
  // kalsettings(0, NAME)
  static Call read(const std::string &name) {
    Array mode = doubleScalar(0), n = text(name);
    return ks({mode.get(), n.get()});
  }
  // kalsettings(1, NAME, VALUE)
  static Call set(const std::string &name, const Array &value) {
    Array mode = doubleScalar(1), n = text(name);
    return ks({mode.get(), n.get(), value.get()}, 0);
  }
  static double readScalar(const std::string &name) {
    Call c = read(name);
    EXPECT_TRUE(c.ok()) << c.error();
    return c.ok() ? mxGetScalar(c.out[0].get()) : -12345.0;
  }
  static std::string readText(const std::string &name) {
    Call c = read(name);
    EXPECT_TRUE(c.ok()) << c.error();
    return c.ok() ? textOf(c.out[0].get()) : "<failed>";
  }
  // kalsettings(0, 0) or kalsettings(0, 1)
  static Call table(double which) {
    Array mode = doubleScalar(0), w = doubleScalar(which);
    return ks({mode.get(), w.get()});
  }

  std::string boundary = "mirror";
  double truncation = 3.0;
  int getBoundaryCalls = 0, setBoundaryCalls = 0, getTruncationCalls = 0, setTruncationCalls = 0;
  double boundaryInput = 0.0;
  bool failSetTruncation = false;
  std::function<mxArray *()> getBoundaryResult;
  std::function<mxArray *()> getTruncationResult;
  std::size_t persistentAtStart_ = 0;
};

} // namespace kaltest

#endif
