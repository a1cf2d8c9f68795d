#include "platform/registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include "tests/support/scoped_env.h"
#include "tests/support/scratch_dir.h"

namespace tmb::platform {
namespace {

using namespace std::string_literals;

using test::ScopedEnv;

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

void SetModified(const std::string& path, time_t seconds) {
  timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::string Header() { return "Windows Registry Editor Version 5.00\r\n\r\n"; }

// Each test gets its own pair of hive files in a fresh directory.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_.path();
    user_ = dir_ + "/user.reg";
    machine_ = dir_ + "/machine.reg";
    user_env_.emplace("TMB_USER_REGISTRY", user_.c_str());
    machine_env_.emplace("TMB_MACHINE_REGISTRY", machine_.c_str());
  }

  // The text of `name` in `key` of the user hive, or the error code.
  std::string Text(const char* key, const char* name) {
    RegistryKey k;
    if (long rc = k.Open(Hive::kCurrentUser, key); rc != kErrorSuccess) return "error " + std::to_string(rc);
    char buffer[256];
    uint32_t size = sizeof buffer;
    if (long rc = k.QueryValue(name, nullptr, buffer, &size); rc != kErrorSuccess) {
      return "error " + std::to_string(rc);
    }
    return std::string(buffer, size);
  }

  tmb::test::ScratchDir scratch_;
  std::string dir_, user_, machine_;
  std::optional<ScopedEnv> user_env_, machine_env_;
};

TEST(HiveFilePathTest, FollowsTheEnvironment) {
  ScopedEnv user("TMB_USER_REGISTRY", nullptr);
  ScopedEnv machine("TMB_MACHINE_REGISTRY", nullptr);
  ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
  ScopedEnv home("HOME", "/home/ann");
  EXPECT_EQ(HiveFilePath(Hive::kCurrentUser), "/home/ann/.config/tmbsqlsvr/user.reg");
  EXPECT_EQ(HiveFilePath(Hive::kLocalMachine), "/etc/tmbsqlsvr/machine.reg");
  {
    ScopedEnv relative("XDG_CONFIG_HOME", "cfg");  // not absolute: ignored
    EXPECT_EQ(HiveFilePath(Hive::kCurrentUser), "/home/ann/.config/tmbsqlsvr/user.reg");
  }
  ScopedEnv xdg2("XDG_CONFIG_HOME", "/cfg");
  EXPECT_EQ(HiveFilePath(Hive::kCurrentUser), "/cfg/tmbsqlsvr/user.reg");
  ScopedEnv user2("TMB_USER_REGISTRY", "/x/u.reg");
  ScopedEnv machine2("TMB_MACHINE_REGISTRY", "/x/m.reg");
  EXPECT_EQ(HiveFilePath(Hive::kCurrentUser), "/x/u.reg");
  EXPECT_EQ(HiveFilePath(Hive::kLocalMachine), "/x/m.reg");
}

TEST_F(RegistryTest, OpenFindsSectionsAndTheKeysAboveThem) {
  WriteFile(user_, Header() + "[HKEY_CURRENT_USER\\Software\\Orlane Systems\\SQL Server\\Catalogs]\r\n");
  WriteFile(machine_, Header() + "[HKLM\\System\\Services]\r\n");
  RegistryKey k;
  EXPECT_EQ(k.Open(Hive::kCurrentUser, "software\\ORLANE SYSTEMS\\SQL Server\\Catalogs"), kErrorSuccess);
  EXPECT_TRUE(k.is_open());
  EXPECT_EQ(k.Open(Hive::kCurrentUser, "Software\\Orlane Systems"), kErrorSuccess);
  EXPECT_EQ(k.Open(Hive::kCurrentUser, ""), kErrorSuccess);
  EXPECT_EQ(k.Open(Hive::kCurrentUser, "System\\Services"), kErrorFileNotFound);  // other hive's key
  EXPECT_FALSE(k.is_open());
  EXPECT_EQ(k.Open(Hive::kLocalMachine, "SYSTEM\\services"), kErrorSuccess);

  RegistryKey moved(std::move(k));
  EXPECT_TRUE(moved.is_open());
  EXPECT_FALSE(k.is_open());  // NOLINT(bugprone-use-after-move): moved-from is closed
  uint32_t size = 0;
  EXPECT_EQ(k.QueryValue("x", nullptr, nullptr, &size), kErrorInvalidHandle);
}

TEST_F(RegistryTest, MissingFileIsAnEmptyHiveWithoutComplaint) {
  testing::internal::CaptureStderr();
  RegistryKey k;
  EXPECT_EQ(k.Open(Hive::kCurrentUser, "Software"), kErrorFileNotFound);
  EXPECT_EQ(k.Open(Hive::kLocalMachine, ""), kErrorSuccess);
  uint32_t size = 0;
  EXPECT_EQ(k.QueryValue(nullptr, nullptr, nullptr, &size), kErrorFileNotFound);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(RegistryTest, QueryValueFollowsTheBufferRules) {
  WriteFile(user_, Header() +
                       "[HKCU\\S]\r\n"
                       "@=\"dflt\"\r\n"
                       "\"Port\"=\"abc\"\r\n"
                       "\"Num\"=dword:00004efe\r\n");
  RegistryKey k;
  ASSERT_EQ(k.Open(Hive::kCurrentUser, "S"), kErrorSuccess);
  uint32_t type = 99;
  char buffer[8];

  // Exact fit: the terminator counts.
  std::memset(buffer, '#', sizeof buffer);
  uint32_t size = 4;
  EXPECT_EQ(k.QueryValue("PORT", &type, buffer, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(std::string(buffer, 5), "abc\0#"s);

  // One byte short: nothing copied, the needed size reported.
  std::memset(buffer, '#', sizeof buffer);
  size = 3;
  type = 99;
  EXPECT_EQ(k.QueryValue("Port", &type, buffer, &size), kErrorMoreData);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(std::string(buffer, 8), "########");

  // No buffer: the size alone, with success.
  size = 0;
  EXPECT_EQ(k.QueryValue("Port", nullptr, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(k.QueryValue("Port", &type, nullptr, nullptr), kErrorSuccess);
  EXPECT_EQ(k.QueryValue("Port", &type, buffer, nullptr), kErrorInvalidParameter);

  // A dword stays a number.
  size = sizeof buffer;
  EXPECT_EQ(k.QueryValue("num", &type, buffer, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegDword);
  ASSERT_EQ(size, 4u);
  uint32_t number;
  std::memcpy(&number, buffer, 4);
  EXPECT_EQ(number, 20222u);

  // The default value answers to null and to "".
  EXPECT_EQ(Text("S", nullptr), "dflt\0"s);
  EXPECT_EQ(Text("S", ""), "dflt\0"s);
  EXPECT_EQ(Text("S", "Missing"), "error 2");
}

TEST_F(RegistryTest, EnumValueWalksTheFileOrderThenStops) {
  WriteFile(user_, Header() +
                       "[HKCU\\C]\r\n"
                       "\"Zeta\"=\"1\"\r\n"
                       "@=\"d\"\r\n"
                       "\"Alpha\"=dword:7\r\n"
                       "\"Longer\"=\"12345678\"\r\n");
  RegistryKey k;
  ASSERT_EQ(k.Open(Hive::kCurrentUser, "C"), kErrorSuccess);
  std::vector<std::string> names;
  std::vector<uint32_t> types;
  char name[16];
  char data[16];
  for (uint32_t i = 0;; ++i) {
    uint32_t name_size = sizeof name, data_size = sizeof data, type = 0;
    long rc = k.EnumValue(i, name, &name_size, &type, data, &data_size);
    if (rc == kErrorNoMoreItems) break;
    ASSERT_EQ(rc, kErrorSuccess);
    ASSERT_EQ(name_size, std::strlen(name));
    names.push_back(name);
    types.push_back(type);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Zeta", "", "Alpha", "Longer"}));
  EXPECT_EQ(types, (std::vector<uint32_t>{kRegSz, kRegSz, kRegDword, kRegSz}));

  // The name capacity counts the terminator: "Zeta" needs 5.
  std::memset(name, '#', sizeof name);
  uint32_t name_size = 4, data_size = sizeof data;
  EXPECT_EQ(k.EnumValue(0, name, &name_size, nullptr, data, &data_size), kErrorMoreData);
  EXPECT_EQ(name_size, 4u);
  EXPECT_EQ(name[0], '#');
  name_size = 5;
  EXPECT_EQ(k.EnumValue(0, name, &name_size, nullptr, data, &data_size), kErrorSuccess);
  EXPECT_EQ(name_size, 4u);
  EXPECT_STREQ(name, "Zeta");

  // Data one byte short: nothing copied, name included; the size is told.
  std::memset(name, '#', sizeof name);
  std::memset(data, '#', sizeof data);
  name_size = sizeof name;
  data_size = 8;
  EXPECT_EQ(k.EnumValue(3, name, &name_size, nullptr, data, &data_size), kErrorMoreData);
  EXPECT_EQ(data_size, 9u);
  EXPECT_EQ(name[0], '#');
  EXPECT_EQ(data[0], '#');
  data_size = 0;
  EXPECT_EQ(k.EnumValue(3, name, &name_size, nullptr, nullptr, &data_size), kErrorSuccess);
  EXPECT_EQ(data_size, 9u);
  EXPECT_STREQ(name, "Longer");

  EXPECT_EQ(k.EnumValue(4, name, &name_size, nullptr, nullptr, nullptr), kErrorNoMoreItems);
  EXPECT_EQ(k.EnumValue(0, nullptr, &name_size, nullptr, nullptr, nullptr), kErrorInvalidParameter);
}

TEST_F(RegistryTest, EditsAreSeenByTheNextOpenAndNotByAnOpenKey) {
  WriteFile(user_, Header() + "[HKCU\\K]\r\n\"v\"=\"one\"\r\n");
  SetModified(user_, 1000000);
  RegistryKey before;
  ASSERT_EQ(before.Open(Hive::kCurrentUser, "K"), kErrorSuccess);
  EXPECT_EQ(Text("K", "v"), "one\0"s);

  // Another size.
  WriteFile(user_, Header() + "[HKCU\\K]\r\n\"v\"=\"three\"\r\n");
  SetModified(user_, 1000000);
  EXPECT_EQ(Text("K", "v"), "three\0"s);

  // Same size, in place: only the time tells.
  WriteFile(user_, Header() + "[HKCU\\K]\r\n\"v\"=\"THREE\"\r\n");
  SetModified(user_, 1000001);
  EXPECT_EQ(Text("K", "v"), "THREE\0"s);

  // Same size and time, replaced by rename: a new file all the same.
  const std::string next = dir_ + "/next.reg";
  WriteFile(next, Header() + "[HKCU\\K]\r\n\"v\"=\"thr33\"\r\n");
  SetModified(next, 1000001);
  ASSERT_EQ(std::rename(next.c_str(), user_.c_str()), 0);
  EXPECT_EQ(Text("K", "v"), "thr33\0"s);

  // Gone: an empty hive again.
  std::remove(user_.c_str());
  EXPECT_EQ(Text("K", "v"), "error 2");

  // The key opened first kept its snapshot.
  char buffer[8];
  uint32_t size = sizeof buffer;
  EXPECT_EQ(before.QueryValue("v", nullptr, buffer, &size), kErrorSuccess);
  EXPECT_EQ(std::string(buffer, size), "one\0"s);
}

TEST_F(RegistryTest, ProblemsAreReportedOncePerContent) {
  const std::string bad = Header() + "[HKCU\\K]\r\n\"v\"=dword:xyz\r\n\"w\"=\"ok\"\r\n";
  WriteFile(user_, bad);
  SetModified(user_, 2000000);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Text("K", "v"), "error 2");
  EXPECT_EQ(Text("K", "w"), "ok\0"s);
  std::string err = testing::internal::GetCapturedStderr();
  const std::string where = user_ + ":4: ";
  EXPECT_EQ(err.rfind(where, 0), 0u) << err;
  EXPECT_EQ(err.find(where, 1), std::string::npos) << err;  // once for two opens
  EXPECT_EQ(err.back(), '\n');

  WriteFile(user_, bad + "junk\r\n");
  SetModified(user_, 2000000);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Text("K", "w"), "ok\0"s);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(user_ + ":4: "), std::string::npos) << err;
  EXPECT_NE(err.find(user_ + ":6: "), std::string::npos) << err;
}

TEST_F(RegistryTest, UnreadableFileIsReportedAndEmpty) {
  ASSERT_EQ(mkdir(user_.c_str(), 0700), 0);  // a directory where the file should be
  testing::internal::CaptureStderr();
  EXPECT_EQ(Text("", "x"), "error 2");
  EXPECT_EQ(Text("", "x"), "error 2");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, user_ + ": not a regular file; the hive is taken as empty\n");
  rmdir(user_.c_str());
}

// Sessions open keys while the file is being replaced: every open sees one
// whole version of the file, never a mix and never a failure.
TEST_F(RegistryTest, ConcurrentOpensSeeWholeVersions) {
  auto version = [&](int n) {
    std::string digits(6, static_cast<char>('0' + n));
    return Header() + "[HKCU\\Software\\Orlane Systems\\SQL Server]\r\n\"A\"=\"" + digits + "\"\r\n\"B\"=\"" +
           digits + "\"\r\n";
  };
  WriteFile(user_, version(0));
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      int rounds = 0;
      while (!stop.load() || rounds < 50) {
        ++rounds;
        RegistryKey k;
        if (k.Open(Hive::kCurrentUser, "software\\orlane systems\\sql server") != kErrorSuccess) {
          ++failures;
          continue;
        }
        char a[16], b[16];
        uint32_t sa = sizeof a, sb = sizeof b;
        if (k.QueryValue("A", nullptr, a, &sa) != kErrorSuccess ||
            k.QueryValue("B", nullptr, b, &sb) != kErrorSuccess || sa != 7 || std::string(a, sa) != std::string(b, sb)) {
          ++failures;
        }
      }
    });
  }
  const std::string next = dir_ + "/next.reg";
  for (int n = 1; n <= 9; ++n) {
    WriteFile(next, version(n));
    ASSERT_EQ(std::rename(next.c_str(), user_.c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Text("Software\\Orlane Systems\\SQL Server", "A"), "999999\0"s);
}

}  // namespace
}  // namespace tmb::platform
