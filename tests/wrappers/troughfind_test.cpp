// kal_troughfind through the embedded host.
#include "wrapper_testing.h"

namespace {

using kaltest::Array;
using kaltest::Call;

class TroughfindTest : public kaltest::WrapperTest {
protected:
  // [4 1 1; 0 3 0; 2 0 5] column-major.
  static Array image() { return kaltest::doubleMatrix(3, 3, {4, 0, 2, 1, 3, 0, 1, 0, 5}); }
  static std::vector<int32_t> result(const Call &c) {
    EXPECT_TRUE(c.ok()) << c.error();
    return c.ok() ? kaltest::int32Values(c.out[0].get()) : std::vector<int32_t>{};
  }
};

TEST_F(TroughfindTest, CountsOfInputsAndOutputs) {
  Array a = image();
  Array none = kaltest::emptyDouble();
  Array one = kaltest::doubleScalar(1);
  EXPECT_EQ(errorOf("kal_troughfind", 1, {a.get(), none.get(), one.get()}),
            "Wrong number of input arguments.");
  EXPECT_EQ(errorOf("kal_troughfind", 2, {a.get(), none.get(), one.get(), one.get()}),
            "Wrong number of output arguments.");
}

TEST_F(TroughfindTest, PositionsAlongTheChosenDimension) {
  Array a = image();
  Array none = kaltest::emptyDouble();
  Array one = kaltest::doubleScalar(1);
  Array two = kaltest::doubleScalar(2);
  Array zero = kaltest::doubleScalar(0);
  Call c = run("kal_troughfind", 1, {a.get(), none.get(), one.get(), zero.get()});
  ASSERT_TRUE(c.ok());
  EXPECT_TRUE(mxIsInt32(c.out[0].get()));
  EXPECT_EQ(kaltest::dims(c.out[0].get()), (std::vector<mwSize>{1, 3}));
  EXPECT_EQ(result(c), (std::vector<int32_t>{1, 2, 1}));
  c = run("kal_troughfind", 1, {a.get(), none.get(), two.get(), zero.get()});
  EXPECT_EQ(kaltest::dims(c.out[0].get()), (std::vector<mwSize>{3, 1}));
  EXPECT_EQ(result(c), (std::vector<int32_t>{1, 0, 1}));
}

TEST_F(TroughfindTest, FlagIsABoolean) {
  Array a = image();
  Array none = kaltest::emptyDouble();
  Array two = kaltest::doubleScalar(2);
  const std::vector<int32_t> first = {1, 0, 1};
  const std::vector<int32_t> last = {2, 2, 1};
  Array five = kaltest::doubleScalar(5);
  Array minusOne = kaltest::doubleScalar(-1);
  Array zero = kaltest::doubleScalar(0);
  Array minusZero = kaltest::doubleScalar(-0.0);
  Array yes = kaltest::logicalScalar(true);
  Array no = kaltest::logicalScalar(false);
  Array int8Three = kaltest::numericArray(mxINT8_CLASS, {1, 1});
  static_cast<int8_t *>(mxGetData(int8Three.get()))[0] = 3;
  EXPECT_EQ(result(run("kal_troughfind", 1, {a.get(), none.get(), two.get(), five.get()})), last);
  EXPECT_EQ(result(run("kal_troughfind", 1, {a.get(), none.get(), two.get(), minusOne.get()})),
            last);
  EXPECT_EQ(result(run("kal_troughfind", 1, {a.get(), none.get(), two.get(), int8Three.get()})),
            last);
  EXPECT_EQ(result(run("kal_troughfind", 1, {a.get(), none.get(), two.get(), yes.get()})), last);
  EXPECT_EQ(result(run("kal_troughfind", 1, {a.get(), none.get(), two.get(), zero.get()})), first);
  EXPECT_EQ(result(run("kal_troughfind", 1, {a.get(), none.get(), two.get(), minusZero.get()})),
            first);
  EXPECT_EQ(result(run("kal_troughfind", 1, {a.get(), none.get(), two.get(), no.get()})), first);

  Array half = kaltest::doubleScalar(0.5);
  Array word = kaltest::text("a");
  Array pair(mxCreateLogicalMatrix(1, 2));
  for (const mxArray *bad : {half.get(), word.get(), pair.get(), none.get()}) {
    EXPECT_EQ(errorOf("kal_troughfind", 1, {a.get(), none.get(), two.get(), bad}),
              "Argument 4 should be a boolean.");
  }
}

TEST_F(TroughfindTest, IntegerArgumentAndItsOrder) {
  Array a = image();
  Array none = kaltest::emptyDouble();
  Array zero = kaltest::doubleScalar(0);
  Array half = kaltest::doubleScalar(2.5);
  Array yes = kaltest::logicalScalar(true);
  Array three = kaltest::doubleScalar(3);
  Array badFlag = kaltest::doubleScalar(0.5);
  for (const mxArray *bad : {half.get(), yes.get(), none.get()}) {
    EXPECT_EQ(errorOf("kal_troughfind", 1, {a.get(), none.get(), bad, zero.get()}),
              "Argument 3 should be an integer scalar.");
  }
  EXPECT_EQ(errorOf("kal_troughfind", 1, {a.get(), none.get(), half.get(), badFlag.get()}),
            "Argument 3 should be an integer scalar.");
  EXPECT_EQ(errorOf("kal_troughfind", 1, {a.get(), none.get(), three.get(), zero.get()}),
            "kal_TroughFind: The dimension must lie in 1..2, not 3.");
}

TEST_F(TroughfindTest, MasksAndTheirFaults) {
  Array a = image();
  Array none = kaltest::emptyDouble();
  Array one = kaltest::doubleScalar(1);
  Array zero = kaltest::doubleScalar(0);
  Array mask = kaltest::doubleMatrix(3, 3, {1, 0, 1, 0, 0, 0, 1, 1, 1});
  EXPECT_EQ(result(run("kal_troughfind", 1, {a.get(), mask.get(), one.get(), zero.get()})),
            (std::vector<int32_t>{2, -1, 1}));
  Array cell = kaltest::cellMatrix(1, 1);
  Array half = kaltest::doubleScalar(0.5);
  EXPECT_EQ(errorOf("kal_troughfind", 1, {a.get(), cell.get(), half.get(), half.get()}),
            "Argument 2 (mask): brx_mex2kal: Cannot make an image of a cell array.");
  Array small = kaltest::doubleMatrix(2, 2);
  EXPECT_EQ(errorOf("kal_troughfind", 1, {a.get(), small.get(), one.get(), zero.get()}),
            "kal_TroughFind: The mask and the image differ in size.");
  Array text = kaltest::text("abc");
  EXPECT_EQ(errorOf("kal_troughfind", 1, {text.get(), none.get(), half.get(), half.get()}),
            "Argument 1 (image): brx_mex2kal: Cannot make an image of a char array.");
}

TEST_F(TroughfindTest, LibraryFailuresLeaveNothing) {
  Array a = image();
  Array mask = kaltest::doubleMatrix(3, 3, {1, 0, 1, 0, 0, 0, 1, 1, 1});
  Array one = kaltest::doubleScalar(1);
  Array half = kaltest::doubleScalar(0.5);
  const std::string release = "kal_ResourcesFree: Could not release the resource list.";
  auto trough = [&] {
    return run("kal_troughfind", 1, {a.get(), mask.get(), one.get(), one.get()});
  };
  const int64_t n = allocationFailingWith(trough, "kal_TroughFind: ");
  kal_TestFailAllocation(n);
  const std::string failure = trough().error();
  kal_TestFailAllocation(n);
  kal_TestFailRelease(1);
  EXPECT_EQ(errorOf("kal_troughfind", 1, {a.get(), mask.get(), one.get(), one.get()}),
            failure + "\n" + release);
  kal_TestFailRelease(1);
  EXPECT_EQ(errorOf("kal_troughfind", 1, {a.get(), mask.get(), one.get(), half.get()}), release);
  sweepAllocations([&] {
    return run("kal_troughfind", 1, {a.get(), mask.get(), one.get(), one.get()});
  });
}

} // namespace
