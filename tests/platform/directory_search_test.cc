#include "platform/directory_search.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>
#include "tests/support/scratch_dir.h"

namespace tmb::platform {
namespace {

TEST(WildcardMatchTest, StarQuestionMarkAndCase) {
  EXPECT_TRUE(WildcardMatch("*.tmb", "Orders.TMB"));
  EXPECT_TRUE(WildcardMatch("ORD?RS.tmb", "orders.tmb"));
  EXPECT_FALSE(WildcardMatch("ord?rs.tmb", "ordrs.tmb"));  // ? is exactly one
  EXPECT_TRUE(WildcardMatch("a*b*c", "aXXbYbc"));
  EXPECT_FALSE(WildcardMatch("a*b", "aXbY"));
  EXPECT_TRUE(WildcardMatch("*", ""));
  EXPECT_FALSE(WildcardMatch("?", ""));
  EXPECT_TRUE(WildcardMatch("**x", "abx"));
  EXPECT_TRUE(WildcardMatch("*", "a*b"));
  EXPECT_TRUE(WildcardMatch("a*b", "a*b"));
  EXPECT_FALSE(WildcardMatch("exact", "exactly"));
}

TEST(WildcardMatchTest, TrailingDotStarAlsoMatchesNamesWithoutTheDot) {
  EXPECT_TRUE(WildcardMatch("*.*", "README"));
  EXPECT_TRUE(WildcardMatch("*.*", "a.b.c"));
  EXPECT_TRUE(WildcardMatch("data*.*", "data1"));
  EXPECT_TRUE(WildcardMatch("data*.*", "data1.tmb"));
  EXPECT_FALSE(WildcardMatch("data*.*", "dat"));
  EXPECT_FALSE(WildcardMatch("*.tmb", "orders"));
}

class DirectorySearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_.path();
    for (const char* name : {"b.tmb", "A.tmb", "c.txt", "README"}) {
      std::ofstream(dir_ + "/" + name) << "x";
    }
    ASSERT_EQ(mkdir((dir_ + "/Sub").c_str(), 0755), 0);
  }

  static std::vector<std::string> All(std::string_view pattern) {
    std::vector<std::string> names;
    auto search = DirectorySearch::Open(pattern);
    if (search == nullptr) return names;
    do {
      names.push_back(search->name());
    } while (search->Next());
    return names;
  }

  tmb::test::ScratchDir scratch_;
  std::string dir_;
};

TEST_F(DirectorySearchTest, ListsDotEntriesFirstThenNamesSortedIgnoringCase) {
  EXPECT_EQ(All(dir_ + "/*"),
            (std::vector<std::string>{".", "..", "A.tmb", "b.tmb", "c.txt", "README", "Sub"}));
  EXPECT_EQ(All(dir_ + "/*.TMB"), (std::vector<std::string>{"A.tmb", "b.tmb"}));
  EXPECT_EQ(All(dir_ + "/*.*"),
            (std::vector<std::string>{".", "..", "A.tmb", "b.tmb", "c.txt", "README", "Sub"}));
}

TEST_F(DirectorySearchTest, NamesWithoutWildcardsAndBackslashes) {
  EXPECT_EQ(All(dir_ + "/readme"), (std::vector<std::string>{"README"}));
  EXPECT_EQ(All(dir_ + "/Sub"), (std::vector<std::string>{"Sub"}));
  EXPECT_EQ(All(dir_ + "\\c.*"), (std::vector<std::string>{"c.txt"}));
}

TEST_F(DirectorySearchTest, NothingToListGivesNoSearch) {
  EXPECT_EQ(DirectorySearch::Open(dir_ + "/*.none"), nullptr);
  EXPECT_EQ(DirectorySearch::Open(dir_ + "/missing/*"), nullptr);
  EXPECT_EQ(DirectorySearch::Open(dir_ + "/"), nullptr);  // no name part
  EXPECT_EQ(DirectorySearch::Open(""), nullptr);
}

TEST_F(DirectorySearchTest, NextStopsAtTheEndAndKeepsTheLastName) {
  auto search = DirectorySearch::Open(dir_ + "/?.tmb");
  ASSERT_NE(search, nullptr);
  EXPECT_EQ(search->name(), "A.tmb");
  EXPECT_TRUE(search->Next());
  EXPECT_EQ(search->name(), "b.tmb");
  EXPECT_FALSE(search->Next());
  EXPECT_FALSE(search->Next());
  EXPECT_EQ(search->name(), "b.tmb");
}

TEST_F(DirectorySearchTest, HeldToRootsReadsOnlyDirectoriesThatResolveIntoThem) {
  PathRoots roots;
  roots.Add(dir_ + "/Sub");
  ASSERT_EQ(symlink("..", (dir_ + "/Sub/up").c_str()), 0);
  // A link in the root is listed as a name; as a directory it leads out.
  auto search = DirectorySearch::Open(dir_ + "\\Sub\\u*", &roots);
  ASSERT_NE(search, nullptr);
  EXPECT_EQ(search->name(), "up");
  EXPECT_EQ(DirectorySearch::Open(dir_ + "/Sub/up/*.tmb", &roots), nullptr);
  EXPECT_EQ(DirectorySearch::Open(dir_ + "/Sub/../*.tmb", &roots), nullptr);
  EXPECT_EQ(All(dir_ + "/Sub/up/*.TMB"), (std::vector<std::string>{"A.tmb", "b.tmb"}));
}

TEST_F(DirectorySearchTest, RootHasNoDotEntries) {
  const std::vector<std::string> names = All("/*");
  ASSERT_FALSE(names.empty());
  for (const std::string& n : names) {
    EXPECT_NE(n, ".");
    EXPECT_NE(n, "..");
  }
}

}  // namespace
}  // namespace tmb::platform
