// Support for the wrapper modules' tests on the embedded host.
#ifndef KALMEX_TESTS_WRAPPER_TESTING_H
#define KALMEX_TESTS_WRAPPER_TESTING_H

#include <functional>
#include <string>
#include <vector>

#include "brx.h"
#include "hosttest.h"
#include "kal.h"
#include "kal_testing.h"

namespace kaltest {

// Checks after every call and every test that the library holds no object
// (the modules and the tests share one libkal), and turns forced failures off.
class WrapperTest : public HostTest {
protected:
  void SetUp() override {
    HostTest::SetUp();
    kal_TestReset();
    live_ = kal_LiveObjects();
  }
  void TearDown() override {
    kal_TestReset();
    EXPECT_EQ(kal_LiveObjects(), live_) << "library objects left alive";
    HostTest::TearDown();
  }

  Call run(const std::string &name, int nlhs, std::initializer_list<const mxArray *> inputs) {
    Call c = call(name, nlhs, inputs);
    EXPECT_EQ(kal_LiveObjects(), live_) << name << " left library objects alive";
    return c;
  }

  // The error of a call, or "no error" when it succeeded.
  std::string errorOf(const std::string &name, int nlhs,
                      std::initializer_list<const mxArray *> inputs) {
    Call c = run(name, nlhs, inputs);
    return c.ok() ? "no error" : c.error();
  }

  // Makes the n-th library allocation fail for n = 1, 2, ... until the call
  // succeeds: every failure must show the library's text and leave nothing.
  void sweepAllocations(const std::function<Call()> &makeCall) {
    for (int64_t n = 1; n < 200; ++n) {
      kal_TestFailAllocation(n);
      Call c = makeCall();
      EXPECT_EQ(kal_LiveObjects(), live_) << "allocation " << n;
      if (c.ok()) {
        EXPECT_GT(n, 1);
        kal_TestReset();
        return;
      }
      EXPECT_NE(c.error().find("Out of memory."), std::string::npos) << c.error();
      // The library's chain, after the argument it was converting, if any.
      const std::size_t start =
          c.error().rfind("Argument ", 0) == 0 ? c.error().find("): ") + 3 : 0;
      EXPECT_TRUE(c.error().compare(start, 4, "kal_") == 0 ||
                  c.error().compare(start, 4, "brx_") == 0)
          << c.error();
    }
    kal_TestReset();
    ADD_FAILURE() << "the call never succeeded";
  }

  // The first n for which failing the n-th library allocation makes the call
  // fail with an error that starts with prefix; 0 when there is none.
  int64_t allocationFailingWith(const std::function<Call()> &makeCall, const std::string &prefix) {
    for (int64_t n = 1; n < 200; ++n) {
      kal_TestFailAllocation(n);
      Call c = makeCall();
      kal_TestReset();
      if (c.ok()) {
        break;
      }
      if (c.error().rfind(prefix, 0) == 0) {
        return n;
      }
    }
    ADD_FAILURE() << "no failing allocation gives an error starting with " << prefix;
    return 0;
  }

  int64_t live_ = 0;
};

// Runs a library operation on host arrays directly, outside any module, for
// comparison with a module's result.  The arrays made belong to the caller.
struct Direct {
  kal_Resources rs = nullptr;
  Direct() { kal_ResourcesNew(&rs, 0); }
  ~Direct() { kal_ResourcesFree(&rs); }
  kal_Image image(const mxArray *a) {
    kal_Image image = nullptr;
    kal_Error e = brx_mex2kal(a, &image, rs);
    EXPECT_EQ(e, nullptr);
    kal_ErrorFree(e);
    return image;
  }
  kal_Image empty() {
    kal_Image image = nullptr;
    brx_newkal(&image, rs);
    return image;
  }
  Array array(kal_Image image) {
    mxArray *out[1] = {nullptr};
    kal_Error e = brx_kal2mex(image, out);
    EXPECT_EQ(e, nullptr);
    kal_ErrorFree(e);
    return Array(out[0]);
  }
};

} // namespace kaltest

#endif
