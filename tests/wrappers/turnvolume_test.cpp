// kal_turnvolume through the embedded host.
#include <cmath>

#include "wrapper_testing.h"

namespace {

using kaltest::Array;
using kaltest::Call;

class TurnvolumeTest : public kaltest::WrapperTest {
protected:
  static Array volume() {
    Array a = kaltest::numericArray(mxDOUBLE_CLASS, {5, 6, 7});
    double *p = mxGetPr(a.get());
    for (int i = 0; i < 210; ++i) {
      p[i] = std::sin(0.37 * i) * 10 + i * 0.1;
    }
    return a;
  }

  // The library's own result for the given codes.
  static std::vector<double> direct(const mxArray *image, double angle, int32_t axis,
                                    int32_t interpolation, int32_t fill) {
    kaltest::Direct d;
    kal_Image out = d.empty();
    EXPECT_EQ(kal_TurnVolume(d.image(image), out, angle, axis, interpolation, fill), nullptr);
    return kaltest::values(d.array(out).get());
  }
};

TEST_F(TurnvolumeTest, CountsOfInputsAndOutputs) {
  Array image = volume();
  Array angle = kaltest::doubleScalar(0.3);
  Array axis = kaltest::doubleScalar(1);
  Array none = kaltest::emptyDouble();
  EXPECT_EQ(errorOf("kal_turnvolume", 1, {image.get(), angle.get(), axis.get(), none.get()}),
            "Wrong number of input arguments.");
  EXPECT_EQ(
      errorOf("kal_turnvolume", 2, {image.get(), angle.get(), axis.get(), none.get(), none.get()}),
      "Wrong number of output arguments.");
}

TEST_F(TurnvolumeTest, WordsAreCaseBlindAndMapToTheirCodes) {
  Array image = volume();
  Array angle = kaltest::doubleScalar(0.4);
  Array axis = kaltest::doubleScalar(2);
  Array none = kaltest::emptyDouble();
  Array zero = kaltest::text("zero");
  const std::vector<std::pair<std::string, int32_t>> interpolations = {
      {"default", 0},  {"bspline", 1},  {"4-cubic", 2}, {"3-cubic", 3},
      {"bilinear", 4}, {"linear", 4},   {"zoh", 5},     {"ZOH", 5},
      {"Linear", 4},   {"BiLinear", 4}, {"BSPLINE", 1}, {"", 0},
  };
  for (const auto &w : interpolations) {
    Array word = kaltest::text(w.first);
    Call c =
        run("kal_turnvolume", 1, {image.get(), angle.get(), axis.get(), word.get(), zero.get()});
    ASSERT_TRUE(c.ok()) << w.first << ": " << c.error();
    EXPECT_EQ(kaltest::values(c.out[0].get()), direct(image.get(), 0.4, 2, w.second, 1)) << w.first;
  }
  Array cubic = kaltest::text("3-cubic");
  const std::vector<std::pair<std::string, int32_t>> fills = {
      {"default", 0}, {"zero", 1}, {"max", 2}, {"MIN", 3}, {"Max", 2}, {"", 0}};
  for (const auto &w : fills) {
    Array word = kaltest::text(w.first);
    Call c =
        run("kal_turnvolume", 1, {image.get(), angle.get(), axis.get(), cubic.get(), word.get()});
    ASSERT_TRUE(c.ok()) << w.first << ": " << c.error();
    EXPECT_EQ(kaltest::values(c.out[0].get()), direct(image.get(), 0.4, 2, 3, w.second)) << w.first;
  }
  Call empties =
      run("kal_turnvolume", 1, {image.get(), angle.get(), axis.get(), none.get(), none.get()});
  ASSERT_TRUE(empties.ok());
  EXPECT_EQ(kaltest::values(empties.out[0].get()), direct(image.get(), 0.4, 2, 0, 0));
  // The codes really differ.
  EXPECT_NE(direct(image.get(), 0.4, 2, 4, 1), direct(image.get(), 0.4, 2, 5, 1));
  EXPECT_NE(direct(image.get(), 0.4, 2, 3, 2), direct(image.get(), 0.4, 2, 3, 3));
}

TEST_F(TurnvolumeTest, AngleAndAxisArguments) {
  Array image = volume();
  Array none = kaltest::emptyDouble();
  Array angle = kaltest::doubleScalar(0.25);
  Array two = kaltest::doubleScalar(2.0);
  Array twoAndHalf = kaltest::doubleScalar(2.5);
  Array huge = kaltest::doubleScalar(1e10);
  Array word = kaltest::text("x");
  Array int8Two = kaltest::numericArray(mxINT8_CLASS, {1, 1});
  static_cast<int8_t *>(mxGetData(int8Two.get()))[0] = 2;
  Array singleAngle = kaltest::numericArray(mxSINGLE_CLASS, {1, 1});
  static_cast<float *>(mxGetData(singleAngle.get()))[0] = 0.25f;

  Call c = run("kal_turnvolume", 1, {image.get(), angle.get(), two.get(), none.get(), none.get()});
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(kaltest::values(c.out[0].get()), direct(image.get(), 0.25, 2, 0, 0));
  c = run("kal_turnvolume", 1, {image.get(), angle.get(), int8Two.get(), none.get(), none.get()});
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(kaltest::values(c.out[0].get()), direct(image.get(), 0.25, 2, 0, 0));
  c = run("kal_turnvolume", 1, {image.get(), singleAngle.get(), two.get(), none.get(), none.get()});
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(kaltest::values(c.out[0].get()), direct(image.get(), 0.25, 2, 0, 0));

  for (const mxArray *bad : {twoAndHalf.get(), huge.get(), word.get(), none.get()}) {
    EXPECT_EQ(errorOf("kal_turnvolume", 1, {image.get(), angle.get(), bad, none.get(), none.get()}),
              "Argument 3 should be an integer scalar.");
  }
  Array pair = kaltest::doubleMatrix(1, 2, {1, 2});
  Array yes = kaltest::logicalScalar(true);
  Array complexAngle = kaltest::complexDouble(1, 1);
  for (const mxArray *bad : {word.get(), pair.get(), yes.get(), complexAngle.get(), none.get()}) {
    EXPECT_EQ(errorOf("kal_turnvolume", 1, {image.get(), bad, two.get(), none.get(), none.get()}),
              "Argument 2 should be a real scalar.");
  }
  Array four = kaltest::doubleScalar(4);
  EXPECT_EQ(
      errorOf("kal_turnvolume", 1, {image.get(), angle.get(), four.get(), none.get(), none.get()}),
      "kal_TurnVolume: The axis must be 1, 2 or 3, not 4.");
  Array nan = kaltest::doubleScalar(NAN);
  EXPECT_EQ(
      errorOf("kal_turnvolume", 1, {image.get(), nan.get(), two.get(), none.get(), none.get()}),
      "kal_TurnVolume: The angle is not a finite number.");
}

TEST_F(TurnvolumeTest, WordArgumentFaultsAndTheirOrder) {
  Array image = volume();
  Array none = kaltest::emptyDouble();
  Array angle = kaltest::doubleScalar(0.25);
  Array axis = kaltest::doubleScalar(3);
  Array number = kaltest::doubleScalar(4);
  Array cubic = kaltest::text("cubic");
  Array maximum = kaltest::text("maximum");
  Array longWord = kaltest::text(std::string(60, 'z'));
  EXPECT_EQ(errorOf("kal_turnvolume", 1,
                    {image.get(), angle.get(), axis.get(), number.get(), none.get()}),
            "Argument 4 should be a string.");
  EXPECT_EQ(
      errorOf("kal_turnvolume", 1, {image.get(), angle.get(), axis.get(), cubic.get(), none.get()}),
      "Argument 4 is invalid string.");
  EXPECT_EQ(errorOf("kal_turnvolume", 1,
                    {image.get(), angle.get(), axis.get(), longWord.get(), none.get()}),
            "Argument 4 is invalid string.");
  EXPECT_EQ(errorOf("kal_turnvolume", 1,
                    {image.get(), angle.get(), axis.get(), none.get(), number.get()}),
            "Argument 5 should be a string.");
  EXPECT_EQ(errorOf("kal_turnvolume", 1,
                    {image.get(), angle.get(), axis.get(), none.get(), maximum.get()}),
            "Argument 5 is invalid string.");
  // Earlier arguments first: the angle before the interpolation word, the
  // image before everything.
  Array badAngle = kaltest::text("a");
  Array badAxis = kaltest::doubleScalar(0.5);
  EXPECT_EQ(errorOf("kal_turnvolume", 1,
                    {image.get(), badAngle.get(), axis.get(), cubic.get(), maximum.get()}),
            "Argument 2 should be a real scalar.");
  EXPECT_EQ(errorOf("kal_turnvolume", 1,
                    {image.get(), angle.get(), badAxis.get(), cubic.get(), none.get()}),
            "Argument 3 should be an integer scalar.");
  Array cell = kaltest::cellMatrix(1, 1);
  EXPECT_EQ(errorOf("kal_turnvolume", 1,
                    {cell.get(), badAngle.get(), badAxis.get(), none.get(), none.get()}),
            "Argument 1 (image): brx_mex2kal: Cannot make an image of a cell array.");
}

TEST_F(TurnvolumeTest, ResultKeepsClassAndSizes) {
  // uint8 [1 4 7; 2 5 8; 3 6 9] turned a quarter about axis 3.
  Array image = kaltest::numericArray(mxUINT8_CLASS, {3, 3});
  uint8_t *p = static_cast<uint8_t *>(mxGetData(image.get()));
  for (int i = 0; i < 9; ++i) {
    p[i] = static_cast<uint8_t>(i + 1);
  }
  Array angle = kaltest::doubleScalar(1.5707963267948966);
  Array axis = kaltest::doubleScalar(3);
  Array none = kaltest::emptyDouble();
  Call c = run("kal_turnvolume", 1, {image.get(), angle.get(), axis.get(), none.get(), none.get()});
  ASSERT_TRUE(c.ok()) << c.error();
  ASSERT_TRUE(mxIsUint8(c.out[0].get()));
  EXPECT_EQ(kaltest::dims(c.out[0].get()), (std::vector<mwSize>{3, 3}));
  const uint8_t *q = static_cast<const uint8_t *>(mxGetData(c.out[0].get()));
  EXPECT_EQ(std::vector<uint8_t>(q, q + 9), (std::vector<uint8_t>{7, 4, 1, 8, 5, 2, 9, 6, 3}));

  Array logical(mxCreateLogicalMatrix(4, 4));
  c = run("kal_turnvolume", 1, {logical.get(), angle.get(), axis.get(), none.get(), none.get()});
  ASSERT_TRUE(c.ok());
  EXPECT_TRUE(mxIsLogical(c.out[0].get()));
  Array vector = kaltest::doubleMatrix(5, 1);
  EXPECT_EQ(
      errorOf("kal_turnvolume", 1, {vector.get(), angle.get(), axis.get(), none.get(), none.get()}),
      "kal_TurnVolume: The image must have 2 or 3 dimensions, not 1.");
}

TEST_F(TurnvolumeTest, LibraryFailuresLeaveNothing) {
  Array image = volume();
  Array angle = kaltest::doubleScalar(0.3);
  Array axis = kaltest::doubleScalar(1);
  Array none = kaltest::emptyDouble();
  Array bspline = kaltest::text("bspline");
  Array bad = kaltest::doubleScalar(7);
  kal_TestFailRelease(1);
  EXPECT_EQ(
      errorOf("kal_turnvolume", 1, {image.get(), angle.get(), axis.get(), bad.get(), none.get()}),
      "kal_ResourcesFree: Could not release the resource list.");
  sweepAllocations([&] {
    return run("kal_turnvolume", 1,
               {image.get(), angle.get(), axis.get(), bspline.get(), none.get()});
  });
}

} // namespace
