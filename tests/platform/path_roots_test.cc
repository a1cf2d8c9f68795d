// Paths held to root directories: resolution as the file system takes a
// path, and the component-wise test of lying in a root.
#include "platform/path_roots.h"

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

TEST(PathWithinTest, WholeComponentsOnly) {
  EXPECT_TRUE(IsWithin("/data", "/data"));
  EXPECT_TRUE(IsWithin("/data/a/b", "/data"));
  EXPECT_FALSE(IsWithin("/data2", "/data"));
  EXPECT_FALSE(IsWithin("/dat", "/data"));
  EXPECT_FALSE(IsWithin("/", "/data"));
  EXPECT_TRUE(IsWithin("/etc/passwd", "/"));
  EXPECT_TRUE(IsWithin("/", "/"));
  EXPECT_FALSE(IsWithin("/data", ""));
}

// root/        the one root
//   in.txt
//   sub/
//   up -> ..   (a link out of the root)
//   same -> sub
// outside/
//   secret.txt
// root2        (a sibling whose name starts with the root's)
class PathRootsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = scratch_.path();
    for (const char* d : {"/root", "/root/sub", "/outside", "/root2"}) {
      ASSERT_EQ(mkdir((base_ + d).c_str(), 0755), 0);
    }
    std::ofstream(base_ + "/root/in.txt") << "x";
    std::ofstream(base_ + "/outside/secret.txt") << "x";
    std::ofstream(base_ + "/root2/x.txt") << "x";
    ASSERT_EQ(symlink("..", (base_ + "/root/up").c_str()), 0);
    ASSERT_EQ(symlink("sub", (base_ + "/root/same").c_str()), 0);
    ASSERT_EQ(symlink("../outside/secret.txt", (base_ + "/root/leak.txt").c_str()), 0);
    ASSERT_EQ(symlink("missing", (base_ + "/root/dangling").c_str()), 0);
    roots_.Add(base_ + "/root");
  }
  tmb::test::ScratchDir scratch_;
  std::string base_;
  PathRoots roots_;
};

TEST_F(PathRootsTest, PathsInsideResolveToTheirRealPlace) {
  EXPECT_EQ(roots_.Confine(base_ + "/root"), base_ + "/root");
  EXPECT_EQ(roots_.Confine(base_ + "/root/in.txt"), base_ + "/root/in.txt");
  EXPECT_EQ(roots_.Confine(base_ + "//root/./sub/../in.txt"), base_ + "/root/in.txt");
  EXPECT_EQ(roots_.Confine(base_ + "/root/same"), base_ + "/root/sub");
  // ".." after a link goes up from where the link leads.
  EXPECT_EQ(roots_.Confine(base_ + "/root/same/../in.txt"), base_ + "/root/in.txt");
  EXPECT_EQ(roots_.Confine(base_ + "/root/up/root/in.txt"), base_ + "/root/in.txt");
}

TEST_F(PathRootsTest, PathsThatLeadOutOrNowhereAreRefused) {
  for (const std::string& path :
       {base_ + "/outside/secret.txt", base_ + "/root/../outside/secret.txt", base_ + "/root/up",
        base_ + "/root/up/outside/secret.txt", base_ + "/root/leak.txt", base_ + "/root2/x.txt",
        base_ + "/root2", base_, std::string("/"), std::string("/etc/passwd"),
        base_ + "/root/missing", base_ + "/root/dangling", base_ + "/root/in.txt/x",
        std::string("")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(roots_.Confine(path), "");
  }
}

TEST_F(PathRootsTest, RelativePathsAndRootsStartAtTheCurrentDirectory) {
  char* previous = getcwd(nullptr, 0);
  ASSERT_NE(previous, nullptr);
  ASSERT_EQ(chdir(base_.c_str()), 0);
  EXPECT_EQ(roots_.Confine("root/in.txt"), base_ + "/root/in.txt");
  EXPECT_EQ(roots_.Confine("outside/secret.txt"), "");
  PathRoots relative;
  relative.Add("outside/");
  relative.Add("./outside");  // the same directory: kept once
  EXPECT_EQ(relative.roots(), std::vector<std::string>{base_ + "/outside"});
  EXPECT_EQ(relative.Confine(base_ + "/outside/secret.txt"), base_ + "/outside/secret.txt");
  EXPECT_EQ(chdir(previous), 0);
  std::free(previous);
}

TEST_F(PathRootsTest, OnlyExistingDirectoriesBecomeRoots) {
  PathRoots roots;
  for (const char* not_a_directory : {"/missing", "/root/in.txt", "/root/dangling"}) {
    roots.Add(base_ + not_a_directory);
  }
  roots.Add("");
  EXPECT_TRUE(roots.roots().empty());
  // A root given through a link is the directory it leads to.
  roots.Add(base_ + "/root/same");
  EXPECT_EQ(roots.roots(), std::vector<std::string>{base_ + "/root/sub"});
}

}  // namespace
}  // namespace tmb::platform
