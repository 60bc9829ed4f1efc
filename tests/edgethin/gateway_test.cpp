// edgethin through the embedded host: checks, their order, and the output.
#include "hosttest.h"

#include <stdlib.h>

#include <cmath>

using namespace kaltest;

namespace {

const char *const kInputs = "non-maximum suppression: Three input images required.";
const char *const kOutputs = "non-maximum suppression: One output image required.";
const char *const kClass = "non-maximum suppression: Only double input data supported.";
const char *const kSparse = "non-maximum suppression: Sparse input is not supported.";
const char *const kDims2 = "non-maximum suppression: Only 2D images are supported.";
const char *const kSizes = "non-maximum suppression: Images have different dimensions.";

class EdgeThin : public HostTest {};

TEST_F(EdgeThin, ThinsAndReturnsAnImageOfTheInputSize) {
  Array d = doubleMatrix(3, 3, {0, 3, 0, 3, 5, 3, 0, 3, 0});
  Array gc = doubleMatrix(3, 3, std::vector<double>(9, 1.0));
  Array gr = doubleMatrix(3, 3, std::vector<double>(9, 0.0));
  Call c = call("edgethin", 1, {d.get(), gc.get(), gr.get()});
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_TRUE(mxIsDouble(c.out[0].get()));
  EXPECT_EQ(dims(c.out[0].get()), (std::vector<mwSize>{3, 3}));
  // The gradient runs across the columns: the middle column is the crest.
  EXPECT_EQ(values(c.out[0].get()), (std::vector<double>{0, 0, 0, 3, 5, 3, 0, 0, 0}));

  Array e = doubleMatrix(5, 0), e2 = doubleMatrix(5, 0), e3 = doubleMatrix(5, 0);
  Call empty = call("edgethin", 1, {e.get(), e2.get(), e3.get()});
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(dims(empty.out[0].get()), (std::vector<mwSize>{5, 0}));
}

TEST_F(EdgeThin, CountsAreCheckedFirst) {
  Array a = doubleMatrix(2, 2);
  EXPECT_EQ(call("edgethin", 1, {a.get(), a.get()}).error(), kInputs);
  EXPECT_EQ(call("edgethin", 1, {a.get(), a.get(), a.get(), a.get()}).error(), kInputs);
  Array text1 = text("x");
  EXPECT_EQ(call("edgethin", 0, {text1.get(), a.get()}).error(), kInputs);
  EXPECT_EQ(call("edgethin", 0, {a.get(), a.get(), a.get()}).error(), kOutputs);
  EXPECT_EQ(call("edgethin", 2, {a.get(), a.get(), a.get()}).error(), kOutputs);
}

TEST_F(EdgeThin, EachInputMustBeARealFullDoubleMatrix) {
  Array a = doubleMatrix(2, 2);
  Array single = numericArray(mxSINGLE_CLASS, {2, 2});
  Array ints = numericArray(mxINT32_CLASS, {2, 2});
  Array cplx = complexDouble(2, 2);
  Array sparse = sparseDouble(2, 2);
  Array cube = numericArray(mxDOUBLE_CLASS, {2, 2, 2});
  Array other = doubleMatrix(2, 3);
  for (int pos = 0; pos < 3; ++pos) {
    for (const mxArray *bad : {single.get(), ints.get(), cplx.get()}) {
      std::vector<const mxArray *> in{a.get(), a.get(), a.get()};
      in[pos] = bad;
      EXPECT_EQ(call("edgethin", 1, in).error(), kClass) << pos;
    }
    std::vector<const mxArray *> in{a.get(), a.get(), a.get()};
    in[pos] = sparse.get();
    EXPECT_EQ(call("edgethin", 1, in).error(), kSparse) << pos;
    in[pos] = cube.get();
    EXPECT_EQ(call("edgethin", 1, in).error(), kDims2) << pos;
  }
  // Class faults of a later input come before shape faults of an earlier one.
  EXPECT_EQ(call("edgethin", 1, {cube.get(), a.get(), ints.get()}).error(), kClass);
  EXPECT_EQ(call("edgethin", 1, {a.get(), other.get(), a.get()}).error(), kSizes);
  EXPECT_EQ(call("edgethin", 1, {a.get(), a.get(), other.get()}).error(), kSizes);
  EXPECT_EQ(call("edgethin", 1, {other.get(), a.get(), a.get()}).error(), kSizes);
}

// An image large enough for threads: the same output for every
// KALMEX_THREADS; a value that is not a count warns and is passed over.
TEST_F(EdgeThin, EveryThreadCountGivesTheSameOutput) {
  const std::size_t rows = 900, cols = 700;
  std::vector<double> d(rows * cols), gc(rows * cols), gr(rows * cols);
  for (std::size_t k = 0; k < d.size(); ++k) {
    const double i = static_cast<double>(k % rows), j = static_cast<double>(k / rows);
    gc[k] = std::cos(0.05 * j) + 0.3 * std::sin(7.0 * i);
    gr[k] = std::sin(0.04 * i) + 0.3 * std::cos(5.0 * j);
    d[k] = std::hypot(gc[k], gr[k]) * (k % 17 == 0 ? 0.0 : 1.0);
  }
  Array a = doubleMatrix(rows, cols, d), b = doubleMatrix(rows, cols, gc),
        c = doubleMatrix(rows, cols, gr);
  setenv("KALMEX_THREADS", "1", 1);
  Call one = call("edgethin", 1, {a.get(), b.get(), c.get()});
  ASSERT_TRUE(one.ok()) << one.error();
  for (const char *count : {"2", "3", "7", "1.5", ""}) {
    setenv("KALMEX_THREADS", count, 1);
    Call many = call("edgethin", 1, {a.get(), b.get(), c.get()});
    ASSERT_TRUE(many.ok()) << many.error();
    EXPECT_EQ(values(many.out[0].get()), values(one.out[0].get())) << count;
    const bool bad = count[0] == '1';
    EXPECT_EQ(many.transcript.find("Warning: KALMEX_THREADS is \"1.5\", not a whole number"),
              bad ? 0u : std::string::npos)
        << many.transcript;
  }
  unsetenv("KALMEX_THREADS");
}

} // namespace
