// The preference table with a plain memory source, no host at all:
// start-up, lookup and release.  Conversions and corrections are checked
// through the gateway.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#include "preferences.h"
#include "store_memory_testing.h"

namespace {

class PreferenceTable : public kaltest::PlainStoreMemory {
protected:
  void SetUp() override {
    PlainStoreMemory::SetUp();
    initPreferences();
  }
  void TearDown() override {
    releasePreferences();
    PlainStoreMemory::TearDown();
  }
};

TEST_F(PreferenceTable, StartUpMakesEveryCurrentEntryEqualItsDefault) {
  for (int i = 0; i < kPreferenceCount; ++i) {
    const PreferenceEntry &d = defaultPreferences[i];
    const PreferenceEntry &c = currentPreferences[i];
    ASSERT_EQ(c.kind, d.kind) << preferenceName(i);
    switch (d.kind) {
    case PreferenceKind::String:
      EXPECT_STREQ(c.value.text, d.value.text) << preferenceName(i);
      EXPECT_NE(c.value.text, d.value.text) << "current strings own their buffer";
      break;
    case PreferenceKind::Triple:
      EXPECT_NE(c.value.triple, d.value.triple);
      EXPECT_EQ(std::memcmp(c.value.triple, d.value.triple, 3 * sizeof(double)), 0);
      break;
    case PreferenceKind::Real:
      EXPECT_EQ(c.value.real, d.value.real);
      break;
    default:
      EXPECT_EQ(c.value.integer, d.value.integer) << preferenceName(i);
    }
  }
  EXPECT_STREQ(currentPreferences[findPreference("DefaultColorMap")].value.text, "grey");
  EXPECT_STREQ(currentPreferences[findPreference("DerivativeFlavour")].value.text, "best");
  EXPECT_STREQ(currentPreferences[findPreference("CommandFilePath")].value.text, "");
  EXPECT_EQ(currentPreferences[preference::ComputationLimit].value.integer, 65536);
  EXPECT_EQ(currentPreferences[preference::ImageSizeLimit].value.integer, 2048);
  EXPECT_EQ(currentPreferences[findPreference("DebugMode")].value.integer, 0);
  EXPECT_EQ(currentPreferences[findPreference("TrueSize")].value.integer, 1);
  EXPECT_EQ(currentPreferences[preference::Gamma].value.triple[2], 1.0);
  EXPECT_EQ(currentPreferences[preference::GammaGrey].value.real, 1.0);
}

TEST_F(PreferenceTable, NamesAreFoundIgnoringCaseInListOrder) {
  for (int i = 0; i < kPreferenceCount; ++i) {
    std::string upper = preferenceName(i);
    for (char &ch : upper) {
      ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    EXPECT_EQ(findPreference(upper.c_str()), i);
    if (i > 0) {
      EXPECT_LT(std::strcmp(preferenceName(i - 1), preferenceName(i)), 0);
    }
  }
  EXPECT_EQ(findPreference("truncation"), preference::Truncation);
  EXPECT_EQ(findPreference("Gamma"), preference::Gamma);
  EXPECT_EQ(findPreference("GammaGre"), -1);
  EXPECT_EQ(findPreference("GammaGreyy"), -1);
  EXPECT_EQ(findPreference(""), -1);
  EXPECT_EQ(onOffFromWord("ON"), 1);
  EXPECT_EQ(onOffFromWord("oFf"), 0);
  EXPECT_EQ(onOffFromWord("yes"), -1);
  EXPECT_EQ(onOffFromWord("o"), -1);
  EXPECT_STREQ(onOffWord(1), "on");
  EXPECT_EQ(onOffWord(2), nullptr);
}

TEST_F(PreferenceTable, ReleaseFreesEveryBlockAndStartUpWorksAgain) {
  currentPreferences[preference::ComputationLimit].value.integer = 12;
  std::strcpy(currentPreferences[findPreference("DefaultColorMap")].value.text, "foo");
  const long blocks = live();
  releasePreferences();
  EXPECT_EQ(live(), 0);
  EXPECT_EQ(currentPreferences[preference::Gamma].value.triple, nullptr);
  initPreferences();
  EXPECT_EQ(currentPreferences[preference::ComputationLimit].value.integer, 65536);
  EXPECT_STREQ(currentPreferences[findPreference("DefaultColorMap")].value.text, "grey");
  EXPECT_EQ(live(), blocks);
  // A second start-up over complete tables takes no new blocks.
  initPreferences();
  EXPECT_EQ(live(), blocks);
}

} // namespace
