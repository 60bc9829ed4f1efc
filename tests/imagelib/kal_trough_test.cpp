// kal_TroughFind against a brute-force search, with masks and ties.
#include <cmath>
#include <random>

#include "imagelib_testing.h"

namespace {

using kaltest::LibraryTest;

class TroughTest : public LibraryTest {
protected:
  kal_Image find(kal_Image image, kal_Image mask, int32_t dimension, int32_t last) {
    kal_Image out = emptyImage();
    kal_Error e = kal_TroughFind(image, mask, out, dimension, last);
    EXPECT_EQ(e, nullptr) << take(e);
    return out;
  }
};

// Brute force over a 3-D image, one line at a time.
std::vector<int32_t> bruteForce(const std::vector<double> &v, const std::vector<uint8_t> *mask,
                                const int32_t *sizes, int dim, bool last) {
  int32_t out[3] = {sizes[0], sizes[1], sizes[2]};
  out[dim] = 1;
  std::vector<int32_t> result(static_cast<size_t>(out[0] * out[1] * out[2]));
  for (int z = 0; z < out[2]; ++z) {
    for (int y = 0; y < out[1]; ++y) {
      for (int x = 0; x < out[0]; ++x) {
        int best = -1;
        double lowest = 0;
        for (int k = 0; k < sizes[dim]; ++k) {
          int c[3] = {x, y, z};
          c[dim] = k;
          const size_t i = static_cast<size_t>(c[0] + sizes[0] * (c[1] + sizes[1] * c[2]));
          if (mask != nullptr && (*mask)[i] == 0) {
            continue;
          }
          if (best < 0 || v[i] < lowest || (last && v[i] == lowest)) {
            best = k;
            lowest = v[i];
          }
        }
        result[static_cast<size_t>(x + out[0] * (y + out[1] * z))] = best;
      }
    }
  }
  return result;
}

TEST_F(TroughTest, MatchesABruteForceSearchWithMasksAndTies) {
  const int32_t sizes[3] = {4, 5, 6};
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> value(0, 3); // few values: many ties
  std::bernoulli_distribution inside(0.6);
  for (int trial = 0; trial < 4; ++trial) {
    std::vector<double> v(120);
    std::vector<int64_t> v64(120);
    std::vector<uint8_t> mask(120);
    for (size_t i = 0; i < v.size(); ++i) {
      v[i] = value(rng);
      v64[i] = static_cast<int64_t>(v[i]) - 2;
      mask[i] = inside(rng) ? 1 : 0;
    }
    kal_Image image = doubleImage({4, 5, 6}, v);
    kal_Image wide = typedImage<int64_t>(kal_DT_SINT64, {4, 5, 6}, v64);
    kal_Image m = typedImage<uint8_t>(kal_DT_BIN, {4, 5, 6}, mask);
    for (int dim = 0; dim < 3; ++dim) {
      for (int last = 0; last <= 1; ++last) {
        EXPECT_EQ(pixelsOf<int32_t>(find(image, nullptr, dim + 1, last)),
                  bruteForce(v, nullptr, sizes, dim, last == 1));
        EXPECT_EQ(pixelsOf<int32_t>(find(image, m, dim + 1, last)),
                  bruteForce(v, &mask, sizes, dim, last == 1));
        EXPECT_EQ(pixelsOf<int32_t>(find(wide, m, dim + 1, last)),
                  bruteForce(v, &mask, sizes, dim, last == 1));
      }
    }
  }
}

TEST_F(TroughTest, ResultIsInt32WithTheSearchedDimensionOfSizeOne) {
  kal_Image image = typedImage<uint8_t>(kal_DT_UINT8, {3, 2}, {5, 1, 1, 0, 9, 9});
  kal_Image out = find(image, nullptr, 1, 0);
  kal_DataType type = kal_DT_NONE;
  kal_ImageGetDataType(out, &type);
  EXPECT_EQ(type, kal_DT_SINT32);
  EXPECT_EQ(sizesOf(out), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(pixelsOf<int32_t>(out), (std::vector<int32_t>{1, 0}));
  EXPECT_EQ(pixelsOf<int32_t>(find(image, nullptr, 1, 1)), (std::vector<int32_t>{2, 0}));
  EXPECT_EQ(sizesOf(find(image, nullptr, 2, 0)), (std::vector<int32_t>{3, 1}));
}

TEST_F(TroughTest, LinesWithoutMaskedOrComparablePixelsGiveMinusOne) {
  kal_Image image = doubleImage({3, 2}, {NAN, NAN, 4, 2, 1, 3});
  kal_Image mask = typedImage<uint8_t>(kal_DT_BIN, {3, 2}, {1, 1, 0, 0, 0, 0});
  EXPECT_EQ(pixelsOf<int32_t>(find(image, mask, 1, 0)), (std::vector<int32_t>{-1, -1}));
  EXPECT_EQ(pixelsOf<int32_t>(find(image, nullptr, 1, 0)), (std::vector<int32_t>{2, 1}));
  // A dimension of size 0: every line is empty.
  EXPECT_EQ(pixelsOf<int32_t>(find(doubleImage({0, 3}, {}), nullptr, 1, 0)),
            (std::vector<int32_t>{-1, -1, -1}));
}

TEST_F(TroughTest, RefusedDimensionsFlagsAndMasks) {
  kal_Image image = doubleImage({3, 2}, {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(take(kal_TroughFind(image, nullptr, emptyImage(), 0, 0)),
            "kal_TroughFind: The dimension must lie in 1..2, not 0.");
  EXPECT_EQ(take(kal_TroughFind(image, nullptr, emptyImage(), 3, 0)),
            "kal_TroughFind: The dimension must lie in 1..2, not 3.");
  EXPECT_EQ(take(kal_TroughFind(image, nullptr, emptyImage(), 1, 2)),
            "kal_TroughFind: The flag must be 0 or 1, not 2.");
  EXPECT_EQ(
      take(kal_TroughFind(image, doubleImage({2, 3}, {1, 1, 1, 1, 1, 1}), emptyImage(), 1, 0)),
      "kal_TroughFind: The mask and the image differ in size.");
  EXPECT_EQ(take(kal_TroughFind(doubleImage({}, {5}), nullptr, emptyImage(), 1, 0)),
            "kal_TroughFind: The dimension must lie in 1..0, not 1.");
}

} // namespace
