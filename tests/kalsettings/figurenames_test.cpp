// The figure-name store with a plain memory source, no host at all: the
// pool's turn order across a clear and handle conversion.  Lookups and capacity are checked through
// the gateway.
#include <gtest/gtest.h>

#include <cmath>

#include "figurenames.h"
#include "store_memory_testing.h"

namespace {

class FigureStore : public kaltest::PlainStoreMemory {
protected:
  void SetUp() override {
    PlainStoreMemory::SetUp();
    releaseFigureNames(); // the store as at load, cursor included
  }
  void TearDown() override {
    releaseFigureNames();
    PlainStoreMemory::TearDown();
  }
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
