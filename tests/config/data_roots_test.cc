// The directories clients may reach: "HostFileRoots" as the hives give it,
// and the catalogs' data directories, from the registry or an environment.
#include "config/data_roots.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/config/hive_files.h"
#include "tests/support/scratch_dir.h"

namespace tmb {
namespace {

using Strings = std::vector<std::string>;

class DataRootsTest : public HiveFilesTest {
 protected:
  void SetUp() override {
    HiveFilesTest::SetUp();
    for (const char* d : {"/a", "/b", "/c"}) ASSERT_EQ(mkdir((dirs_ + d).c_str(), 0755), 0);
  }
  static std::string Line(const std::string& name, const std::string& data) {
    return "\"" + name + "\"=\"" + data + "\"\r\n";
  }

  test::ScratchDir scratch_{"tmb-roots"};
  const std::string& dirs_ = scratch_.path();
};

TEST_F(DataRootsTest, HostFileRootsAreSplitTrimmedAndFollowTheHiveOrder) {
  EXPECT_EQ(ReadHostFileRoots(), Strings{});
  Machine({{"", Line("HostFileRoots", "/m1; /m 2 ;;\t/m3\t;")}});
  EXPECT_EQ(ReadHostFileRoots(), (Strings{"/m1", "/m 2", "/m3"}));
  User({{"", Line("HostFileRoots", "/u")}});
  EXPECT_EQ(ReadHostFileRoots(), Strings{"/u"});
  // An empty value says nothing, so the machine's counts.
  User({{"", Line("HostFileRoots", "")}});
  EXPECT_EQ(ReadHostFileRoots(), (Strings{"/m1", "/m 2", "/m3"}));
  // One too long for its room is never cut to another directory's name.
  User({{"", Line("HostFileRoots", "/" + std::string(kHostFileRootsSize, 'x'))}});
  EXPECT_EQ(ReadHostFileRoots(), (Strings{"/m1", "/m 2", "/m3"}));
  User({{"", Line("HostFileRoots", "/" + std::string(kHostFileRootsSize - 3, 'x'))}});
  EXPECT_EQ(ReadHostFileRoots(), Strings{"/" + std::string(kHostFileRootsSize - 3, 'x')});
  // A value that is not a text names no directory, and hides the machine's.
  User({{"", "\"HostFileRoots\"=dword:0000002f\r\n"}});
  EXPECT_EQ(ReadHostFileRoots(), Strings{});
  User({{"", Line("HostFileRoots", " ; ; ")}});
  EXPECT_EQ(ReadHostFileRoots(), Strings{});
}

TEST_F(DataRootsTest, CatalogRootsComeFromTheRegistryAtEachRead) {
  // A missing directory, an entry without one and a second spelling of the
  // first add nothing.
  const std::string catalogs = Line("A", "*[" + dirs_ + "/a][][]") +
                               Line("Missing", "[" + dirs_ + "/none][][]") +
                               Line("NoDir", "[][x][y]") + Line("Again", "[" + dirs_ + "/a/][][]");
  Machine({{"Catalogs", catalogs}, {"", Line("HostFileRoots", dirs_ + "/c")}});
  EXPECT_EQ(ReadDataRoots().roots(), (Strings{dirs_ + "/a", dirs_ + "/c"}));
  // The user's catalog key replaces the machine's; a change counts at once.
  User({{"Catalogs", Line("B", "[" + dirs_ + "/b][][]")}});
  EXPECT_EQ(ReadDataRoots().roots(), (Strings{dirs_ + "/b", dirs_ + "/c"}));
  const platform::PathRoots roots = ReadDataRoots();
  EXPECT_EQ(roots.Confine(dirs_ + "/b/../a"), "");
  EXPECT_EQ(roots.Confine(dirs_ + "/b/../c"), dirs_ + "/c");
}

TEST_F(DataRootsTest, AnEnvironmentsRootsAreTheCatalogsItWasGiven) {
  Machine({{"", Line("HostFileRoots", dirs_ + "/c")}});
  auto env = std::make_unique<TMBEnvironment>();
  std::snprintf(env->catalogs[0].text1, sizeof env->catalogs[0].text1, "%s/a", dirs_.c_str());
  // A field filled to its end without a terminator is read within its size.
  std::memset(env->catalogs[1].text1, 'x', sizeof env->catalogs[1].text1);
  std::snprintf(env->catalogs[2].text1, sizeof env->catalogs[2].text1, "%s/b", dirs_.c_str());
  env->catalog_count = 2;  // the third is not one of its catalogs
  EXPECT_EQ(EnvironmentDataRoots(*env).roots(), (Strings{dirs_ + "/a", dirs_ + "/c"}));
  env->catalog_count = 3;
  EXPECT_EQ(EnvironmentDataRoots(*env).roots(),
            (Strings{dirs_ + "/a", dirs_ + "/b", dirs_ + "/c"}));
  env->catalog_count = -4;
  EXPECT_EQ(EnvironmentDataRoots(*env).roots(), Strings{dirs_ + "/c"});
}

}  // namespace
}  // namespace tmb
