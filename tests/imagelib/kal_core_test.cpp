// Resource lists, error chains, images and records, and the test hooks.
#include "imagelib_testing.h"

namespace {

using kaltest::LibraryTest;

TEST_F(LibraryTest, ResourceListReleasesEverythingRegistered) {
  kal_Resources rs = nullptr;
  const int64_t before = kal_LiveObjects();
  ASSERT_EQ(kal_ResourcesNew(&rs, 0), nullptr);
  kal_Image image = nullptr;
  ASSERT_EQ(kal_ImageNew(&image, rs), nullptr);
  const int32_t sizes[2] = {4, 5};
  ASSERT_EQ(kal_ImageForge(image, kal_DT_UINT16, 2, sizes), nullptr);
  kal_ImageArray *array = nullptr;
  ASSERT_EQ(kal_ImageArrayNew(&array, 3, rs), nullptr);
  EXPECT_EQ(array->count, 3);
  array->array[0] = image;
  array->array[1] = image;
  array->array[2] = image;
  kal_IntegerArray *dims = nullptr;
  ASSERT_EQ(kal_ImageGetDimensions(image, &dims, rs), nullptr);
  ASSERT_EQ(dims->count, 2);
  EXPECT_EQ(dims->array[0], 4);
  EXPECT_EQ(dims->array[1], 5);
  kal_DataArray *data = nullptr;
  kal_IntegerArray *types = nullptr;
  kal_IntegerArray *counts = nullptr;
  kal_IntegerArray *dimensionalities = nullptr;
  ASSERT_EQ(
      kal_ImageGetData(array, &data, &types, &counts, &dimensionalities, kal_DT_UINT16, 0, rs),
      nullptr);
  EXPECT_EQ(data->count, 3);
  EXPECT_NE(data->array[2], nullptr);
  EXPECT_EQ(types->array[1], kal_DT_UINT16);
  EXPECT_EQ(counts->array[0], 20);
  EXPECT_EQ(dimensionalities->array[0], 2);
  EXPECT_GT(kal_LiveObjects(), before);
  EXPECT_EQ(kal_ResourcesFree(&rs), nullptr);
  EXPECT_EQ(rs, nullptr);
  EXPECT_EQ(kal_LiveObjects(), before);
  EXPECT_EQ(kal_ResourcesFree(&rs), nullptr); // a released list is nothing to release
}

TEST_F(LibraryTest, FaultsOfTheBasicOperationsAreReported) {
  kal_Resources rs = nullptr;
  EXPECT_EQ(take(kal_ResourcesNew(&rs, 1)), "kal_ResourcesNew: Unknown flags 1.");
  EXPECT_EQ(rs, nullptr);
  kal_ImageArray *array = nullptr;
  EXPECT_EQ(take(kal_ImageArrayNew(&array, -1, rs_)),
            "kal_ImageArrayNew: The count -1 is negative.");
  ASSERT_EQ(kal_ImageArrayNew(&array, 1, rs_), nullptr);
  array->array[0] = emptyImage();
  kal_DataArray *data = nullptr;
  EXPECT_EQ(take(kal_ImageGetData(array, &data, 0, 0, 0, 0, 0, rs_)),
            "kal_ImageGetData: Image 0 has no pixels.");
  array->array[0] = doubleImage({2}, {1, 2});
  EXPECT_EQ(take(kal_ImageGetData(array, &data, 0, 0, 0, kal_DT_SFLOAT, 0, rs_)),
            "kal_ImageGetData: Image 0 is of type 11, not 10.");
  const int32_t sizes[1] = {3};
  EXPECT_EQ(take(kal_ImageForge(array->array[0], kal_DT_DFLOAT, 1, sizes)),
            "kal_ImageForge: The image already has pixels.");
  EXPECT_EQ(take(kal_ImageForge(emptyImage(), kal_DT_DFLOAT, 33, sizes)),
            "kal_ImageForge: An image has 0 to 32 dimensions, not 33.");
  const int32_t negative[1] = {-2};
  EXPECT_EQ(take(kal_ImageForge(emptyImage(), kal_DT_DFLOAT, 1, negative)),
            "kal_ImageForge: Size -2 of dimension 1 is negative.");
}

TEST_F(LibraryTest, ErrorChainsReadFromTheOperationDownToTheCause) {
  const int64_t before = kal_LiveObjects();
  kal_Error cause = kal_ErrorNew("kal_Inner", nullptr, "Cause %d.", 7);
  kal_Error error = kal_ErrorNew("kal_Outer", cause, "It failed.");
  EXPECT_EQ(error->next, cause);
  EXPECT_STREQ(kal_ErrorText(error), "kal_Outer: It failed.\nkal_Inner: Cause 7.");
  EXPECT_EQ(kal_ErrorText(error), kal_ErrorText(error)); // made once, kept with the chain
  EXPECT_EQ(kal_ErrorFree(error), nullptr);
  EXPECT_EQ(kal_LiveObjects(), before);
  EXPECT_EQ(kal_ErrorFree(nullptr), nullptr);
  EXPECT_STREQ(kal_ErrorText(nullptr), "");
}

TEST_F(LibraryTest, AttachedPixelsAreReadNotOwnedAndNeverAnOutput) {
  const double pixels[6] = {1, 2, 3, 4, 5, 6};
  const int32_t sizes[2] = {2, 3};
  kal_Image image = emptyImage();
  ASSERT_EQ(kal_ImageAttach(image, kal_DT_DFLOAT, 2, sizes, pixels), nullptr);
  const void *read = nullptr;
  kal_ImageGetPixels(image, &read);
  EXPECT_EQ(read, pixels);
  EXPECT_EQ(take(kal_TurnVolume(doubleImage({2, 3}, {1, 2, 3, 4, 5, 6}), image, 0, 3, 0, 0)),
            "kal_TurnVolume: The output image already has pixels.");
  EXPECT_EQ(take(kal_TurnVolume(image, image, 0, 3, 0, 0)),
            "kal_TurnVolume: The output image is the input image.");
}

TEST_F(LibraryTest, ForcedFailuresHitTheNamedStepOnce) {
  kal_Image image = nullptr;
  kal_TestFailAllocation(1);
  EXPECT_EQ(take(kal_ImageNew(&image, rs_)), "kal_ImageNew: Out of memory.");
  EXPECT_EQ(kal_TestAllocationCount(), 1);
  EXPECT_EQ(kal_ImageNew(&image, rs_), nullptr);

  kal_Resources rs = nullptr;
  ASSERT_EQ(kal_ResourcesNew(&rs, 0), nullptr);
  ASSERT_EQ(kal_ImageNew(&image, rs), nullptr);
  kal_TestFailRelease(1);
  const int64_t before = kal_LiveObjects();
  kal_Error e = kal_ResourcesFree(&rs);
  // Everything was released all the same; only the error record is alive.
  EXPECT_EQ(kal_LiveObjects(), before - 2 + 1);
  EXPECT_EQ(take(e), "kal_ResourcesFree: Could not release the resource list.");
  EXPECT_EQ(kal_ResourcesFree(&rs), nullptr);
}

TEST_F(LibraryTest, NestedFailuresChainTheCause) {
  kal_Image coordinates = emptyImage();
  kal_ImageArray *array = nullptr;
  ASSERT_EQ(kal_ImageArrayNew(&array, 1, rs_), nullptr);
  array->array[0] = coordinates;
  kal_Image image = doubleImage({5}, {0, 1, 3, 1, 0});
  // Offsets, the list of maxima, then the coordinate image's pixels.
  kal_TestFailAllocation(3);
  EXPECT_EQ(take(kal_SubpixelMaxima(image, nullptr, array, 5)),
            "kal_SubpixelMaxima: Could not make coordinate image 0.\n"
            "kal_ImageForge: Out of memory.");
}

} // namespace
