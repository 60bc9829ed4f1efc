// A fixture for the tests of regionseg_core's operations: every test gives
// back all it allocated through the module's allocator, and leaves no
// allocation failure armed for the next one.
#ifndef KALMEX_TESTS_REGIONSEG_BALANCED_TEST_H
#define KALMEX_TESTS_REGIONSEG_BALANCED_TEST_H

#include <gtest/gtest.h>

#include "regionseg.h"

namespace segtest {

class BalancedTest : public ::testing::Test {
protected:
  void SetUp() override { live_ = seg_live_allocations(); }
  void TearDown() override {
    seg_fail_allocation_at(0);
    EXPECT_EQ(seg_live_allocations(), live_) << "allocations left by the test";
  }
  long live_ = 0;
};

} // namespace segtest

#endif
