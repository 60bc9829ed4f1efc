// The bridge: host arrays to images and back, and what it refuses.
#include <cstring>

#include "brx.h"
#include "hosttest.h"
#include "imagelib_testing.h"

namespace {

using kaltest::Array;

class BridgeTest : public kaltest::LibraryTest {
protected:
  kal_Image toImage(const mxArray *a) {
    kal_Image image = nullptr;
    kal_Error e = brx_mex2kal(a, &image, rs_);
    EXPECT_EQ(e, nullptr) << take(e);
    return image;
  }
  std::string refusal(const mxArray *a) {
    kal_Image image = nullptr;
    return take(brx_mex2kal(a, &image, rs_));
  }
};

TEST_F(BridgeTest, EveryNumericAndLogicalClassMakesTheRoundTrip) {
  const mxClassID classes[] = {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT8_CLASS,   mxUINT8_CLASS,
                               mxINT16_CLASS,  mxUINT16_CLASS, mxINT32_CLASS,  mxUINT32_CLASS,
                               mxINT64_CLASS,  mxUINT64_CLASS, mxLOGICAL_CLASS};
  for (mxClassID cls : classes) {
    const mwSize dims[3] = {2, 3, 2};
    Array a(cls == mxLOGICAL_CLASS ? mxCreateLogicalArray(3, dims)
                                   : mxCreateNumericArray(3, dims, cls, mxREAL));
    unsigned char *bytes = static_cast<unsigned char *>(mxGetData(a.get()));
    const size_t size = mxGetElementSize(a.get()) * 12;
    for (size_t i = 0; i < size; ++i) {
      bytes[i] = static_cast<unsigned char>(cls == mxLOGICAL_CLASS ? (i % 3 == 0) : 7 * i + 1);
    }
    kal_Image image = toImage(a.get());
    const void *pixels = nullptr;
    kal_ImageGetPixels(image, &pixels);
    EXPECT_EQ(pixels, mxGetData(a.get())) << "the image reads the array's own data";
    EXPECT_EQ(sizesOf(image), (std::vector<int32_t>{2, 3, 2}));
    mxArray *out[1] = {nullptr};
    ASSERT_EQ(brx_kal2mex(image, out), nullptr);
    Array back(out[0]);
    EXPECT_EQ(mxGetClassID(back.get()), cls);
    EXPECT_EQ(kaltest::dims(back.get()), (std::vector<mwSize>{2, 3, 2}));
    EXPECT_EQ(std::memcmp(mxGetData(back.get()), bytes, size), 0) << mxGetClassName(a.get());
  }
}

TEST_F(BridgeTest, TrailingSingletonDimensionsAreDropped) {
  const std::vector<std::pair<std::vector<mwSize>, std::vector<int32_t>>> cases = {
      {{4, 3, 1, 1}, {4, 3}}, {{5, 1}, {5}},          {{1, 5}, {1, 5}},
      {{1, 1}, {}},           {{1, 1, 3}, {1, 1, 3}}, {{0, 0}, {0, 0}},
  };
  for (const auto &c : cases) {
    Array a = kaltest::numericArray(mxDOUBLE_CLASS, c.first);
    EXPECT_EQ(sizesOf(toImage(a.get())), c.second);
  }
  // Back to arrays: padded to two dimensions.
  const std::vector<std::pair<std::vector<int32_t>, std::vector<mwSize>>> back = {
      {{5}, {5, 1}}, {{}, {1, 1}}, {{1, 1, 3}, {1, 1, 3}}, {{0}, {0, 1}}};
  for (const auto &c : back) {
    kal_Image image = emptyImage();
    ASSERT_EQ(
        kal_ImageForge(image, kal_DT_SINT32, static_cast<int32_t>(c.first.size()), c.first.data()),
        nullptr);
    mxArray *out[1] = {nullptr};
    ASSERT_EQ(brx_kal2mex(image, out), nullptr);
    Array a(out[0]);
    EXPECT_EQ(kaltest::dims(a.get()), c.second);
    EXPECT_TRUE(mxIsInt32(a.get()));
  }
}

TEST_F(BridgeTest, RefusesWhatIsNotAnImageAndSaysWhat) {
  EXPECT_EQ(refusal(kaltest::text("abc").get()),
            "brx_mex2kal: Cannot make an image of a char array.");
  EXPECT_EQ(refusal(kaltest::cellMatrix(1, 1).get()),
            "brx_mex2kal: Cannot make an image of a cell array.");
  EXPECT_EQ(refusal(kaltest::structScalar().get()),
            "brx_mex2kal: Cannot make an image of a struct array.");
  EXPECT_EQ(refusal(kaltest::complexDouble(2, 2).get()),
            "brx_mex2kal: Cannot make an image of a complex array.");
  EXPECT_EQ(refusal(kaltest::sparseDouble(2, 2).get()),
            "brx_mex2kal: Cannot make an image of a sparse array.");
  mxArray *out[1] = {nullptr};
  EXPECT_EQ(take(brx_kal2mex(emptyImage(), out)), "brx_kal2mex: The image has no pixels.");
  EXPECT_EQ(out[0], nullptr);
}

TEST_F(BridgeTest, StringAndEmptyImageTests) {
  EXPECT_TRUE(mxIsCharString(kaltest::text("linear").get()));
  EXPECT_TRUE(mxIsCharString(kaltest::text("").get()));
  const mwSize two[2] = {2, 3};
  Array matrix(mxCreateCharArray(2, two));
  EXPECT_FALSE(mxIsCharString(matrix.get()));
  EXPECT_FALSE(mxIsCharString(kaltest::doubleScalar(1).get()));
  EXPECT_TRUE(mxIsEmptyImage(kaltest::emptyDouble().get()));
  EXPECT_TRUE(mxIsEmptyImage(kaltest::cellMatrix(0, 0).get()));
  EXPECT_TRUE(mxIsEmptyImage(kaltest::text("").get()));
  EXPECT_FALSE(mxIsEmptyImage(kaltest::doubleScalar(0).get()));
}

TEST_F(BridgeTest, PrintErrorStructGivesTheChainsText) {
  kal_Error e = kal_ErrorNew("brx_mex2kal", kal_ErrorNew("kal_ImageNew", nullptr, "Out of memory."),
                             "Could not make the image.");
  EXPECT_STREQ(brx_PrintErrorStruct(e, 0, 0),
               "brx_mex2kal: Could not make the image.\nkal_ImageNew: Out of memory.");
  kal_ErrorFree(e);
}

} // namespace
