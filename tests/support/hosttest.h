// Test support for calls through the embedded host.
#ifndef KALMEX_TESTS_HOSTTEST_H
#define KALMEX_TESTS_HOSTTEST_H

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "kalhost.h"
#include "mex.h"

namespace kaltest {

// Owns an array made by a test or returned by a call.
class Array {
public:
  Array() = default;
  explicit Array(mxArray *a) : a_(a) {}
  Array(const Array &) = delete;
  Array &operator=(const Array &) = delete;
  Array(Array &&o) noexcept : a_(o.a_) { o.a_ = nullptr; }
  Array &operator=(Array &&o) noexcept {
    if (this != &o) {
      reset();
      a_ = o.a_;
      o.a_ = nullptr;
    }
    return *this;
  }
  ~Array() { reset(); }
  void reset() {
    if (a_ != nullptr) {
      mxDestroyArray(a_);
      a_ = nullptr;
    }
  }
  mxArray *get() const { return a_; }
  mxArray *release() {
    mxArray *a = a_;
    a_ = nullptr;
    return a;
  }
  explicit operator bool() const { return a_ != nullptr; }

private:
  mxArray *a_ = nullptr;
};

// Array makers.  Matrices are given column-major.
Array doubleMatrix(std::size_t rows, std::size_t cols, const std::vector<double> &values = {});
Array doubleScalar(double value);
Array numericArray(mxClassID cls, const std::vector<mwSize> &dims);
Array int32Array(const std::vector<mwSize> &dims, const std::vector<int32_t> &values = {});
Array text(const std::string &s);
Array logicalScalar(bool value);
Array emptyDouble();
Array cellMatrix(std::size_t rows, std::size_t cols);
Array structScalar();
Array sparseDouble(std::size_t rows, std::size_t cols);
Array complexDouble(std::size_t rows, std::size_t cols);

std::vector<double> values(const mxArray *a);       // double data, column-major
std::vector<int32_t> int32Values(const mxArray *a); // int32 data, column-major
std::vector<mwSize> dims(const mxArray *a);
std::string textOf(const mxArray *a);

// The outcome of one call: the host's result, the outputs, and the text the
// call printed through the host and to standard output.
struct Call {
  kalhost::CallResult result;
  std::vector<Array> out;
  std::string transcript; // mexPrintf / mexWarnMsgTxt text of this call
  std::string stdoutText; // what the call printed to standard output
  bool ok() const { return result.ok; }
  const std::string &error() const { return result.error; }
};

// Calls a module by name with the given inputs (the inputs stay owned by the
// caller).  With captureStdout, standard output is captured too.
Call call(const std::string &name, int nlhs, std::initializer_list<const mxArray *> inputs,
          bool captureStdout = false);
Call call(const std::string &name, int nlhs, const std::vector<const mxArray *> &inputs,
          bool captureStdout = false);
// Calls a module with one character array for every text.
Call callWithTexts(const std::string &name, int nlhs, const std::vector<std::string> &texts);

// Fixture for gateway tests: finds the shipped modules, and checks after each
// test that no array or block made during the test is left alive.
class HostTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  std::size_t arraysAtStart_ = 0;
  std::size_t blocksAtStart_ = 0;
};

} // namespace kaltest

#endif
