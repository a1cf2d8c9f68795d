#include "secure/access_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tests/config/hive_files.h"

namespace tmb {
namespace {

// Evaluates `data` from a heap block of exactly its size, without a
// terminator, so that a scan past the end is an AddressSanitizer report.
int32_t Evaluate(const std::string& data, const char* first, const char* second) {
  std::unique_ptr<char[]> exact(new char[data.size() + (data.empty() ? 1 : 0)]);
  std::memcpy(exact.get(), data.data(), data.size());
  return EvaluateAccessEntry(exact.get(), data.size(), first, second);
}

TEST(AccessEntryTest, ResultsOfWellFormedEntries) {
  EXPECT_EQ(Evaluate("[A][RW][*][*]", "SALES", "STOCK"), 0x303);
  EXPECT_EQ(Evaluate("[A][rw][*][*]", "SALES", ""), 0x003);
  EXPECT_EQ(Evaluate("[A][Rw][][*]", "SALES", "STOCK"), 0x300);
  EXPECT_EQ(Evaluate("[A][R][*][*]", "SALES", "STOCK"), 0x101);
  EXPECT_EQ(Evaluate("[A][R][SALES;STOCK][]", "STOCK", ""), 0x001);
  EXPECT_EQ(Evaluate("[A][R][SALES;STOCK][]", "stock", ""), 0);  // case-sensitive
  EXPECT_EQ(Evaluate("[A][R][;SALES][]", "SALES", ""), 0x001);   // one leading ";"
  EXPECT_EQ(Evaluate("[A][R][;;SALES][]", "SALES", ""), 0x001);  // then an empty element
  EXPECT_EQ(Evaluate("[A][R][SALESX;SALE][]", "SALES", ""), 0);  // whole elements only
  EXPECT_EQ(Evaluate("[A][][x;y*][;ab]", "q", "ab"), 0x101);
  EXPECT_EQ(Evaluate("[A][W][*][*]", "a", "b"), 0x101);  // only "RW" grants writing
  EXPECT_EQ(Evaluate("note: [A][RW][*][*] more", "a", "b"), 0x303);
}

TEST(AccessEntryTest, EmptyNamesAndDenyingOrEmptyEntriesAllowNothing) {
  EXPECT_EQ(Evaluate("[A][RW][*][*]", "", ""), 0);
  EXPECT_EQ(Evaluate("[D][RW][*][*]", "a", "b"), 0);
  EXPECT_EQ(Evaluate("[d][RW][*][*]", "a", "b"), 0);
  EXPECT_EQ(Evaluate("", "a", "b"), 0);
  EXPECT_EQ(Evaluate("A RW * *", "a", "b"), 0);
  EXPECT_EQ(Evaluate("[A][RWX][*][*]", "a", "b"), 0);  // breaks the form
}

// CheckAccess gives the result of the entry that decides (the lookup
// itself: tests/config/access_entries_test.cc).
class CheckAccessTest : public HiveFilesTest {
 protected:
  static int32_t Check(const char* first, const char* second) {
    return CheckAccess(first, second, "ignored", "R1", "R2");
  }
};

TEST_F(CheckAccessTest, ResultOfTheEntryThatDecides) {
  EXPECT_EQ(Check("a", "b"), kAccessNoEntry);  // no Security key
  Machine({{"Security", "\"*/*\"=\"[A][RW][*][*]\"\r\n\"big/*\"=\"[A][RW][*][" +
                            std::string(1100, 'x') + "]\"\r\n"}});
  EXPECT_EQ(Check("a", "b"), 0x303);
  EXPECT_EQ(Check("big", "b"), 0);  // exists but breaks the form: nothing, not "no entry"
  User({{"Security", "\"x/y\"=\"[A][R][*][*]\"\r\n"}});
  EXPECT_EQ(Check("a", "b"), kAccessNoEntry);  // the user's key has no entry for a/b
  EXPECT_EQ(Check("x", "y"), 0x101);
}

}  // namespace
}  // namespace tmb
