// kal_SubpixelMaxima: the search, the five method codes and their refusals.
#include <cmath>

#include "imagelib_testing.h"

namespace {

using kaltest::LibraryTest;

class MaximaTest : public LibraryTest {
protected:
  // Runs the operation and returns the maxima, one vector of D coordinates each.
  std::vector<std::vector<float>> maxima(kal_Image image, kal_Image mask, int32_t method) {
    int32_t dims = 0;
    kal_ImageGetDimensionality(image, &dims);
    kal_ImageArray *coordinates = nullptr;
    EXPECT_EQ(kal_ImageArrayNew(&coordinates, dims, rs_), nullptr);
    for (int32_t d = 0; d < dims; ++d) {
      coordinates->array[d] = emptyImage();
    }
    kal_Error e = kal_SubpixelMaxima(image, mask, coordinates, method);
    EXPECT_EQ(e, nullptr) << take(e);
    std::vector<std::vector<float>> found;
    for (int32_t d = 0; d < dims; ++d) {
      EXPECT_EQ(sizesOf(coordinates->array[d]).size(), 1u);
      const std::vector<float> column = pixelsOf<float>(coordinates->array[d]);
      found.resize(column.size());
      for (size_t m = 0; m < column.size(); ++m) {
        found[m].push_back(column[m]);
      }
    }
    return found;
  }

  // A sampled Gaussian blob of the given width centred at c (x fastest).
  kal_Image blob(const std::vector<int32_t> &sizes, const std::vector<double> &c, double sigma) {
    std::vector<double> values;
    const int32_t nz = sizes.size() > 2 ? sizes[2] : 1;
    for (int32_t z = 0; z < nz; ++z) {
      for (int32_t y = 0; y < sizes[1]; ++y) {
        for (int32_t x = 0; x < sizes[0]; ++x) {
          double r2 = (x - c[0]) * (x - c[0]) + (y - c[1]) * (y - c[1]);
          if (sizes.size() > 2) {
            r2 += (z - c[2]) * (z - c[2]);
          }
          values.push_back(100.0 * std::exp(-r2 / (2 * sigma * sigma)));
        }
      }
    }
    return doubleImage(sizes, values);
  }
};

TEST_F(MaximaTest, GaussianBlobIsFoundWithinOneHundredthOfAPixel) {
  const std::vector<double> centre = {12.3, 11.6, 12.45};
  kal_Image image = blob({25, 24, 26}, centre, 3.0);
  for (int32_t method : {4, 5, 6, 0}) {
    const auto found = maxima(image, nullptr, method);
    ASSERT_EQ(found.size(), 1u) << "method " << method;
    for (int d = 0; d < 3; ++d) {
      EXPECT_NEAR(found[0][d], centre[d], 0.01) << "method " << method << " dimension " << d;
    }
  }
  // The log-parabola is exact for a Gaussian; the default is the parabola.
  const auto gaussian = maxima(image, nullptr, 6);
  EXPECT_NEAR(gaussian[0][1], 11.6, 1e-4);
  EXPECT_EQ(maxima(image, nullptr, 0), maxima(image, nullptr, 5));
}

TEST_F(MaximaTest, SplineSearchBeatsTheParabolaOnANarrowPeak) {
  const std::vector<double> centre = {10.35, 9.8};
  kal_Image image = blob({21, 20}, centre, 1.5);
  const auto spline = maxima(image, nullptr, 4);
  const auto parabola = maxima(image, nullptr, 5);
  ASSERT_EQ(spline.size(), 1u);
  EXPECT_LT(std::fabs(spline[0][0] - 10.35), std::fabs(parabola[0][0] - 10.35));
  EXPECT_NEAR(spline[0][0], 10.35, 0.02);
  EXPECT_NEAR(spline[0][1], 9.8, 0.02);
}

TEST_F(MaximaTest, CentreOfGravityWeighsTheNeighbourhoodAboveItsMinimum) {
  // 3 x 3 around the maximum at (1, 1): 10 in the centre, 4 to its right
  // along dimension 0, 1 elsewhere: weights 9 and 3 above the minimum 1.
  std::vector<double> v(25, 0.0);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 3; ++x) {
      v[x + 5 * y] = 1;
    }
  }
  v[1 + 5 * 1] = 10;
  v[2 + 5 * 1] = 4;
  const auto found = maxima(doubleImage({5, 5}, v), nullptr, 1);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_FLOAT_EQ(found[0][0], 1.0f + 3.0f / 12.0f);
  EXPECT_FLOAT_EQ(found[0][1], 1.0f);
}

TEST_F(MaximaTest, OnlyStrictInteriorMaximaInsideTheMaskInStorageOrder) {
  // 1-D: peaks at 2 and 6 (strict), a plateau at 9-10, a rise at the border.
  kal_Image image = doubleImage({13}, {0, 1, 5, 1, 0, 2, 7, 2, 0, 4, 4, 0, 9});
  auto found = maxima(image, nullptr, 5);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_NEAR(found[0][0], 2.0, 1e-6);
  EXPECT_NEAR(found[1][0], 6.0, 1e-6);

  // The mask chooses candidates; neighbours outside it still count.
  kal_Image mask = typedImage<uint8_t>(kal_DT_BIN, {13}, {0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0});
  found = maxima(image, mask, 5);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NEAR(found[0][0], 6.0, 1e-6);
  kal_Image onlySlope =
      typedImage<int32_t>(kal_DT_SINT32, {13}, {0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_TRUE(maxima(image, onlySlope, 5).empty());

  // 2-D, several maxima in storage order (dimension 0 fastest).
  std::vector<double> v(36, 0.0);
  v[4 + 6 * 1] = 3; // (4, 1)
  v[1 + 6 * 3] = 5; // (1, 3)
  v[3 + 6 * 4] = 2; // (3, 4)
  found = maxima(doubleImage({6, 6}, v), nullptr, 5);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0], (std::vector<float>{4, 1}));
  EXPECT_EQ(found[1], (std::vector<float>{1, 3}));
  EXPECT_EQ(found[2], (std::vector<float>{3, 4}));
}

TEST_F(MaximaTest, NoMaximaGiveOneDimensionalImagesOfSizeZero) {
  kal_Image flat = doubleImage({4, 3}, std::vector<double>(12, 1.0));
  kal_ImageArray *coordinates = nullptr;
  ASSERT_EQ(kal_ImageArrayNew(&coordinates, 2, rs_), nullptr);
  coordinates->array[0] = emptyImage();
  coordinates->array[1] = emptyImage();
  ASSERT_EQ(kal_SubpixelMaxima(flat, nullptr, coordinates, 4), nullptr);
  EXPECT_EQ(sizesOf(coordinates->array[0]), std::vector<int32_t>{0});
  EXPECT_EQ(sizesOf(coordinates->array[1]), std::vector<int32_t>{0});
  // A row image has no interior pixel; nor has an image with no pixels.
  EXPECT_TRUE(maxima(doubleImage({1, 7}, {0, 1, 5, 1, 0, 0, 0}), nullptr, 5).empty());
  EXPECT_TRUE(maxima(doubleImage({0, 0}, {}), nullptr, 5).empty());
}

TEST_F(MaximaTest, IntegerImagesWork) {
  const auto found = maxima(typedImage<uint8_t>(kal_DT_UINT8, {5}, {1, 2, 9, 5, 1}), nullptr, 5);
  ASSERT_EQ(found.size(), 1u);
  // Parabola through 2, 9, 5: offset (2 - 5) / (2 (2 - 18 + 5)) = 3 / 22.
  EXPECT_FLOAT_EQ(found[0][0], 2.0f + 3.0f / 22.0f);
}

TEST_F(MaximaTest, RefusedCodesAndArguments) {
  kal_Image image = doubleImage({5}, {1, 2, 9, 5, 1});
  kal_ImageArray *coordinates = nullptr;
  ASSERT_EQ(kal_ImageArrayNew(&coordinates, 1, rs_), nullptr);
  coordinates->array[0] = emptyImage();
  EXPECT_EQ(take(kal_SubpixelMaxima(image, nullptr, coordinates, 2)),
            "kal_SubpixelMaxima: Method code 2 is not supported.");
  EXPECT_EQ(take(kal_SubpixelMaxima(image, nullptr, coordinates, 3)),
            "kal_SubpixelMaxima: Method code 3 is not supported.");
  EXPECT_EQ(take(kal_SubpixelMaxima(image, nullptr, coordinates, 7)),
            "kal_SubpixelMaxima: Unknown method code 7.");
  EXPECT_EQ(take(kal_SubpixelMaxima(image, doubleImage({4}, {1, 1, 1, 1}), coordinates, 5)),
            "kal_SubpixelMaxima: The mask and the image differ in size.");
  kal_ImageArray *two = nullptr;
  ASSERT_EQ(kal_ImageArrayNew(&two, 2, rs_), nullptr);
  EXPECT_EQ(take(kal_SubpixelMaxima(image, nullptr, two, 5)),
            "kal_SubpixelMaxima: The coordinate array must hold 1 images.");
  EXPECT_EQ(take(kal_SubpixelMaxima(doubleImage({5}, {1, -2, 9, 5, 1}), nullptr, coordinates, 6)),
            "kal_SubpixelMaxima: The gaussian fit needs positive values around every maximum.");
  // Positive values around every maximum suffice.
  EXPECT_EQ(maxima(doubleImage({5}, {-1, 2, 9, 5, 1}), nullptr, 6).size(), 1u);
}

} // namespace
