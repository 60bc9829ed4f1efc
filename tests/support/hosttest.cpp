#include "hosttest.h"

#include <cstring>

namespace kaltest {

Array doubleMatrix(std::size_t rows, std::size_t cols, const std::vector<double> &values) {
  Array a(mxCreateDoubleMatrix(rows, cols, mxREAL));
  if (!values.empty()) {
    EXPECT_EQ(values.size(), rows * cols);
    std::memcpy(mxGetPr(a.get()), values.data(),
                sizeof(double) * std::min(values.size(), rows * cols));
  }
  return a;
}

Array doubleScalar(double value) { return Array(mxCreateDoubleScalar(value)); }

Array numericArray(mxClassID cls, const std::vector<mwSize> &d) {
  return Array(mxCreateNumericArray(d.size(), d.data(), cls, mxREAL));
}

Array int32Array(const std::vector<mwSize> &d, const std::vector<int32_t> &values) {
  Array a = numericArray(mxINT32_CLASS, d);
  if (!values.empty()) {
    EXPECT_EQ(values.size(), mxGetNumberOfElements(a.get()));
    std::memcpy(mxGetData(a.get()), values.data(),
                sizeof(int32_t) * std::min(values.size(), mxGetNumberOfElements(a.get())));
  }
  return a;
}

Array text(const std::string &s) { return Array(mxCreateString(s.c_str())); }

Array logicalScalar(bool value) { return Array(mxCreateLogicalScalar(value)); }

Array emptyDouble() { return Array(mxCreateDoubleMatrix(0, 0, mxREAL)); }

Array cellMatrix(std::size_t rows, std::size_t cols) {
  return Array(mxCreateCellMatrix(rows, cols));
}

Array structScalar() { return Array(mxCreateStructMatrix(1, 1, 0, nullptr)); }

Array sparseDouble(std::size_t rows, std::size_t cols) {
  return Array(mxCreateSparse(rows, cols, 1, mxREAL));
}

Array complexDouble(std::size_t rows, std::size_t cols) {
  return Array(mxCreateDoubleMatrix(rows, cols, mxCOMPLEX));
}

std::vector<double> values(const mxArray *a) {
  const double *p = mxGetPr(a);
  return std::vector<double>(p, p + mxGetNumberOfElements(a));
}

std::vector<int32_t> int32Values(const mxArray *a) {
  const int32_t *p = static_cast<const int32_t *>(mxGetData(a));
  return std::vector<int32_t>(p, p + mxGetNumberOfElements(a));
}

std::vector<mwSize> dims(const mxArray *a) {
  const mwSize *d = mxGetDimensions(a);
  return std::vector<mwSize>(d, d + mxGetNumberOfDimensions(a));
}

std::string textOf(const mxArray *a) {
  std::vector<char> buf(mxGetNumberOfElements(a) + 1);
  mxGetString(a, buf.data(), buf.size());
  return std::string(buf.data());
}

Call call(const std::string &name, int nlhs, std::initializer_list<const mxArray *> inputs,
          bool captureStdout) {
  return call(name, nlhs, std::vector<const mxArray *>(inputs), captureStdout);
}

Call call(const std::string &name, int nlhs, const std::vector<const mxArray *> &inputs,
          bool captureStdout) {
  Call c;
  std::vector<mxArray *> outs(static_cast<std::size_t>(std::max(nlhs, 1)), nullptr);
  const std::size_t before = kalhost::transcript().size();
  if (captureStdout) {
    ::testing::internal::CaptureStdout();
  }
  c.result = kalhost::call(name, nlhs, outs.data(), static_cast<int>(inputs.size()),
                           const_cast<const mxArray **>(inputs.data()));
  if (captureStdout) {
    c.stdoutText = ::testing::internal::GetCapturedStdout();
  }
  c.transcript = kalhost::transcript().substr(before);
  for (mxArray *o : outs) {
    c.out.emplace_back(o);
  }
  return c;
}

Call callWithTexts(const std::string &name, int nlhs, const std::vector<std::string> &texts) {
  std::vector<Array> arrays;
  std::vector<const mxArray *> inputs;
  for (const std::string &s : texts) {
    arrays.push_back(text(s));
    inputs.push_back(arrays.back().get());
  }
  return call(name, nlhs, inputs);
}

void HostTest::SetUp() {
  kalhost::setSearchPath({kalhost::defaultModuleDir()});
  kalhost::clearTranscript();
  arraysAtStart_ = kalhost::liveArrays();
  blocksAtStart_ = kalhost::liveBlocks();
}

void HostTest::TearDown() {
  kalhost::failAllocationAt(0);
  EXPECT_EQ(kalhost::liveArrays(), arraysAtStart_) << "arrays left alive by the test";
  EXPECT_EQ(kalhost::liveBlocks(), blocksAtStart_) << "host memory blocks left by the test";
}

} // namespace kaltest
