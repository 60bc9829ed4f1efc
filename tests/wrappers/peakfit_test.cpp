// kal_peakfit through the embedded host.
#include <cmath>

#include "wrapper_testing.h"

namespace {

using kaltest::Array;
using kaltest::Call;

class PeakfitTest : public kaltest::WrapperTest {
protected:
  // A 2-D image with two Gaussian peaks (sizes 21 x 19).
  static Array twoPeaks() {
    Array a = kaltest::doubleMatrix(21, 19);
    double *p = mxGetPr(a.get());
    for (int y = 0; y < 19; ++y) {
      for (int x = 0; x < 21; ++x) {
        const double r1 = (x - 6.3) * (x - 6.3) + (y - 5.6) * (y - 5.6);
        const double r2 = (x - 14.8) * (x - 14.8) + (y - 12.2) * (y - 12.2);
        p[x + 21 * y] = 50 * std::exp(-r1 / 8.0) + 30 * std::exp(-r2 / 4.5);
      }
    }
    return a;
  }

  // The library's own answer for a method code, as an n x D matrix.
  static std::vector<double> direct(const mxArray *image, int32_t method) {
    kaltest::Direct d;
    kal_Image in = d.image(image);
    int32_t dims = 0;
    kal_ImageGetDimensionality(in, &dims);
    kal_ImageArray *coordinates = nullptr;
    kal_ImageArrayNew(&coordinates, dims, d.rs);
    for (int32_t i = 0; i < dims; ++i) {
      coordinates->array[i] = d.empty();
    }
    EXPECT_EQ(kal_SubpixelMaxima(in, nullptr, coordinates, method), nullptr);
    std::vector<double> values;
    for (int32_t i = 0; i < dims; ++i) {
      Array column = d.array(coordinates->array[i]);
      const float *f = static_cast<const float *>(mxGetData(column.get()));
      values.insert(values.end(), f, f + mxGetNumberOfElements(column.get()));
    }
    return values;
  }
};

TEST_F(PeakfitTest, CountsOfInputsAndOutputs) {
  Array image = twoPeaks();
  Array none = kaltest::emptyDouble();
  EXPECT_EQ(errorOf("kal_peakfit", 1, {image.get(), none.get()}),
            "Wrong number of input arguments.");
  EXPECT_EQ(errorOf("kal_peakfit", 1, {image.get(), none.get(), none.get(), none.get()}),
            "Wrong number of input arguments.");
  EXPECT_EQ(errorOf("kal_peakfit", 2, {image.get(), none.get(), none.get()}),
            "Wrong number of output arguments.");
  Call quiet = run("kal_peakfit", 0, {image.get(), none.get(), none.get()});
  EXPECT_TRUE(quiet.ok()) << quiet.error();
}

TEST_F(PeakfitTest, RowsArePeaksAndColumnsDimensions) {
  Array image = twoPeaks();
  Array none = kaltest::emptyDouble();
  Array gaussian = kaltest::text("gaussian");
  Call c = run("kal_peakfit", 1, {image.get(), none.get(), gaussian.get()});
  ASSERT_TRUE(c.ok()) << c.error();
  ASSERT_TRUE(mxIsDouble(c.out[0].get()));
  ASSERT_EQ(kaltest::dims(c.out[0].get()), (std::vector<mwSize>{2, 2}));
  const std::vector<double> v = kaltest::values(c.out[0].get());
  // Storage order: (6.3, 5.6) comes before (14.8, 12.2).
  EXPECT_NEAR(v[0], 6.3, 1e-3);
  EXPECT_NEAR(v[1], 14.8, 1e-3);
  EXPECT_NEAR(v[2], 5.6, 1e-3);
  EXPECT_NEAR(v[3], 12.2, 1e-3);
}

TEST_F(PeakfitTest, MethodWordsAreCaseBlindAndMapToTheirCodes) {
  Array image = twoPeaks();
  Array none = kaltest::emptyDouble();
  const std::vector<std::pair<std::string, int32_t>> words = {
      {"default", 0},  {"linear", 1},  {"LINEAR", 1},  {"Linear", 1}, {"parabolic", 5},
      {"Gaussian", 6}, {"bspline", 4}, {"BSpline", 4}, {"", 0},
  };
  for (const auto &w : words) {
    Array word = kaltest::text(w.first);
    Call c = run("kal_peakfit", 1, {image.get(), none.get(), word.get()});
    ASSERT_TRUE(c.ok()) << w.first << ": " << c.error();
    EXPECT_EQ(kaltest::values(c.out[0].get()), direct(image.get(), w.second)) << w.first;
  }
  Call empty = run("kal_peakfit", 1, {image.get(), none.get(), none.get()});
  EXPECT_EQ(kaltest::values(empty.out[0].get()), direct(image.get(), 0));
  // The methods really differ.
  EXPECT_NE(direct(image.get(), 1), direct(image.get(), 5));
  EXPECT_NE(direct(image.get(), 4), direct(image.get(), 5));
}

TEST_F(PeakfitTest, MethodArgumentFaults) {
  Array image = twoPeaks();
  Array none = kaltest::emptyDouble();
  Array number = kaltest::doubleScalar(1);
  Array cell = kaltest::cellMatrix(1, 1);
  const mwSize two[2] = {2, 3};
  Array matrix(mxCreateCharArray(2, two));
  Array cubic = kaltest::text("cubic");
  Array spaced = kaltest::text("linear ");
  Array longWord = kaltest::text(std::string(50, 'l'));
  Array longLinear = kaltest::text("linear" + std::string(44, ' '));
  for (const mxArray *bad : {number.get(), cell.get(), matrix.get()}) {
    EXPECT_EQ(errorOf("kal_peakfit", 1, {image.get(), none.get(), bad}),
              "Argument 3 should be a string.");
  }
  for (const mxArray *bad : {cubic.get(), spaced.get(), longWord.get(), longLinear.get()}) {
    EXPECT_EQ(errorOf("kal_peakfit", 1, {image.get(), none.get(), bad}),
              "Argument 3 is invalid string.");
  }
}

TEST_F(PeakfitTest, MasksChooseTheCandidates) {
  Array image = twoPeaks();
  Array none = kaltest::emptyDouble();
  Array noCell = kaltest::cellMatrix(0, 0);
  Array method = kaltest::text("parabolic");
  Array mask(mxCreateLogicalMatrix(21, 19));
  mxLogical *m = mxGetLogicals(mask.get());
  for (int y = 10; y < 19; ++y) {
    for (int x = 10; x < 21; ++x) {
      m[x + 21 * y] = true;
    }
  }
  Call all = run("kal_peakfit", 1, {image.get(), none.get(), method.get()});
  Call emptyCell = run("kal_peakfit", 1, {image.get(), noCell.get(), method.get()});
  Call masked = run("kal_peakfit", 1, {image.get(), mask.get(), method.get()});
  ASSERT_TRUE(all.ok() && emptyCell.ok() && masked.ok());
  EXPECT_EQ(kaltest::dims(all.out[0].get()), (std::vector<mwSize>{2, 2}));
  EXPECT_EQ(kaltest::values(emptyCell.out[0].get()), kaltest::values(all.out[0].get()));
  ASSERT_EQ(kaltest::dims(masked.out[0].get()), (std::vector<mwSize>{1, 2}));
  EXPECT_EQ(kaltest::values(masked.out[0].get())[0], kaltest::values(all.out[0].get())[1]);

  Array small = kaltest::doubleMatrix(3, 3);
  EXPECT_EQ(errorOf("kal_peakfit", 1, {image.get(), small.get(), method.get()}),
            "kal_SubpixelMaxima: The mask and the image differ in size.");
}

TEST_F(PeakfitTest, FaultOrderFollowsTheArguments) {
  Array image = twoPeaks();
  Array cell = kaltest::cellMatrix(1, 1);
  Array complexMask = kaltest::complexDouble(21, 19);
  Array number = kaltest::doubleScalar(3);
  Array none = kaltest::emptyDouble();
  EXPECT_EQ(errorOf("kal_peakfit", 1, {cell.get(), none.get(), number.get()}),
            "Argument 1 (image): brx_mex2kal: Cannot make an image of a cell array.");
  EXPECT_EQ(errorOf("kal_peakfit", 1, {image.get(), complexMask.get(), number.get()}),
            "Argument 2 (mask): brx_mex2kal: Cannot make an image of a complex array.");
}

TEST_F(PeakfitTest, EmptyResults) {
  Array none = kaltest::emptyDouble();
  Array scalar = kaltest::doubleScalar(4);
  Array flat = kaltest::doubleMatrix(4, 4, std::vector<double>(16, 1.0));
  Array volume = kaltest::numericArray(mxSINGLE_CLASS, {4, 4, 4});
  Array row = kaltest::doubleMatrix(1, 5, {0, 1, 5, 1, 0});
  Array column = kaltest::doubleMatrix(5, 1, {0, 1, 5, 1, 0});
  const std::vector<std::pair<const mxArray *, std::vector<mwSize>>> cases = {
      {scalar.get(), {0, 2}}, {flat.get(), {0, 2}},   {volume.get(), {0, 3}},
      {row.get(), {0, 2}},    {column.get(), {1, 1}}, {none.get(), {0, 2}},
  };
  for (const auto &c : cases) {
    Call call = run("kal_peakfit", 1, {c.first, none.get(), none.get()});
    ASSERT_TRUE(call.ok()) << call.error();
    EXPECT_EQ(kaltest::dims(call.out[0].get()), c.second);
  }
}

TEST_F(PeakfitTest, TheLibrarysTextTakesPrecedence) {
  Array image = twoPeaks();
  Array none = kaltest::emptyDouble();
  Array number = kaltest::doubleScalar(3);
  const std::string release = "kal_ResourcesFree: Could not release the resource list.";
  // A failing release outranks a recorded argument message.
  kal_TestFailRelease(1);
  EXPECT_EQ(errorOf("kal_peakfit", 1, {image.get(), none.get(), number.get()}), release);
  kal_TestFailRelease(1);
  EXPECT_EQ(errorOf("kal_peakfit", 2, {image.get(), none.get(), none.get()}), release);
  // An operation's failure comes first, the release's is chained after it.
  auto peakfit = [&] { return run("kal_peakfit", 1, {image.get(), none.get(), none.get()}); };
  const int64_t maxima = allocationFailingWith(peakfit, "kal_SubpixelMaxima: Out of memory.");
  kal_TestFailAllocation(maxima);
  kal_TestFailRelease(1);
  EXPECT_EQ(errorOf("kal_peakfit", 1, {image.get(), none.get(), none.get()}),
            "kal_SubpixelMaxima: Out of memory.\n" + release);
  // Each step's own failure is the one reported.
  for (const char *step :
       {"kal_ImageGetData: Out of memory.", "brx_newkal: Could not make the image."}) {
    EXPECT_GT(allocationFailingWith(peakfit, step), 0) << step;
  }
  // The resource list comes before anything else: its failure outranks the count message.
  kal_TestFailAllocation(1);
  EXPECT_EQ(errorOf("kal_peakfit", 1, {image.get(), none.get()}),
            "kal_ResourcesNew: Out of memory.");
  Array gaussian = kaltest::text("gaussian");
  Array negative = kaltest::doubleMatrix(3, 3, {0, 0, 0, 0, 1, -1, 0, 0, 0});
  EXPECT_EQ(errorOf("kal_peakfit", 1, {negative.get(), none.get(), gaussian.get()}),
            "kal_SubpixelMaxima: The gaussian fit needs positive values around every maximum.");
}

TEST_F(PeakfitTest, ChainedReleaseErrorGoesAfterEveryRecord) {
  Array image = twoPeaks();
  Array none = kaltest::emptyDouble();
  // Find the allocation of the first coordinate image's pixels: the one
  // whose failure gives a two-record chain.
  for (int64_t n = 1; n < 100; ++n) {
    kal_TestFailAllocation(n);
    Call c = run("kal_peakfit", 1, {image.get(), none.get(), none.get()});
    ASSERT_FALSE(c.ok());
    if (c.error().find("Could not make coordinate image 0.") != std::string::npos) {
      kal_TestFailAllocation(n);
      kal_TestFailRelease(1);
      EXPECT_EQ(errorOf("kal_peakfit", 1, {image.get(), none.get(), none.get()}),
                "kal_SubpixelMaxima: Could not make coordinate image 0.\n"
                "kal_ImageForge: Out of memory.\n"
                "kal_ResourcesFree: Could not release the resource list.");
      return;
    }
  }
  ADD_FAILURE() << "no allocation of a coordinate image found";
}

TEST_F(PeakfitTest, EveryAllocationFailureIsReportedAndLeavesNothing) {
  Array image = twoPeaks();
  Array none = kaltest::emptyDouble();
  Array mask(mxCreateLogicalMatrix(21, 19));
  for (int i = 0; i < 21 * 19; ++i) {
    mxGetLogicals(mask.get())[i] = true;
  }
  for (const char *method : {"linear", "bspline", "gaussian"}) {
    Array word = kaltest::text(method);
    sweepAllocations([&] { return run("kal_peakfit", 1, {image.get(), mask.get(), word.get()}); });
  }
}

} // namespace
