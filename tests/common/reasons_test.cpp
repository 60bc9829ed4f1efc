// Every identifier the sources raise or warn with, kalmex:MODULE:REASON,
// takes its reason from the one list (reasons.h): the literal identifiers
// (the compiler holds every KxReason the code names to the list).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "reasons.h"

namespace {

TEST(Reasons, EveryIdentifierOfTheSourcesTakesItsReasonFromTheList) {
  std::set<std::string> words;
  for (int k = 0; k < kxReasonCount; ++k) {
    EXPECT_TRUE(words.insert(kxReasonWord(static_cast<KxReason>(k))).second) << "a word twice";
  }
  char id[64];
  kxIdentifier(id, sizeof id, "regionseg", KxReason::badOption);
  EXPECT_STREQ(id, "kalmex:regionseg:badOption");

  const std::regex given("kalmex:(?:\\w+|%s):([A-Za-z]+)['\"]|KxReason::(\\w+)");
  int found = 0;
  namespace fs = std::filesystem;
  for (const char *folder :
       {"edgethin", "kalsettings", "tiffmend", "wrappers", "imagebridge", "regionseg_core",
        "regionseg_front", "host", "common", "toolbox", "python/src", "tools"}) {
    for (const auto &entry :
         fs::recursive_directory_iterator(fs::path(KALMEX_SOURCE_ROOT) / folder)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".cpp" && ext != ".h" && ext != ".m") {
        continue;
      }
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      const std::string code = text.str();
      for (std::sregex_iterator m(code.begin(), code.end(), given), end; m != end; ++m) {
        for (std::size_t g = 1; g < m->size(); ++g) {
          if ((*m)[g].matched && (*m)[g] != "REASON") {
            ++found;
            EXPECT_EQ(words.count((*m)[g]), 1u) << entry.path() << ": " << (*m)[g];
          }
        }
      }
    }
  }
  EXPECT_GT(found, 30) << "the sources' identifiers were found";
}

} // namespace
