// The figure-name store without a host call: the pool's turn order across a
// clear and handle conversion.  Lookups and capacity are checked through the
// gateway.
#include <gtest/gtest.h>

#include <cmath>

#include "figurenames.h"
#include "kalhost.h"

namespace {

class FigureStore : public ::testing::Test {
protected:
  void SetUp() override {
    releaseFigureNames();
    persistentAtStart_ = kalhost::persistentBlocks();
  }
  void TearDown() override {
    releaseFigureNames();
    EXPECT_EQ(kalhost::persistentBlocks(), persistentAtStart_);
  }
  std::size_t persistentAtStart_ = 0;
};

TEST_F(FigureStore, CursorSurvivesClearing) {
  bindFigureHandle("other", 1);
  bindFigureHandle("other", 2);
  figureHandleFor("x");
  figureHandleFor("x"); // cursor now at 1
  clearFigureNames();
  EXPECT_EQ(figureHandleFor("x"), 0);
  bindFigureHandle("other", 10);
  bindFigureHandle("other", 11);
  EXPECT_EQ(figureHandleFor("x"), 10); // 1 + 1 is not below 2: slot 0
  clearFigureNames();
  for (int32_t h = 20; h < 25; ++h) {
    bindFigureHandle("other", h);
  }
  EXPECT_EQ(figureHandleFor("x"), 21); // cursor 0 + 1: slot 1
  EXPECT_EQ(otherCursor, 1);
}

TEST_F(FigureStore, HandlesAreWholeNumbersIn32Bits) {
  int32_t h = 0;
  EXPECT_TRUE(figureHandleFromDouble(7.0, &h));
  EXPECT_EQ(h, 7);
  EXPECT_TRUE(figureHandleFromDouble(-2147483648.0, &h));
  EXPECT_EQ(h, INT32_MIN);
  EXPECT_TRUE(figureHandleFromDouble(2147483647.0, &h));
  for (double bad : {7.5, -0.5, 2147483648.0, -2147483649.0, HUGE_VAL, std::nan("")}) {
    EXPECT_FALSE(figureHandleFromDouble(bad, &h)) << bad;
  }
}

} // namespace
