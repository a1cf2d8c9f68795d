// The settings read from the registry: hive order, text and dword values,
// bounds.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "config/settings.h"

namespace tmb {
namespace {

// Each case writes its own hive files and points the registry layer at them.
class RegistryConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tmb-config-XXXXXX";
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
  void Write(const char* hive, const std::string& root, const std::string& lines) {
    std::ofstream out(dir_ + "/" + hive, std::ios::binary | std::ios::trunc);
    out << "Windows Registry Editor Version 5.00\r\n\r\n[" << root
        << "\\Software\\Orlane Systems\\SQL Server]\r\n"
        << lines;
  }
  void User(const std::string& lines) { Write("user.reg", "HKEY_CURRENT_USER", lines); }
  void Machine(const std::string& lines) { Write("machine.reg", "HKEY_LOCAL_MACHINE", lines); }

  std::string dir_;
};

TEST_F(RegistryConfigTest, PortFollowsHiveOrderAndIsReadAsText) {
  EXPECT_EQ(ReadListeningPort(), 20222);
  Machine("\"Port\"=\"20300\"\r\n");
  EXPECT_EQ(ReadListeningPort(), 20300);
  User("\"Port\"=\"abc\"\r\n");  // present, so it hides the machine's value
  EXPECT_EQ(ReadListeningPort(), 0);
  User("\"Other\"=\"1\"\r\n");
  EXPECT_EQ(ReadListeningPort(), 20300);
  User("\"Port\"=dword:00004efe\r\n");  // a number's bytes read as text
  EXPECT_EQ(ReadListeningPort(), 0);
}

TEST_F(RegistryConfigTest, LimitsTakeTextOrDwordAndStayInRange) {
  ServerLimits limits = ReadServerLimits();
  EXPECT_EQ(limits.client_slots, 1024);
  EXPECT_EQ(limits.max_message_size, 64u << 20);
  Machine("\"ClientSlots\"=\"3\"\r\n\"MaxMessageSize\"=dword:00010000\r\n");
  limits = ReadServerLimits();
  EXPECT_EQ(limits.client_slots, 3);
  EXPECT_EQ(limits.max_message_size, 65536u);
  User("\"ClientSlots\"=dword:00100000\r\n\"MaxMessageSize\"=\"12\"\r\n");
  limits = ReadServerLimits();
  EXPECT_EQ(limits.client_slots, 1024);
  EXPECT_EQ(limits.max_message_size, 4096u);
  User("\"ClientSlots\"=\"lots\"\r\n");
  EXPECT_EQ(ReadServerLimits().client_slots, 1024);
}

TEST_F(RegistryConfigTest, ClientLimitsTakeTextOrDwordAndStayInRange) {
  ClientLimits limits = ReadClientLimits(64u << 20);
  EXPECT_EQ(limits.max_connections, 4096);
  EXPECT_EQ(limits.max_connections_per_address, 256);
  EXPECT_EQ(limits.client_slots_per_address, 256);
  EXPECT_EQ(limits.frame_timeout_seconds, 30);
  EXPECT_EQ(limits.max_request_memory, 1ull << 30);

  Machine("\"MaxConnections\"=\"100\"\r\n\"MaxConnectionsPerAddress\"=dword:00000010\r\n"
          "\"ClientSlotsPerAddress\"=\"5\"\r\n\"FrameTimeout\"=dword:0000000a\r\n"
          "\"MaxRequestMemory\"=\"8589934592\"\r\n");  // text may pass a dword's range
  limits = ReadClientLimits(64u << 20);
  EXPECT_EQ(limits.max_connections, 100);
  EXPECT_EQ(limits.max_connections_per_address, 16);
  EXPECT_EQ(limits.client_slots_per_address, 5);
  EXPECT_EQ(limits.frame_timeout_seconds, 10);
  EXPECT_EQ(limits.max_request_memory, 8ull << 30);

  User("\"MaxConnections\"=\"0\"\r\n\"ClientSlotsPerAddress\"=dword:00100000\r\n"
       "\"FrameTimeout\"=\"soon\"\r\n\"MaxRequestMemory\"=dword:00001000\r\n");
  limits = ReadClientLimits(64u << 20);
  EXPECT_EQ(limits.max_connections, 1);
  EXPECT_EQ(limits.client_slots_per_address, 1024);
  EXPECT_EQ(limits.frame_timeout_seconds, 30);  // present but no number: the default
  EXPECT_EQ(limits.max_request_memory, 128ull << 20);  // room for two of the largest messages
}

TEST_F(RegistryConfigTest, CatalogKeyMayComeFromEitherHive) {
  EXPECT_FALSE(CatalogsKeyExists());
  Machine("\r\n[HKEY_LOCAL_MACHINE\\Software\\Orlane Systems\\SQL Server\\Catalogs]\r\n");
  EXPECT_TRUE(CatalogsKeyExists());
}

}  // namespace
}  // namespace tmb
