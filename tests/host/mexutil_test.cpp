// The host-independent helpers every module reads its arguments with.
#include "hosttest.h"
#include "mexutil.h"

#include <cstring>

using namespace kaltest;

namespace {

TEST(MexUtil, GetStringCopiesAtMostSizeMinusOne) {
  Array s = text("abcdefghij");
  char buf[8];
  std::memset(buf, 'z', sizeof buf);
  EXPECT_EQ(kxGetString(s.get(), buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "abcdefg");
  char whole[11];
  EXPECT_EQ(kxGetString(s.get(), whole, sizeof whole), 0);
  EXPECT_STREQ(whole, "abcdefghij");
  EXPECT_EQ(kxGetString(doubleScalar(3).get(), whole, sizeof whole), 1);
  EXPECT_STREQ(whole, "");
  EXPECT_EQ(kxGetString(text("").get(), whole, sizeof whole), 0);
}

TEST(MexUtil, ScalarTestsMeanOneElementRealNumeric) {
  EXPECT_TRUE(kxIsScalar(doubleScalar(2.5).get()));
  EXPECT_TRUE(kxIsScalar(int32Array({1, 1}, {3}).get()));
  EXPECT_FALSE(kxIsScalar(text("a").get()));
  EXPECT_FALSE(kxIsScalar(logicalScalar(true).get()));
  EXPECT_FALSE(kxIsScalar(cellMatrix(1, 1).get()));
  EXPECT_FALSE(kxIsScalar(complexDouble(1, 1).get()));
  EXPECT_FALSE(kxIsScalar(doubleMatrix(1, 2).get()));
  EXPECT_FALSE(kxIsScalar(sparseDouble(1, 1).get()));

  EXPECT_TRUE(mxIsIntScalar(doubleScalar(2.0).get()));
  EXPECT_TRUE(mxIsIntScalar(doubleScalar(-3.0).get()));
  EXPECT_FALSE(mxIsIntScalar(doubleScalar(2.5).get()));
  EXPECT_FALSE(mxIsIntScalar(doubleScalar(mxGetNaN()).get()));
  EXPECT_FALSE(mxIsIntScalar(doubleScalar(mxGetInf()).get()));
  EXPECT_FALSE(mxIsIntScalar(text("1").get()));

  EXPECT_TRUE(kxIsRealScalarValue(logicalScalar(false).get()));
  EXPECT_FALSE(kxIsRealScalarValue(text("x").get()));
}

TEST(MexUtil, DimensionsAreCheckedAgainst32Bits) {
  int32_t out = 0;
  EXPECT_TRUE(kxSizeToInt32(2147483647u, &out));
  EXPECT_EQ(out, 2147483647);
  EXPECT_FALSE(kxSizeToInt32(2147483648u, &out));
  Array a = numericArray(mxINT32_CLASS, {4, 4, 2});
  int32_t d[3];
  int n = 0;
  EXPECT_TRUE(kxDims32(a.get(), d, 3, &n));
  EXPECT_EQ(n, 3);
  EXPECT_EQ(d[2], 2);
  EXPECT_FALSE(kxDims32(a.get(), d, 2, &n));
}

} // namespace
