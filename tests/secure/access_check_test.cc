#include "secure/access_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

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
}

TEST(AccessEntryTest, DataThatBreaksTheFormAllowsNothing) {
  const std::string l127(127, 'x'), l128(128, 'x');
  EXPECT_EQ(Evaluate("[A][RWX][*][*]", "a", "b"), 0);            // MODE of 3
  EXPECT_EQ(Evaluate("[A][R][" + l128 + "*][*]", "a", "b"), 0);  // list of 129
  EXPECT_EQ(Evaluate("[A][R][" + l128 + "][*]", "a", "b"), 0);   // list of 128
  EXPECT_EQ(Evaluate("[A][R][*" + l127.substr(1) + "][*]", "a", "b"), 0x101);  // 127 fits
  EXPECT_EQ(Evaluate("[A][R][*][" + l128 + "]", "a", "b"), 0);
  for (const char* data : {"[", "[A", "[A]", "[A][", "[A][RW", "[A][RW]", "[A][RW][*",
                           "[A][RW][*]", "[A][RW][*][", "[A][RW][*][*", "[AB][RW][*][*]",
                           "[][RW][*][*]", "[A]x[RW][*][*]", "[A][RW][*]x[*]"}) {
    EXPECT_EQ(Evaluate(data, "a", "b"), 0) << data;
  }
  // The text ends at a zero byte even when the data goes on.
  const char with_zero[] = "[A][RW][*]\0[*]";
  EXPECT_EQ(EvaluateAccessEntry(with_zero, sizeof with_zero, "a", "b"), 0);
}

// Each case writes its own hive files and points the registry layer at them.
class CheckAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tmb-access-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("TMB_USER_REGISTRY", (dir_ + "/user.reg").c_str(), 1);
    setenv("TMB_MACHINE_REGISTRY", (dir_ + "/machine.reg").c_str(), 1);
  }
  void TearDown() override {
    std::remove((dir_ + "/user.reg").c_str());
    std::remove((dir_ + "/machine.reg").c_str());
    rmdir(dir_.c_str());
  }
  void Write(const char* file, const char* root, const std::string& lines) {
    std::ofstream out(dir_ + "/" + file, std::ios::binary | std::ios::trunc);
    out << "Windows Registry Editor Version 5.00\r\n\r\n[" << root
        << "\\Software\\Orlane Systems\\SQL Server\\Security]\r\n"
        << lines;
  }
  void User(const std::string& lines) { Write("user.reg", "HKEY_CURRENT_USER", lines); }
  void Machine(const std::string& lines) { Write("machine.reg", "HKEY_LOCAL_MACHINE", lines); }
  static int32_t Check(const char* first, const char* second) {
    return CheckAccess(first, second, "ignored", "R1", "R2");
  }

  std::string dir_;
};

TEST_F(CheckAccessTest, UserHiveKeyHidesMachineKeyAndChangesCountAtOnce) {
  Machine("\"*/*\"=\"[A][RW][*][*]\"\r\n");
  User("\"x/y\"=\"[A][R][*][*]\"\r\n");
  EXPECT_EQ(Check("a", "b"), kAccessNoEntry);  // the user's key has no entry for a/b
  EXPECT_EQ(Check("x", "y"), 0x101);
  User("\"x/y\"=\"[A][RW][*][*]\"\r\n");
  EXPECT_EQ(Check("x", "y"), 0x303);
  std::remove((dir_ + "/user.reg").c_str());
  EXPECT_EQ(Check("a", "b"), 0x303);
}

TEST_F(CheckAccessTest, OverlongDataDeniesAndLongNamesAreLookedUpWhole) {
  // 64 + 1 + 127 characters: one more than a 192-byte name buffer holds.
  const std::string first(64, 'f'), second(127, 's'), cut = second.substr(0, 126);
  Machine("\"*/*\"=\"[A][R][*][]\"\r\n\"big/*\"=\"[A][RW][*][" + std::string(1100, 'x') +
          "]\"\r\n\"" + first + "/" + cut + "\"=\"[A][RW][*][*]\"\r\n");
  EXPECT_EQ(Check("big", "any"), 0);  // exists but too long: no fallback to */*
  EXPECT_EQ(Check(first.c_str(), cut.c_str()), 0x303);
  EXPECT_EQ(Check(first.c_str(), second.c_str()), 0x001);  // not cut onto the entry above
  // Exactly 1024 characters and the terminator fit the room.
  Machine("\"*/*\"=\"[A][R][*][*]" + std::string(1024 - 12, ' ') + "\"\r\n");
  EXPECT_EQ(Check("a", "b"), 0x101);
  Machine("\"*/*\"=\"[A][R][*][*]" + std::string(1025 - 12, ' ') + "\"\r\n");
  EXPECT_EQ(Check("a", "b"), 0);
}

}  // namespace
}  // namespace tmb
