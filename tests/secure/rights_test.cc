// The decisions of enforced access: what earned rights allow per catalog,
// which opens need writing, which catalog holds a file, who administers;
// and client texts made fit for log lines.
#include "secure/rights.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "secure/access_check.h"
#include "secure/log_text.h"
#include "tests/support/scratch_dir.h"

namespace tmb {
namespace {

ConnectionRights Earned(const char* r1, const char* r2, int32_t check) {
  ConnectionRights rights;
  EarnRights(&rights, "alice", "pc1", r1, r2, check);
  return rights;
}

TEST(RightsTest, EachBitAllowsItsOwnResourceNameAsACatalog) {
  const ConnectionRights rights = Earned("Sales", "Stock", kAccessFirst | kAccessSecond |
                                                               kAccessSecondWrite);
  EXPECT_TRUE(MayReadCatalog(rights, "SALES"));  // catalogs are found ignoring case
  EXPECT_FALSE(MayWriteCatalog(rights, "Sales"));
  EXPECT_TRUE(MayWriteCatalog(rights, "stock"));
  EXPECT_FALSE(MayReadCatalog(rights, "Archive"));
  // A bit of one name never lends itself to the other.
  EXPECT_FALSE(MayReadCatalog(Earned("Sales", "Stock", kAccessSecond), "Sales"));
  // An empty resource name names no catalog, not even one without a name.
  EXPECT_FALSE(MayReadCatalog(Earned("", "", 0x303), ""));

  // A file is allowed by any of its catalogs, and one in none is nobody's.
  const std::vector<std::string> sales = {"Sales"}, shared = {"Sales", "Stock"}, none;
  EXPECT_TRUE(MayRead(rights, sales));
  EXPECT_FALSE(MayWrite(rights, sales));
  EXPECT_TRUE(MayWrite(rights, shared));
  EXPECT_FALSE(MayRead(rights, none));
}

TEST(RightsTest, NoEntryADenialOrARefusedIdentificationAllowNothing) {
  for (int32_t check : {kAccessNoEntry, 0}) {
    const ConnectionRights rights = Earned("Sales", "Sales", check);
    EXPECT_EQ(rights.granted, 0) << check;
    EXPECT_FALSE(MayReadCatalog(rights, "Sales")) << check;
  }
  ConnectionRights rights = Earned("Sales", "", 0x003);
  rights.files.push_back({7, {"Sales"}});
  DropRights(&rights);
  EXPECT_FALSE(rights.identified);
  EXPECT_FALSE(MayReadCatalog(rights, "Sales"));
  EXPECT_EQ(rights.files.size(), 1u);  // still open, and judged by the rights at each write
}

TEST(RightsTest, OnlyASharedReadOnlyOpenIsNoWrite) {
  EXPECT_TRUE(OpenNeedsWrite(0));
  EXPECT_FALSE(OpenNeedsWrite(1));
  EXPECT_TRUE(OpenNeedsWrite(2));
  EXPECT_TRUE(OpenNeedsWrite(3));  // exclusive keeps the writers out
}

TEST(LibraryPathTest, RelativeNamesLandInTheDataDirectoryWithTheirSuffix) {
  EXPECT_EQ(LibraryPath("/data", "../x/items"), "/data/../x/items.tmb");
  EXPECT_EQ(LibraryPath("/data", "items.TMB"), "/data/items.TMB");
  EXPECT_EQ(LibraryPath("/data", "/elsewhere/items"), "/elsewhere/items.tmb");
}

// Catalog directories and files on disk, in a fresh directory per case.
class CatalogDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"/sales", "/stock", "/stock/sub"}) {
      ASSERT_EQ(mkdir((root_ + dir).c_str(), 0755), 0);
    }
    Touch("/sales/a.tmb");
    Touch("/stock/b.tmb");
    ASSERT_EQ(symlink((root_ + "/sales/a.tmb").c_str(), (root_ + "/stock/link.tmb").c_str()), 0);
    ASSERT_EQ(symlink((root_ + "/sales").c_str(), (root_ + "/alias").c_str()), 0);
  }
  void Touch(const std::string& file) { std::fclose(std::fopen((root_ + file).c_str(), "w")); }

  std::vector<std::string> Holding(const std::string& path) const {
    return CatalogsAt(HoldingDirectory(path), catalogs_);
  }

  test::ScratchDir scratch_{"tmb-rights"};
  const std::string& root_ = scratch_.path();
  std::vector<CatalogDirectory> catalogs_;
};

TEST_F(CatalogDirectoryTest, AFileBelongsToTheCatalogsOfTheDirectoryThatHoldsIt) {
  catalogs_ = {{"Sales", root_ + "/sales"},
               {"Stock", root_ + "/stock/"},
               {"Alias", root_ + "/alias"},
               {"Empty", ""}};
  using Names = std::vector<std::string>;
  EXPECT_EQ(Holding(root_ + "/sales/a.tmb"), (Names{"Sales", "Alias"}));
  EXPECT_EQ(Holding(root_ + "/stock/b.tmb"), Names{"Stock"});
  EXPECT_EQ(Holding(root_ + "/stock/new.tmb"), Names{"Stock"});  // not there yet
  EXPECT_EQ(Holding(root_ + "/stock/../sales/./a.tmb"), (Names{"Sales", "Alias"}));
  EXPECT_EQ(Holding(root_ + "/stock/link.tmb"), (Names{"Sales", "Alias"}));  // where it leads
  EXPECT_EQ(Holding(root_ + "/stock/sub/c.tmb"), Names{});  // below a catalog: none
  EXPECT_EQ(Holding(root_ + "/a.tmb"), Names{});
  EXPECT_EQ(Holding(root_ + "/missing/a.tmb"), Names{});
  EXPECT_EQ(CatalogsAt("", catalogs_), Names{});
  EXPECT_EQ(CatalogsAt(ResolvedDirectory(root_ + "/alias/"), catalogs_), (Names{"Sales", "Alias"}));
}

TEST(AdministratorsTest, ListItemsNameIdentityPairs) {
  const char* list = " ops/console ;root/*;;*/kiosk;plain";
  EXPECT_TRUE(NamesAdministrator(list, "ops", "console"));
  EXPECT_TRUE(NamesAdministrator(list, "OPS", "Console"));
  EXPECT_FALSE(NamesAdministrator(list, "ops", "desk"));
  EXPECT_TRUE(NamesAdministrator(list, "root", "anything"));
  EXPECT_TRUE(NamesAdministrator(list, "root", ""));  // "*" takes any name
  EXPECT_FALSE(NamesAdministrator(list, "", "anything"));
  EXPECT_TRUE(NamesAdministrator(list, "x", "kiosk"));
  EXPECT_FALSE(NamesAdministrator(list, "plain", ""));  // an item without "/" names nobody
  EXPECT_FALSE(NamesAdministrator(list, "roo", "x"));
  EXPECT_FALSE(NamesAdministrator("", "", ""));
  EXPECT_FALSE(NamesAdministrator("root/x;", "root", "xy"));
}

TEST(LogTextTest, ControlBytesAreWrittenOut) {
  EXPECT_EQ(EscapeControlBytes("plain text, with \\ and \"quotes\""),
            "plain text, with \\ and \"quotes\"");
  EXPECT_EQ(EscapeControlBytes("a\nb"), "a\\nb");
  EXPECT_EQ(EscapeControlBytes("a\r\n\tb\x1f\x7f"), "a\\x0d\\n\\x09b\\x1f\\x7f");
  EXPECT_EQ(EscapeControlBytes(std::string("\0x", 2)), "\\x00x");
  EXPECT_EQ(EscapeControlBytes("caf\xe9 \x80\xff"), "caf\xe9 \x80\xff");  // Windows-1252 letters
  EXPECT_EQ(EscapeControlBytes(""), "");
}

}  // namespace
}  // namespace tmb
