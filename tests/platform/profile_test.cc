#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include "tests/support/scratch_dir.h"

namespace tmb::platform {
namespace {

const char kProfile[] =
    "; settings of the demo\r\n"
    "stray=before any section\r\n"
    "[General]\r\n"
    "  Name =  Tamblo Server  \r\n"
    "Quoted=\"  spaced  \"\r\n"
    "Single='x'\r\n"
    "Mixed=\"x'\n"
    "no equals sign here\n"
    "[ Paths ]\n"
    "Data=/var/data\n"
    "[general]\n"
    "Extra=1\n"
    "name=second\n";

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = scratch_.path() + "/demo.ini";
    std::ofstream(file_, std::ios::binary) << kProfile;
  }

  // The call's result and the buffer's first `result + extra` bytes.
  std::string Get(const char* section, const char* key, const char* def, uint32_t size,
                  uint32_t* result, uint32_t extra = 1) {
    std::string buffer(size + 8, '#');
    *result = GetPrivateProfileString(section, key, def, buffer.data(), size, file_.c_str());
    EXPECT_EQ(buffer.substr(size), std::string(8, '#')) << "written past the buffer";
    return buffer.substr(0, std::min<uint32_t>(*result + extra, size));
  }

  tmb::test::ScratchDir scratch_;
  const std::string& dir_ = scratch_.path();
  std::string file_;
};

TEST_F(ProfileTest, ValuesAreFoundIgnoringCaseTrimmedAndUnquoted) {
  uint32_t n;
  EXPECT_EQ(Get("GENERAL", "name", "", 64, &n), std::string("Tamblo Server\0", 14));
  EXPECT_EQ(n, 13u);
  EXPECT_EQ(Get("General", "Quoted", "", 64, &n), std::string("  spaced  \0", 11));
  EXPECT_EQ(Get("General", "Single", "", 64, &n), std::string("x\0", 2));
  EXPECT_EQ(Get("General", "Mixed", "", 64, &n), std::string("\"x'\0", 4));
  EXPECT_EQ(Get("paths", "DATA", "", 64, &n), std::string("/var/data\0", 10));
  // A repeated section is searched too; its first occurrence wins.
  EXPECT_EQ(Get("General", "Extra", "", 64, &n), std::string("1\0", 2));
}

TEST_F(ProfileTest, MissingKeyGivesTheDefaultWithoutTrailingBlanks) {
  uint32_t n;
  EXPECT_EQ(Get("General", "absent", "fallback  \t ", 64, &n), std::string("fallback\0", 9));
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(Get("Nowhere", "Name", "dflt", 64, &n), std::string("dflt\0", 5));
  EXPECT_EQ(Get("General", "absent", nullptr, 64, &n), std::string("\0", 1));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(Get("General", "stray", "d", 64, &n), std::string("d\0", 2));
}

TEST_F(ProfileTest, ListsSectionAndKeyNamesEachOnceWithDoubleNul) {
  uint32_t n;
  EXPECT_EQ(Get(nullptr, nullptr, "", 64, &n), std::string("General\0Paths\0\0", 15));
  EXPECT_EQ(n, 14u);
  EXPECT_EQ(Get("general", nullptr, "", 64, &n),
            std::string("Name\0Quoted\0Single\0Mixed\0Extra\0\0", 32));
  EXPECT_EQ(n, 31u);
  // A section that does not exist lists nothing.
  EXPECT_EQ(Get("Nowhere", nullptr, "dflt", 64, &n, 2), std::string("\0\0", 2));
  EXPECT_EQ(n, 0u);
}

TEST_F(ProfileTest, TruncationRulesAndResults) {
  uint32_t n;
  // A value is cut to size - 1 and terminated.
  EXPECT_EQ(Get("General", "Name", "", 5, &n), std::string("Tamb\0", 5));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(Get("General", "Name", "", 14, &n), std::string("Tamblo Server\0", 14));
  EXPECT_EQ(n, 13u);
  EXPECT_EQ(Get("General", "Name", "", 1, &n), std::string("\0", 1));
  EXPECT_EQ(n, 0u);
  // A list is cut to size - 2 and ended with two NULs.
  EXPECT_EQ(Get(nullptr, nullptr, "", 10, &n, 2), std::string("General\0\0\0", 10));
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(Get(nullptr, nullptr, "", 6, &n, 2), std::string("Gene\0\0", 6));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(Get(nullptr, nullptr, "", 15, &n), std::string("General\0Paths\0\0", 15));
  EXPECT_EQ(n, 14u);
  EXPECT_EQ(Get(nullptr, nullptr, "", 14, &n, 2), std::string("General\0Path\0\0", 14));
  EXPECT_EQ(n, 12u);
  EXPECT_EQ(Get(nullptr, nullptr, "", 2, &n, 2), std::string("\0\0", 2));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(Get(nullptr, nullptr, "", 1, &n), std::string("\0", 1));
  EXPECT_EQ(n, 0u);
  // Size 0 writes nothing.
  char untouched = '#';
  EXPECT_EQ(GetPrivateProfileString("General", "Name", "", &untouched, 0, file_.c_str()), 0u);
  EXPECT_EQ(untouched, '#');
}

TEST_F(ProfileTest, MissingFileAndNonRegularFilesReadAsEmpty) {
  char buffer[32];
  const std::string missing = dir_ + "/missing.ini";
  EXPECT_EQ(GetPrivateProfileString("a", "b", "dflt", buffer, sizeof buffer, missing.c_str()), 4u);
  EXPECT_STREQ(buffer, "dflt");
  EXPECT_EQ(GetPrivateProfileString(nullptr, nullptr, "", buffer, sizeof buffer, missing.c_str()),
            0u);
  // A pipe with no writer would block an ordinary open; it must not.
  const std::string fifo = dir_ + "/pipe.ini";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(GetPrivateProfileString("a", "b", "d", buffer, sizeof buffer, fifo.c_str()), 1u);
  EXPECT_EQ(GetPrivateProfileString("a", "b", "d", buffer, sizeof buffer, dir_.c_str()), 1u);
}

// Each name is listed once, at its first place, however often and in
// whatever case it comes again.
TEST_F(ProfileTest, ListingsOfManyNamesKeepFirstOccurrencesInOrder) {
  constexpr int kNames = 20000;
  std::string text = "[S]\n";
  std::string expected;
  for (int i = 0; i < kNames; ++i) {
    const std::string name = "Key" + std::to_string((i * 7919) % kNames);
    text += name + "=v\n";
    expected += name;
    expected.push_back('\0');
  }
  // Repeats in other cases, and a second section of the same name, add none.
  for (int i = 0; i < kNames; i += 3) text += "KEY" + std::to_string(i) + "=w\n";
  text += "[s]\nkey0=x\nNew=y\n";
  expected += "New";
  expected.push_back('\0');
  std::ofstream(file_, std::ios::binary | std::ios::trunc) << text;

  std::string buffer(expected.size() + 1, '#');
  const uint32_t n = GetPrivateProfileString("S", nullptr, "", buffer.data(),
                                             static_cast<uint32_t>(buffer.size()), file_.c_str());
  EXPECT_EQ(n, expected.size());
  EXPECT_EQ(buffer, expected + '\0');
  buffer.assign(16, '#');
  EXPECT_EQ(GetPrivateProfileString(nullptr, nullptr, "", buffer.data(), 16, file_.c_str()), 2u);
  EXPECT_EQ(buffer.substr(0, 3), std::string("S\0\0", 3));
}

}  // namespace
}  // namespace tmb::platform
