#include "platform/ascii_case.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace tmb::platform {
namespace {

TEST(AsciiCaseTest, OnlyAsciiLettersFold) {
  struct Case {
    std::string_view a, b;
    bool equal;
  };
  const Case cases[] = {
      {"HKEY_Current_User", "hkey_current_USER", true},
      {"", "", true},
      {"abc", "abcd", false},
      // '@' and '`' sit next to 'A' and 'a'; '[' and '{' next to 'Z' and 'z'.
      {"@", "`", false},
      {"[", "{", false},
      // Bytes above 0x7F match only themselves: no Latin-1 folding, no locale.
      {"\xC0", "\xE0", false},  // À, à
      {"x\xC0Y", "X\xC0y", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsIgnoringCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
  }
  EXPECT_EQ(FoldAscii('\xDE'), '\xDE');
  EXPECT_EQ(FoldAscii('Q'), 'q');
  EXPECT_TRUE(StartsWithIgnoringCase("DWORD:0001", "dword:"));
  EXPECT_FALSE(StartsWithIgnoringCase("dwor", "dword:"));
}

TEST(AsciiCaseTest, BoundedCompareEndsAtTheNulOrTheBound) {
  const char field[4] = {'M', 'a', 'I', 'n'};  // fills its field, no NUL
  EXPECT_TRUE(EqualsIgnoringCase(field, "main", sizeof field));
  EXPECT_TRUE(EqualsIgnoringCase(field, "MAINTENANCE", sizeof field));  // as strncasecmp
  EXPECT_FALSE(EqualsIgnoringCase(field, "mai", sizeof field));
  const std::string shorter("ab\0zz", 5);
  EXPECT_TRUE(EqualsIgnoringCase(shorter.c_str(), "AB", 5));
  EXPECT_FALSE(EqualsIgnoringCase(shorter.c_str(), "ABz", 5));
}

}  // namespace
}  // namespace tmb::platform
