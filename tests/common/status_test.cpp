// The status of an operation: its identifier from the module and the
// reason, its message whole up to the record's room and cut beyond it.
#include <gtest/gtest.h>

#include <string>

#include "status.h"

namespace {

TEST(Status, IdentifierAndMessage) {
  const KxStatus none;
  EXPECT_FALSE(none);
  char id[kxIdentifierSize] = "x";
  none.identifier(id, sizeof id);
  EXPECT_STREQ(id, "");

  const KxStatus plain = kxFailure("tiffmend", KxReason::noInput, "100%d sure");
  ASSERT_TRUE(plain);
  plain.identifier(id, sizeof id);
  EXPECT_STREQ(id, "kalmex:tiffmend:noInput");
  EXPECT_STREQ(plain.text, "100%d sure"); // a plain text is no format

  const KxStatus made = kxFailuref("kal_peakfit", KxReason::notString, "Argument %d %s", 3, "x");
  EXPECT_STREQ(made.text, "Argument 3 x");

  const std::string longer(kxStatusTextSize + 10, 'a');
  const KxStatus cut = kxFailure("kalsettings", KxReason::corruptTable, longer.c_str());
  EXPECT_EQ(std::string(cut.text), longer.substr(0, kxStatusTextSize - 1));
}

} // namespace
