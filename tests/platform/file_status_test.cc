#include "platform/file_status.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include "tests/support/scratch_dir.h"

namespace tmb::platform {
namespace {

TEST(FileStatusTest, ModeWordTypeBitsAndRepeatedOwnerPermissions) {
  EXPECT_EQ(WindowsModeWord(S_IFREG | 0644), 0x8000 | 0x180 | 0x30 | 0x6);
  EXPECT_EQ(WindowsModeWord(S_IFREG | 0400), 0x8000 | 0x100 | 0x20 | 0x4);
  EXPECT_EQ(WindowsModeWord(S_IFDIR | 0755), 0x4000 | 0x1FF);
  // Group and other bits of their own are not what the word reports.
  EXPECT_EQ(WindowsModeWord(S_IFREG | 0077), 0x8000);
  EXPECT_EQ(WindowsModeWord(S_IFCHR | 0600), 0x2000 | 0x1B6);
  EXPECT_EQ(WindowsModeWord(S_IFBLK | 0600), 0x2000 | 0x1B6);
  EXPECT_EQ(WindowsModeWord(S_IFIFO | 0600), 0x1000 | 0x1B6);
  EXPECT_EQ(WindowsModeWord(S_IFSOCK | 0600), 0x1B6);
}

TEST(FileStatusTest, StatOnRealPaths) {
  const tmb::test::ScratchDir scratch;
  const std::string& dir = scratch.path();
  const std::string file = dir + "/data.tmb";
  std::ofstream(file) << "x";
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);

  uint16_t mode = 0;
  EXPECT_EQ(StatFile(dir.c_str(), &mode), 0);
  EXPECT_EQ(mode & 0xF000, kModeDirectory);
  EXPECT_EQ(StatFile(file.c_str(), &mode), 0);
  EXPECT_EQ(mode, kModeRegular | 0x180 | 0x30 | 0x6);
  mode = 7;
  EXPECT_EQ(StatFile((dir + "/missing").c_str(), &mode), -1);
  EXPECT_EQ(mode, 7);  // untouched on failure

  const std::string cmd = "rm -rf '" + dir + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
}

}  // namespace
}  // namespace tmb::platform
