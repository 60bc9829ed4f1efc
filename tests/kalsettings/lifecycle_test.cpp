// The life cycle of kalsettings in the embedded host: start-up on the first
// call whatever it asks, the lock, the exit callback and a fresh start.
#include "kalsettings_fixture.h"
#include "preferences.h"

using namespace kaltest;

namespace {

using LifeCycle = Kalsettings;

TEST_F(LifeCycle, AFailingFirstCallStillStartsAndLocks) {
  const std::size_t startUp = startUpBlocks();
  ASSERT_FALSE(kalhost::isLoaded("kalsettings"));
  EXPECT_EQ(ks({}).error(), "Wrong number of input arguments.");
  EXPECT_TRUE(kalhost::isLocked("kalsettings"));
  EXPECT_EQ(kalhost::persistentBlocks() - persistentAtStart_, startUp);
  EXPECT_EQ(readText("DefaultColorMap"), "grey");
}

TEST_F(LifeCycle, ClearingWhileLockedKeepsEveryValue) {
  ASSERT_TRUE(set("DefaultColorMap", text("jet")).ok());
  ASSERT_TRUE(set("Gamma", doubleMatrix(1, 3, {2, 3, 4})).ok());
  ASSERT_TRUE(ks({doubleScalar(3).get(), text("img").get(), doubleScalar(8).get()}, 0).ok());
  EXPECT_FALSE(kalhost::clear("kalsettings"));
  kalhost::clearAll();
  EXPECT_TRUE(kalhost::isLoaded("kalsettings"));
  EXPECT_EQ(readText("DefaultColorMap"), "jet");
  EXPECT_EQ(values(read("Gamma").out[0].get()), (std::vector<double>{2, 3, 4}));
  EXPECT_EQ(mxGetScalar(ks({doubleScalar(2).get(), text("img").get()}).out[0].get()), 8);
}

TEST_F(LifeCycle, AfterUnlockAClearReleasesEverythingAndTheNextCallStartsAfresh) {
  ASSERT_TRUE(set("DebugMode", text("on")).ok());
  ASSERT_TRUE(set("CommandFilePath", text("/tmp/x")).ok());
  const std::size_t tables = kalhost::persistentBlocks();
  for (const char *name : {"a", "b", "other"}) {
    ASSERT_TRUE(ks({doubleScalar(3).get(), text(name).get(), doubleScalar(4).get()}, 0).ok());
  }
  // A copy of each bound name, none for the pool.
  EXPECT_EQ(kalhost::persistentBlocks() - tables, 2u);
  ASSERT_TRUE(ks({doubleScalar(999).get(), text("anything").get()}, 0).ok());
  EXPECT_TRUE(kalhost::isLoaded("kalsettings")); // unlocked, not yet cleared
  EXPECT_TRUE(kalhost::clear("kalsettings"));
  EXPECT_EQ(kalhost::persistentBlocks(), persistentAtStart_);

  EXPECT_EQ(readText("DebugMode"), "off");
  EXPECT_EQ(readText("CommandFilePath"), "");
  EXPECT_EQ(mxGetScalar(ks({doubleScalar(2).get(), text("a").get()}).out[0].get()), 0);
  EXPECT_TRUE(kalhost::isLocked("kalsettings"));
}

TEST_F(LifeCycle, AStartUpCutShortByMemoryResumesOnTheNextCall) {
  // Fail each host allocation of the first call in turn; every later call
  // must find complete tables, holding no more blocks than a start-up that
  // was not cut short, and the final clear must leave nothing.
  const std::size_t startUp = startUpBlocks();
  for (long n = 1;; ++n) {
    unload();
    ASSERT_EQ(kalhost::persistentBlocks(), persistentAtStart_);
    kalhost::failAllocationAt(n);
    Call first = table(1);
    kalhost::failAllocationAt(0);
    EXPECT_TRUE(kalhost::isLocked("kalsettings")) << n;
    if (first.ok()) {
      break;
    }
    EXPECT_EQ(first.error(), "Out of memory.");
    Call again = table(1);
    ASSERT_TRUE(again.ok()) << again.error();
    EXPECT_EQ(textOf(mxGetCell(again.out[0].get(), preference::DefaultMappingMode + 28)), "normal")
        << n;
    EXPECT_EQ(values(mxGetCell(again.out[0].get(), preference::Gamma + 28)),
              (std::vector<double>(3, 1.0)));
    EXPECT_EQ(kalhost::persistentBlocks() - persistentAtStart_, startUp) << n;
  }
  // A set cut short anywhere leaves the old value or the new one, never a
  // broken entry.
  for (long n = 1; n < 4; ++n) {
    kalhost::failAllocationAt(n);
    Call s = ks({doubleScalar(3).get(), text("fig").get(), doubleScalar(2).get()}, 0);
    kalhost::failAllocationAt(0);
    Call c = ks({doubleScalar(2).get(), text("fig").get()});
    EXPECT_EQ(mxGetScalar(c.out[0].get()), s.ok() ? 2 : 0) << n;
    if (s.ok()) {
      break;
    }
  }
}

} // namespace
