// Access entries: their form taken apart, and which entry decides for a
// pair of identity names.
#include "config/access_entries.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tests/config/hive_files.h"

namespace tmb {
namespace {

// Parses `data` from a heap block of exactly its size, without a
// terminator, so that a scan past the end is an AddressSanitizer report.
std::optional<AccessEntry> Parse(const std::string& data) {
  std::unique_ptr<char[]> exact(new char[data.size() + (data.empty() ? 1 : 0)]);
  std::memcpy(exact.get(), data.data(), data.size());
  return ParseAccessEntry(exact.get(), data.size());
}

TEST(AccessEntryFormTest, FieldsAreTakenAsWritten) {
  std::optional<AccessEntry> e = Parse("[A][RW][SALES;STOCK][*]");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->flag, 'A');
  EXPECT_EQ(e->mode, "RW");
  EXPECT_EQ(e->list1, "SALES;STOCK");
  EXPECT_EQ(e->list2, "*");
  // Text before the first "[" and after the last field is ignored.
  e = Parse("note: [D][][][;ab] more");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->flag, 'D');
  EXPECT_EQ(e->mode, "");
  EXPECT_EQ(e->list1, "");
  EXPECT_EQ(e->list2, ";ab");
  // The longest fields fit.
  const std::string l127(127, 'x');
  e = Parse("[A][rw][" + l127 + "][" + l127 + "]");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->mode, "rw");
  EXPECT_EQ(e->list1, l127);
  EXPECT_EQ(e->list2, l127);
}

TEST(AccessEntryFormTest, DataThatBreaksTheFormGivesNothing) {
  const std::string l128(128, 'x');
  const std::string broken[] = {
      "", "A RW * *",
      "[A][RWX][*][*]",                       // MODE of 3
      "[A][R][" + l128 + "*][*]",             // list of 129
      "[A][R][" + l128 + "][*]",              // list of 128
      "[A][R][*][" + l128 + "]",
      "[", "[A", "[A]", "[A][", "[A][RW", "[A][RW]", "[A][RW][*", "[A][RW][*]", "[A][RW][*][",
      "[A][RW][*][*", "[AB][RW][*][*]", "[][RW][*][*]", "[A]x[RW][*][*]", "[A][RW][*]x[*]"};
  for (const std::string& data : broken) EXPECT_FALSE(Parse(data)) << data;
  // The text ends at a zero byte even when the data goes on.
  const char with_zero[] = "[A][RW][*]\0[*]";
  EXPECT_FALSE(ParseAccessEntry(with_zero, sizeof with_zero));
}

class AccessEntryLookupTest : public HiveFilesTest {
 protected:
  // Which entry decided, told by its LIST1; "none" when no entry applies and
  // "broken" for one that exists but breaks the form.
  static std::string Found(const std::string& first, const std::string& second) {
    const FoundAccessEntry found = FindAccessEntry(first.c_str(), second.c_str());
    if (!found.exists) return "none";
    return found.entry ? found.entry->list1 : "broken";
  }
};

TEST_F(AccessEntryLookupTest, MostSpecificEntryOfTheFirstHiveWithTheKeyDecides) {
  EXPECT_EQ(Found("a", "b"), "none");  // no Security key
  Machine({{"Security", "\"*/*\"=\"[A][R][any][]\"\r\n"}});
  EXPECT_EQ(Found("a", "b"), "any");
  User({{"Security",
         "\"x/y\"=\"[A][R][xy][]\"\r\n\"x/*\"=\"[A][R][x-any][]\"\r\n"
         "\"*/y\"=\"[A][R][any-y][]\"\r\n"}});
  EXPECT_EQ(Found("a", "b"), "none");  // the user's key hides the machine's
  EXPECT_EQ(Found("x", "y"), "xy");
  EXPECT_EQ(Found("x", "q"), "x-any");
  EXPECT_EQ(Found("q", "y"), "any-y");
  EXPECT_EQ(Found("", "y"), "any-y");  // an empty name stands for "*"
  EXPECT_EQ(Found("x", ""), "x-any");
  // The first entry that exists decides even when it denies or is broken;
  // a change counts from the next lookup on.
  User({{"Security", "\"x/y\"=\"[D][R][denied][]\"\r\n\"x/*\"=\"[A][R][x-any][]\"\r\n"}});
  EXPECT_EQ(Found("x", "y"), "denied");
  User({{"Security", "\"x/y\"=\"[A][R]\"\r\n\"x/*\"=\"[A][R][x-any][]\"\r\n"}});
  EXPECT_EQ(Found("x", "y"), "broken");
  std::remove(UserFile().c_str());
  EXPECT_EQ(Found("x", "y"), "any");
}

TEST_F(AccessEntryLookupTest, OverlongDataExistsAndLongNamesAreLookedUpWhole) {
  // 64 + 1 + 127 characters: one more than a 192-byte name buffer holds.
  const std::string first(64, 'f'), second(127, 's'), cut = second.substr(0, 126);
  Machine({{"Security", "\"*/*\"=\"[A][R][any][]\"\r\n\"big/*\"=\"[A][RW][*][" +
                            std::string(1100, 'x') + "]\"\r\n\"" + first + "/" + cut +
                            "\"=\"[A][RW][cut][*]\"\r\n"}});
  EXPECT_EQ(Found("big", "other"), "broken");  // too long: no fallback to */*
  EXPECT_EQ(Found(first, cut), "cut");
  EXPECT_EQ(Found(first, second), "any");  // not cut onto the entry above
  // Exactly 1024 characters and the terminator fit the room.
  const std::string entry = "[A][R][any][*]";
  Machine({{"Security", "\"*/*\"=\"" + entry + std::string(1024 - entry.size(), ' ') + "\"\r\n"}});
  EXPECT_EQ(Found("a", "b"), "any");
  Machine({{"Security", "\"*/*\"=\"" + entry + std::string(1025 - entry.size(), ' ') + "\"\r\n"}});
  EXPECT_EQ(Found("a", "b"), "broken");
}

TEST_F(AccessEntryLookupTest, AdministratorsComeFromTheFirstHiveWithTheKey) {
  EXPECT_EQ(ReadAdministrators(), std::nullopt);  // no Security key
  Machine({{"Security", "\"Administrators\"=\"ops/console;root/*\"\r\n"}});
  EXPECT_EQ(ReadAdministrators(), "ops/console;root/*");
  User({{"Security", "\"*/*\"=\"[A][R][any][]\"\r\n"}});
  EXPECT_EQ(ReadAdministrators(), std::nullopt);  // the user's key hides the machine's
  User({{"Security", "\"administrators\"=\"\"\r\n"}});
  EXPECT_EQ(ReadAdministrators(), "");
  // A list that does not fit its room names nobody, rather than a cut name.
  const std::string fits(kAdministratorsSize - 1, 'a'), too_long(kAdministratorsSize, 'a');
  User({{"Security", "\"Administrators\"=\"" + fits + "\"\r\n"}});
  EXPECT_EQ(ReadAdministrators(), fits);
  User({{"Security", "\"Administrators\"=\"" + too_long + "\"\r\n"}});
  EXPECT_EQ(ReadAdministrators(), std::nullopt);
}

}  // namespace
}  // namespace tmb
