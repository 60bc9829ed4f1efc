// A plain memory source for the preference table and the figure store,
// counting the blocks it has handed out and not yet taken back.
#ifndef KALMEX_TESTS_KALSETTINGS_STORE_MEMORY_TESTING_H
#define KALMEX_TESTS_KALSETTINGS_STORE_MEMORY_TESTING_H

#include <gtest/gtest.h>

#include <cstdlib>

#include "storememory.h"

namespace kaltest {

class PlainStoreMemory : public ::testing::Test {
protected:
  void SetUp() override {
    live() = 0;
    useStoreMemory(&kMemory);
  }
  void TearDown() override { EXPECT_EQ(live(), 0) << "blocks left behind"; }

  static long &live() {
    static long count = 0;
    return count;
  }

private:
  static void *take(std::size_t bytes) { return counted(std::malloc(bytes)); }
  static void *takeZeroed(std::size_t count, std::size_t size) {
    return counted(std::calloc(count, size));
  }
  static void giveBack(void *block) {
    --live();
    std::free(block);
  }
  static void *counted(void *block) {
    if (block == nullptr) {
      std::abort(); // the source promises never to return a null block
    }
    ++live();
    return block;
  }
  static constexpr StoreMemory kMemory = {take, takeZeroed, giveBack};
};

} // namespace kaltest

#endif
