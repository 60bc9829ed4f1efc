// tiffmend's own allocations (the directory blocks and the table of
// directories seen) failing in turn: the allocator is wrapped at link time
// for this executable, so only the module's requests are counted, not
// those of the C library.  Every failure leaves the file with a prefix of
// the repairs, is reported, and leaves nothing allocated.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

#include "repair.h"
#include "tifffiles.h"

extern "C" void *__real_malloc(size_t size);
extern "C" void *__real_calloc(size_t count, size_t size);
extern "C" void __real_free(void *p);

namespace {
long failAt = 0;   // the request that fails, 0 for none
long requests = 0; // requests since the count was reset
long live = 0;     // blocks not yet freed
} // namespace

extern "C" void *__wrap_malloc(size_t size) {
  if (failAt > 0 && ++requests == failAt) {
    return nullptr;
  }
  void *p = __real_malloc(size);
  live += p != nullptr;
  return p;
}

extern "C" void *__wrap_calloc(size_t count, size_t size) {
  if (failAt > 0 && ++requests == failAt) {
    return nullptr;
  }
  void *p = __real_calloc(count, size);
  live += p != nullptr;
  return p;
}

extern "C" void __wrap_free(void *p) {
  live -= p != nullptr;
  __real_free(p);
}

namespace {

using namespace tifftest;

TEST(TiffmendAllocation, EveryRequestFailingInTurn) {
  // Seventy directories, so that the table of seen offsets grows too, each
  // with a value to repair, and an entry count of zero in between.
  for (bool big : {false, true}) {
    HandTiff t(big);
    std::vector<uint64_t> fields;
    uint64_t at = 8;
    for (int i = 0; i < 70; ++i) {
      const bool none = i % 10 == 9;
      const uint64_t size = none ? 6 : 2 + 12 * 2 + 4;
      const uint32_t next = i + 1 < 70 ? uint32_t(at + size) : 0;
      if (none) {
        t.directory(at, {}, next);
      } else {
        t.directory(at, {shortEntry(277, 3, big), shortEntry(262, 3, big)}, next);
        fields.push_back(at + 2 + 12 + 8);
      }
      at += size;
    }
    TempDir tmp;
    const std::string p = tmp.path("pages.tif");
    long n = 1;
    for (;; ++n) {
      writeFile(p, t.bytes());
      repairReport().clear();
      RepairState s = newRepairState(gatherRepairReport);
      s.verbose = true;
      const long liveBefore = live;
      requests = 0;
      failAt = n;
      repairNamedFile(p.c_str(), &s);
      failAt = 0;
      EXPECT_EQ(live, liveBefore) << "n = " << n;
      const Bytes after = readFile(p);
      if (repairReport() == "Fixed the file " + p + "\n") {
        EXPECT_EQ(after, patched(t.bytes(), fields));
        break;
      }
      EXPECT_EQ(repairReport(), "No space for TIFF directory\nProblem reading the file " + p + "\n")
          << "n = " << n;
      // The repairs made before the failure, in chain order, and no other.
      bool prefix = false;
      for (std::size_t k = 0; k <= fields.size() && !prefix; ++k) {
        prefix = after == patched(t.bytes(),
                                  std::vector<uint64_t>(fields.begin(), fields.begin() + long(k)));
      }
      EXPECT_TRUE(prefix) << "n = " << n;
      ASSERT_LT(n, 1000);
    }
    // Every directory with entries takes a block; the table of seen offsets
    // takes three (64 slots, then 128 at the 33rd directory, 256 at the 65th).
    EXPECT_EQ(n - 1, 63 + 3) << (big ? "MM" : "II");
  }
}

} // namespace
