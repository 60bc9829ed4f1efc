// kal_TurnVolume: exact identities and permutations, accuracy of the
// interpolations, fill values, integer types and refusals.
#include <cmath>
#include <random>

#include "imagelib_testing.h"

namespace {

using kaltest::LibraryTest;

const double kQuarter = 1.5707963267948966;

class TurnTest : public LibraryTest {
protected:
  kal_Image turn(kal_Image in, double angle, int32_t axis, int32_t interpolation, int32_t fill) {
    kal_Image out = emptyImage();
    kal_Error e = kal_TurnVolume(in, out, angle, axis, interpolation, fill);
    EXPECT_EQ(e, nullptr) << take(e);
    return out;
  }

  std::vector<double> randomValues(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-10, 10);
    std::vector<double> v(n);
    for (double &x : v) {
      x = u(rng);
    }
    return v;
  }
};

TEST_F(TurnTest, TurningByZeroIsTheIdentityForEveryMethodAndFill) {
  const std::vector<double> v = randomValues(5 * 6 * 7, 1);
  kal_Image volume = doubleImage({5, 6, 7}, v);
  kal_Image plane =
      typedImage<uint8_t>(kal_DT_UINT8, {4, 3}, {0, 9, 255, 3, 7, 1, 2, 200, 5, 6, 4, 8});
  for (int32_t interpolation = 0; interpolation <= 5; ++interpolation) {
    for (int32_t fill = 0; fill <= 3; ++fill) {
      for (int32_t axis = 1; axis <= 3; ++axis) {
        EXPECT_EQ(pixelsOf<double>(turn(volume, 0.0, axis, interpolation, fill)), v)
            << "interpolation " << interpolation << " fill " << fill << " axis " << axis;
      }
      EXPECT_EQ(pixelsOf<uint8_t>(turn(plane, 0.0, 3, interpolation, fill)),
                pixelsOf<uint8_t>(plane));
    }
  }
}

TEST_F(TurnTest, QuarterTurnsAboutEachAxisPermuteTheCube) {
  const int n = 5;
  const int c = n / 2;
  const std::vector<double> v = randomValues(n * n * n, 2);
  kal_Image cube = doubleImage({n, n, n}, v);
  for (int32_t axis = 1; axis <= 3; ++axis) {
    const int a = axis - 1;
    const int p = (a + 1) % 3;
    const int q = (a + 2) % 3;
    for (int32_t interpolation = 0; interpolation <= 5; ++interpolation) {
      for (int turns : {1, 2, -1}) {
        const std::vector<double> got =
            pixelsOf<double>(turn(cube, turns * kQuarter, axis, interpolation, 1));
        for (int z = 0; z < n; ++z) {
          for (int y = 0; y < n; ++y) {
            for (int x = 0; x < n; ++x) {
              int o[3] = {x, y, z};
              int s[3] = {x, y, z};
              const int dp = o[p] - c;
              const int dq = o[q] - c;
              // The content turns from dimension p towards dimension q.
              if (turns == 1) {
                s[p] = c + dq;
                s[q] = c - dp;
              } else if (turns == 2) {
                s[p] = c - dp;
                s[q] = c - dq;
              } else {
                s[p] = c - dq;
                s[q] = c + dp;
              }
              ASSERT_EQ(got[x + n * (y + n * z)], v[s[0] + n * (s[1] + n * s[2])])
                  << "axis " << axis << " interpolation " << interpolation << " turns " << turns;
            }
          }
        }
      }
    }
  }
}

TEST_F(TurnTest, QuarterTurnOfAPlaneTurnsItsContentFromDimensionOneTowardsTwo) {
  // [1 4 7; 2 5 8; 3 6 9] turned a quarter: [7 8 9; 4 5 6; 1 2 3].
  kal_Image plane = doubleImage({3, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_EQ(pixelsOf<double>(turn(plane, kQuarter, 3, 5, 0)),
            (std::vector<double>{7, 4, 1, 8, 5, 2, 9, 6, 3}));
  // Even size: the centre is pixel 2 of 0..3, so the first row leaves the image.
  std::vector<double> v(16);
  for (int i = 0; i < 16; ++i) {
    v[i] = i + 1;
  }
  const std::vector<double> got = pixelsOf<double>(turn(doubleImage({4, 4}, v), kQuarter, 3, 4, 1));
  for (int oq = 0; oq < 4; ++oq) {
    EXPECT_EQ(got[0 + 4 * oq], 0.0);
    EXPECT_EQ(got[1 + 4 * oq], v[oq + 4 * 3]);
  }
}

TEST_F(TurnTest, TurningThereAndBackRanksTheInterpolations) {
  const int n = 41;
  std::vector<double> v(n * n);
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      const double r2 = (x - 20.0) * (x - 20.0) + (y - 20.0) * (y - 20.0);
      v[x + n * y] = std::exp(-r2 / 128.0) * (1.0 + 0.5 * std::cos(0.5 * x) * std::sin(0.4 * y));
    }
  }
  kal_Image image = doubleImage({n, n}, v);
  const double angle = 30.0 * kQuarter / 90.0;
  double error[6] = {0};
  for (int32_t method = 1; method <= 5; ++method) {
    const std::vector<double> back =
        pixelsOf<double>(turn(turn(image, angle, 3, method, 1), -angle, 3, method, 1));
    double sum = 0;
    int count = 0;
    for (int y = 0; y < n; ++y) {
      for (int x = 0; x < n; ++x) {
        if ((x - 20) * (x - 20) + (y - 20) * (y - 20) <= 144) {
          sum += (back[x + n * y] - v[x + n * y]) * (back[x + n * y] - v[x + n * y]);
          ++count;
        }
      }
    }
    error[method] = std::sqrt(sum / count);
  }
  EXPECT_LT(error[1], error[4]) << "B-spline against linear";
  EXPECT_LT(error[3], error[4]) << "cubic convolution against linear";
  EXPECT_LT(error[2], error[4]) << "cubic Lagrange against linear";
  EXPECT_LT(error[4], error[5]) << "linear against nearest neighbour";
  EXPECT_LT(error[1], 0.01);
  // The default is cubic convolution.
  EXPECT_EQ(pixelsOf<double>(turn(image, angle, 3, 0, 0)),
            pixelsOf<double>(turn(image, angle, 3, 3, 1)));
}

TEST_F(TurnTest, PointsFromOutsideTakeTheFillValue) {
  std::vector<double> v(25);
  for (int i = 0; i < 25; ++i) {
    v[i] = i + 1;
  }
  kal_Image image = doubleImage({5, 5}, v);
  const double eighth = kQuarter / 2;
  EXPECT_EQ(pixelsOf<double>(turn(image, eighth, 3, 4, 0))[0], 0.0);
  EXPECT_EQ(pixelsOf<double>(turn(image, eighth, 3, 4, 1))[0], 0.0);
  EXPECT_EQ(pixelsOf<double>(turn(image, eighth, 3, 4, 2))[0], 25.0);
  EXPECT_EQ(pixelsOf<double>(turn(image, eighth, 3, 4, 3))[0], 1.0);
  EXPECT_EQ(pixelsOf<double>(turn(image, eighth, 3, 4, 3))[12], 13.0); // the centre stays
}

TEST_F(TurnTest, IntegerImagesAreRoundedAndClampedAndKeepTheirType) {
  const int n = 9;
  std::vector<int8_t> steps(n * n);
  std::vector<double> same(n * n);
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      steps[x + n * y] = x < 4 ? -128 : 127;
      same[x + n * y] = steps[x + n * y];
    }
  }
  const double angle = 0.5;
  kal_Image out = turn(typedImage<int8_t>(kal_DT_SINT8, {n, n}, steps), angle, 3, 3, 2);
  kal_DataType type = kal_DT_NONE;
  kal_ImageGetDataType(out, &type);
  EXPECT_EQ(type, kal_DT_SINT8);
  EXPECT_EQ(sizesOf(out), (std::vector<int32_t>{n, n}));
  const std::vector<int8_t> got = pixelsOf<int8_t>(out);
  const std::vector<double> exact =
      pixelsOf<double>(turn(doubleImage({n, n}, same), angle, 3, 3, 2));
  bool overshoots = false;
  for (int i = 0; i < n * n; ++i) {
    overshoots = overshoots || exact[i] < -128 || exact[i] > 127;
    const double expected = std::fmin(127, std::fmax(-128, std::round(exact[i])));
    EXPECT_EQ(got[i], static_cast<int8_t>(expected)) << i;
  }
  EXPECT_TRUE(overshoots) << "the test wants cubic overshoot to clamp";

  kal_Image volume = typedImage<uint16_t>(kal_DT_UINT16, {3, 4, 5}, std::vector<uint16_t>(60, 7));
  kal_Image turned = turn(volume, 0.3, 2, 1, 2);
  kal_ImageGetDataType(turned, &type);
  EXPECT_EQ(type, kal_DT_UINT16);
  EXPECT_EQ(sizesOf(turned), (std::vector<int32_t>{3, 4, 5}));
  EXPECT_EQ(pixelsOf<uint16_t>(turned), std::vector<uint16_t>(60, 7)); // fill max of a flat image
}

TEST_F(TurnTest, RefusedAxesCodesAndShapes) {
  kal_Image volume = doubleImage({3, 3, 3}, std::vector<double>(27, 1.0));
  kal_Image plane = doubleImage({3, 3}, std::vector<double>(9, 1.0));
  EXPECT_EQ(take(kal_TurnVolume(volume, emptyImage(), 0.1, 0, 0, 0)),
            "kal_TurnVolume: The axis must be 1, 2 or 3, not 0.");
  EXPECT_EQ(take(kal_TurnVolume(volume, emptyImage(), 0.1, 4, 0, 0)),
            "kal_TurnVolume: The axis must be 1, 2 or 3, not 4.");
  EXPECT_EQ(take(kal_TurnVolume(plane, emptyImage(), 0.1, 1, 0, 0)),
            "kal_TurnVolume: A 2-D image turns about axis 3 only, not 1.");
  EXPECT_EQ(take(kal_TurnVolume(doubleImage({3}, {1, 2, 3}), emptyImage(), 0.1, 3, 0, 0)),
            "kal_TurnVolume: The image must have 2 or 3 dimensions, not 1.");
  EXPECT_EQ(take(kal_TurnVolume(plane, emptyImage(), 0.1, 3, 6, 0)),
            "kal_TurnVolume: Unknown interpolation code 6.");
  EXPECT_EQ(take(kal_TurnVolume(plane, emptyImage(), 0.1, 3, -1, 0)),
            "kal_TurnVolume: Unknown interpolation code -1.");
  EXPECT_EQ(take(kal_TurnVolume(plane, emptyImage(), 0.1, 3, 0, 4)),
            "kal_TurnVolume: Unknown fill code 4.");
  EXPECT_EQ(take(kal_TurnVolume(plane, emptyImage(), NAN, 3, 0, 0)),
            "kal_TurnVolume: The angle is not a finite number.");
  EXPECT_EQ(take(kal_TurnVolume(emptyImage(), emptyImage(), 0.1, 3, 0, 0)),
            "kal_TurnVolume: The image has no pixels.");
  // An image without pixels turns into one of the same sizes.
  EXPECT_EQ(sizesOf(turn(doubleImage({0, 4}, {}), 0.4, 3, 0, 0)), (std::vector<int32_t>{0, 4}));
}

} // namespace
