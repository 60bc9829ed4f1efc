// The wrapper frame's readers, outside any module.
#include <cmath>

#include "wrapper_frame.h"
#include "wrapper_testing.h"

namespace {

using kaltest::Array;

const WordCode kTable[] = {{"default", 0}, {"bilinear", 4}, {"linear", 4}, {"zoh", 5}};

class FrameTest : public ::testing::Test {
protected:
  void SetUp() override {
    frame_.rs = nullptr;
    frame_.error = nullptr;
    frame_.message = nullptr;
    frame_.position = 0;
  }
  WrapperFrame frame_;
};

TEST_F(FrameTest, WordsCompareWithoutRegardToCase) {
  EXPECT_TRUE(frameSameWord("ZoH", "zoh"));
  EXPECT_TRUE(frameSameWord("4-CUBIC", "4-cubic"));
  EXPECT_FALSE(frameSameWord("zo", "zoh"));
  EXPECT_FALSE(frameSameWord("zoh ", "zoh"));
  EXPECT_TRUE(frameSameWord("", ""));
}

TEST_F(FrameTest, ReadWordFindsTheCodeOrRecordsTheFault) {
  int32_t code = -1;
  Array linear = kaltest::text("LiNeAr");
  EXPECT_TRUE(frameReadWord(&frame_, linear.get(), 4, kTable, 4, &code));
  EXPECT_EQ(code, 4);
  Array empty = kaltest::emptyDouble();
  EXPECT_TRUE(frameReadWord(&frame_, empty.get(), 4, kTable, 4, &code));
  EXPECT_EQ(code, 0);
  EXPECT_EQ(frame_.message, nullptr);

  Array number = kaltest::doubleScalar(4);
  EXPECT_FALSE(frameReadWord(&frame_, number.get(), 5, kTable, 4, &code));
  EXPECT_STREQ(frame_.message, "Argument %d should be a string.");
  EXPECT_EQ(frame_.position, 5);
  // 49 characters are read: "zoh" padded to 50 is cut, not matched.
  Array padded = kaltest::text("zoh" + std::string(47, ' '));
  EXPECT_FALSE(frameReadWord(&frame_, padded.get(), 4, kTable, 4, &code));
  EXPECT_STREQ(frame_.message, "Argument %d is invalid string.");
  EXPECT_EQ(frame_.position, 4);
}

TEST_F(FrameTest, IntegersMustBeWholeAndFitThirtyTwoBits) {
  int32_t value = 0;
  Array minus = kaltest::doubleScalar(-2147483648.0);
  EXPECT_TRUE(frameReadInteger(&frame_, minus.get(), 3, &value));
  EXPECT_EQ(value, INT32_MIN);
  Array big = kaltest::doubleScalar(2147483648.0);
  EXPECT_FALSE(frameReadInteger(&frame_, big.get(), 3, &value));
  EXPECT_STREQ(frame_.message, "Argument %d should be an integer scalar.");
  Array inf = kaltest::doubleScalar(HUGE_VAL);
  EXPECT_FALSE(frameReadInteger(&frame_, inf.get(), 3, &value));
}

TEST_F(FrameTest, BooleansAreLogicalOrIntegerScalars) {
  int32_t value = -1;
  Array yes = kaltest::logicalScalar(true);
  EXPECT_TRUE(frameReadBoolean(&frame_, yes.get(), 4, &value));
  EXPECT_EQ(value, 1);
  Array seven = kaltest::int32Array({1, 1}, {-7});
  EXPECT_TRUE(frameReadBoolean(&frame_, seven.get(), 4, &value));
  EXPECT_EQ(value, 1);
  Array half = kaltest::doubleScalar(0.5);
  EXPECT_FALSE(frameReadBoolean(&frame_, half.get(), 4, &value));
  EXPECT_STREQ(frame_.message, "Argument %d should be a boolean.");
  EXPECT_EQ(frame_.position, 4);
}

} // namespace
