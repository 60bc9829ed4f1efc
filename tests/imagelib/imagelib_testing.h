// Helpers for the image library's tests.
#ifndef KALMEX_TESTS_IMAGELIB_TESTING_H
#define KALMEX_TESTS_IMAGELIB_TESTING_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kal.h"
#include "kal_testing.h"

namespace kaltest {

// Gives each test a resource list, and checks that releasing it leaves no
// library object alive.
class LibraryTest : public ::testing::Test {
protected:
  void SetUp() override {
    kal_TestReset();
    live_ = kal_LiveObjects();
    ASSERT_EQ(kal_ResourcesNew(&rs_, 0), nullptr);
  }
  void TearDown() override {
    EXPECT_EQ(kal_ResourcesFree(&rs_), nullptr);
    kal_TestReset();
    EXPECT_EQ(kal_LiveObjects(), live_) << "library objects left alive";
  }

  // The chain's text; releases the chain.
  static std::string take(kal_Error e) {
    std::string text = e == nullptr ? "" : kal_ErrorText(e);
    kal_ErrorFree(e);
    return text;
  }

  // A double image holding the given values.
  kal_Image doubleImage(const std::vector<int32_t> &sizes, const std::vector<double> &values) {
    kal_Image image = nullptr;
    EXPECT_EQ(kal_ImageNew(&image, rs_), nullptr);
    EXPECT_EQ(
        kal_ImageForge(image, kal_DT_DFLOAT, static_cast<int32_t>(sizes.size()), sizes.data()),
        nullptr);
    const void *pixels = nullptr;
    kal_ImageGetPixels(image, &pixels);
    double *p = static_cast<double *>(const_cast<void *>(pixels));
    for (size_t i = 0; i < values.size(); ++i) {
      p[i] = values[i];
    }
    return image;
  }

  template <typename T>
  kal_Image typedImage(kal_DataType type, const std::vector<int32_t> &sizes,
                       const std::vector<T> &values) {
    kal_Image image = nullptr;
    EXPECT_EQ(kal_ImageNew(&image, rs_), nullptr);
    EXPECT_EQ(kal_ImageForge(image, type, static_cast<int32_t>(sizes.size()), sizes.data()),
              nullptr);
    const void *pixels = nullptr;
    kal_ImageGetPixels(image, &pixels);
    T *p = static_cast<T *>(const_cast<void *>(pixels));
    for (size_t i = 0; i < values.size(); ++i) {
      p[i] = values[i];
    }
    return image;
  }

  kal_Image emptyImage() {
    kal_Image image = nullptr;
    EXPECT_EQ(kal_ImageNew(&image, rs_), nullptr);
    return image;
  }

  template <typename T> static std::vector<T> pixelsOf(kal_Image image) {
    const void *pixels = nullptr;
    kal_ImageGetPixels(image, &pixels);
    int32_t dims = 0;
    kal_ImageGetDimensionality(image, &dims);
    size_t count = 1;
    for (int32_t d = 0; d < dims; ++d) {
      int32_t size = 0;
      kal_ImageGetSize(image, d, &size);
      count *= static_cast<size_t>(size);
    }
    const T *p = static_cast<const T *>(pixels);
    return std::vector<T>(p, p + count);
  }

  static std::vector<int32_t> sizesOf(kal_Image image) {
    int32_t dims = 0;
    kal_ImageGetDimensionality(image, &dims);
    std::vector<int32_t> sizes(static_cast<size_t>(dims));
    for (int32_t d = 0; d < dims; ++d) {
      kal_ImageGetSize(image, d, &sizes[static_cast<size_t>(d)]);
    }
    return sizes;
  }

  kal_Resources rs_ = nullptr;
  int64_t live_ = 0;
};

} // namespace kaltest

#endif
