// The KALMEX_THREADS rule and what the machine tells, with no host linked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "machine.h"
#include "threadpool.h"

namespace {

// KALMEX_THREADS set to TEXT (unset for null) for the life of the object.
class ThreadsSetting {
public:
  explicit ThreadsSetting(const char *text) {
    if (text == nullptr) {
      unsetenv("KALMEX_THREADS");
    } else {
      setenv("KALMEX_THREADS", text, 1);
    }
  }
  ~ThreadsSetting() { unsetenv("KALMEX_THREADS"); }
};

struct Reading {
  int threads;
  std::string warning;
};

Reading read(const char *text) {
  ThreadsSetting setting(text);
  char warning[kxThreadWarningSize];
  const int threads = kxEnvironmentThreads(warning, sizeof warning);
  return {threads, warning};
}

TEST(Machine, CoresAndMemory) {
  const int cores = kxCoreCount();
  EXPECT_GE(cores, 1);
  EXPECT_LE(cores, kxMaxThreads);
  EXPECT_GT(kxPhysicalMemoryBytes(), 0.0); // every system the project builds on tells
}

// Every whole number from 1 to kxMaxThreads, with or without blanks around,
// is taken as it is, silently; without a setting the cores are used.
TEST(Machine, CountsAreTakenAsWritten) {
  std::mt19937 random(7);
  const char *blanks[] = {"", " ", "\t", "  "};
  for (int n = 1; n <= kxMaxThreads; n += 1 + static_cast<int>(random() % 13)) {
    const std::string text =
        std::string(blanks[random() % 4]) + std::to_string(n) + blanks[random() % 4];
    const Reading r = read(text.c_str());
    EXPECT_EQ(r.threads, n) << '"' << text << '"';
    EXPECT_EQ(r.warning, "") << '"' << text << '"';
  }
  for (const char *none : {static_cast<const char *>(nullptr), ""}) {
    const Reading r = read(none);
    EXPECT_EQ(r.threads, kxCoreCount());
    EXPECT_EQ(r.warning, "");
  }
}

// Anything else gives the cores and one sentence naming the value (its
// first 40 characters), whole in a buffer of kxThreadWarningSize, and cut
// (never overrun) in a smaller one.
TEST(Machine, OtherValuesAreNamedAndPassedOver) {
  const std::string longValue(300, '7');
  for (const std::string &text : {std::string("0"), std::string("1025"), std::string("-2"),
                                  std::string("many"), std::string("3 threads"), std::string("2.5"),
                                  std::string("99999999999999999999"), longValue}) {
    const Reading r = read(text.c_str());
    EXPECT_EQ(r.threads, kxCoreCount()) << text;
    const std::string want = "KALMEX_THREADS is \"" + text.substr(0, 40) +
                             "\", not a whole number from 1 to 1024: it is ignored, and " +
                             std::to_string(kxCoreCount()) + " threads (one per core) are used.";
    EXPECT_EQ(r.warning, want) << text;
    EXPECT_LT(want.size(), kxThreadWarningSize);
  }
  ThreadsSetting setting("many");
  char small[12];
  EXPECT_EQ(kxEnvironmentThreads(small, sizeof small), kxCoreCount());
  EXPECT_EQ(std::string(small), "KALMEX_THRE");
  EXPECT_EQ(kxEnvironmentThreads(nullptr, 0), kxCoreCount());
}

} // namespace
