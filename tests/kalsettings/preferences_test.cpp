// The preference table without a host call: start-up, lookup and release.
// Conversions and corrections are checked through the gateway.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#include "kalhost.h"
#include "preferences.h"

namespace {

class PreferenceTable : public ::testing::Test {
protected:
  void SetUp() override {
    persistentAtStart_ = kalhost::persistentBlocks();
    initPreferences();
  }
  void TearDown() override {
    releasePreferences();
    EXPECT_EQ(kalhost::persistentBlocks(), persistentAtStart_);
  }
  std::size_t persistentAtStart_ = 0;
};

TEST_F(PreferenceTable, StartUpMakesEveryCurrentEntryEqualItsDefault) {
  // One 4096-byte buffer per String entry (11) and two Triple blocks.
  EXPECT_EQ(kalhost::persistentBlocks() - persistentAtStart_, 13u);
  for (int i = 0; i < kPreferenceCount; ++i) {
    const PreferenceEntry &d = defaultPreferences[i];
    const PreferenceEntry &c = currentPreferences[i];
    ASSERT_EQ(c.kind, d.kind) << preferenceName(i);
    switch (d.kind) {
    case String:
      EXPECT_STREQ(c.value.text, d.value.text) << preferenceName(i);
      EXPECT_NE(c.value.text, d.value.text) << "current strings own their buffer";
      break;
    case Triple:
      EXPECT_NE(c.value.triple, d.value.triple);
      EXPECT_EQ(std::memcmp(c.value.triple, d.value.triple, 3 * sizeof(double)), 0);
      break;
    case Real:
      EXPECT_EQ(c.value.real, d.value.real);
      break;
    default:
      EXPECT_EQ(c.value.integer, d.value.integer) << preferenceName(i);
    }
  }
  EXPECT_STREQ(currentPreferences[findPreference("DefaultColorMap")].value.text, "grey");
  EXPECT_STREQ(currentPreferences[findPreference("DerivativeFlavour")].value.text, "best");
  EXPECT_STREQ(currentPreferences[findPreference("CommandFilePath")].value.text, "");
  EXPECT_EQ(currentPreferences[ComputationLimitIndex].value.integer, 65536);
  EXPECT_EQ(currentPreferences[ImageSizeLimitIndex].value.integer, 2048);
  EXPECT_EQ(currentPreferences[findPreference("DebugMode")].value.integer, 0);
  EXPECT_EQ(currentPreferences[findPreference("TrueSize")].value.integer, 1);
  EXPECT_EQ(currentPreferences[GammaIndex].value.triple[2], 1.0);
  EXPECT_EQ(currentPreferences[GammaGreyIndex].value.real, 1.0);
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
  EXPECT_EQ(findPreference("truncation"), TruncationIndex);
  EXPECT_EQ(findPreference("Gamma"), GammaIndex);
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
  currentPreferences[ComputationLimitIndex].value.integer = 12;
  std::strcpy(currentPreferences[findPreference("DefaultColorMap")].value.text, "foo");
  releasePreferences();
  EXPECT_EQ(kalhost::persistentBlocks(), persistentAtStart_);
  EXPECT_EQ(currentPreferences[GammaIndex].value.triple, nullptr);
  initPreferences();
  EXPECT_EQ(currentPreferences[ComputationLimitIndex].value.integer, 65536);
  EXPECT_STREQ(currentPreferences[findPreference("DefaultColorMap")].value.text, "grey");
  // A second start-up over complete tables takes no new blocks.
  const std::size_t blocks = kalhost::persistentBlocks();
  initPreferences();
  EXPECT_EQ(kalhost::persistentBlocks(), blocks);
}

} // namespace
