// The settings read from the registry: hive order, text and dword values,
// bounds.
#include <gtest/gtest.h>

#include "config/settings.h"
#include "tests/config/hive_files.h"

namespace tmb {
namespace {

using RegistryConfigTest = HiveFilesTest;

TEST_F(RegistryConfigTest, PortFollowsHiveOrderAndIsReadAsText) {
  EXPECT_EQ(ReadListeningPort(), 0);  // the server's default then applies
  Machine({{"", "\"Port\"=\"20300\"\r\n"}});
  EXPECT_EQ(ReadListeningPort(), 20300);
  User({{"", "\"Port\"=\"abc\"\r\n"}});  // present, so it hides the machine's value
  EXPECT_EQ(ReadListeningPort(), 0);
  User({{"", "\"Other\"=\"1\"\r\n"}});
  EXPECT_EQ(ReadListeningPort(), 20300);
  User({{"", "\"Port\"=dword:00004efe\r\n"}});  // a number's bytes read as text
  EXPECT_EQ(ReadListeningPort(), 0);
}

TEST_F(RegistryConfigTest, LimitsTakeTextOrDwordAndStayInRange) {
  ServerLimits limits = ReadServerLimits();
  EXPECT_EQ(limits.client_slots, 1024);
  EXPECT_EQ(limits.max_message_size, 64u << 20);
  Machine({{"", "\"ClientSlots\"=\"3\"\r\n\"MaxMessageSize\"=dword:00010000\r\n"}});
  limits = ReadServerLimits();
  EXPECT_EQ(limits.client_slots, 3);
  EXPECT_EQ(limits.max_message_size, 65536u);
  User({{"", "\"ClientSlots\"=dword:00100000\r\n\"MaxMessageSize\"=\"12\"\r\n"}});
  limits = ReadServerLimits();
  EXPECT_EQ(limits.client_slots, 1024);
  EXPECT_EQ(limits.max_message_size, 4096u);
  User({{"", "\"ClientSlots\"=\"lots\"\r\n"}});
  EXPECT_EQ(ReadServerLimits().client_slots, 1024);
}

TEST_F(RegistryConfigTest, ClientLimitsTakeTextOrDwordAndStayInRange) {
  ClientLimits limits = ReadClientLimits(64u << 20);
  EXPECT_EQ(limits.max_connections, 4096);
  EXPECT_EQ(limits.max_connections_per_address, 256);
  EXPECT_EQ(limits.client_slots_per_address, 256);
  EXPECT_EQ(limits.frame_timeout_seconds, 30);
  EXPECT_EQ(limits.max_request_memory, 1ull << 30);

  Machine({{"", "\"MaxConnections\"=\"100\"\r\n\"MaxConnectionsPerAddress\"=dword:00000010\r\n"
                "\"ClientSlotsPerAddress\"=\"5\"\r\n\"FrameTimeout\"=dword:0000000a\r\n"
                "\"MaxRequestMemory\"=\"8589934592\"\r\n"}});  // text may pass a dword's range
  limits = ReadClientLimits(64u << 20);
  EXPECT_EQ(limits.max_connections, 100);
  EXPECT_EQ(limits.max_connections_per_address, 16);
  EXPECT_EQ(limits.client_slots_per_address, 5);
  EXPECT_EQ(limits.frame_timeout_seconds, 10);
  EXPECT_EQ(limits.max_request_memory, 8ull << 30);

  User({{"", "\"MaxConnections\"=\"0\"\r\n\"ClientSlotsPerAddress\"=dword:00100000\r\n"
             "\"FrameTimeout\"=\"soon\"\r\n\"MaxRequestMemory\"=dword:00001000\r\n"}});
  limits = ReadClientLimits(64u << 20);
  EXPECT_EQ(limits.max_connections, 1);
  EXPECT_EQ(limits.client_slots_per_address, 1024);
  EXPECT_EQ(limits.frame_timeout_seconds, 30);  // present but no number: the default
  EXPECT_EQ(limits.max_request_memory, 128ull << 20);  // room for two of the largest messages
}

TEST_F(RegistryConfigTest, EnvironmentsAndFilesPerConnectionTakeTextOrDwordAndStayInRange) {
  EXPECT_EQ(ReadEnvironmentsPerConnection(), 16);
  EXPECT_EQ(ReadFilesPerConnection(), 256);
  Machine({{"", "\"EnvironmentsPerConnection\"=\"3\"\r\n\"FilesPerConnection\"=\"40\"\r\n"}});
  EXPECT_EQ(ReadEnvironmentsPerConnection(), 3);
  EXPECT_EQ(ReadFilesPerConnection(), 40);
  User({{"", "\"EnvironmentsPerConnection\"=dword:00000000\r\n"
             "\"FilesPerConnection\"=dword:00000000\r\n"}});
  EXPECT_EQ(ReadEnvironmentsPerConnection(), 1);
  EXPECT_EQ(ReadFilesPerConnection(), 1);
  User({{"", "\"EnvironmentsPerConnection\"=dword:ffffffff\r\n"
             "\"FilesPerConnection\"=dword:ffffffff\r\n"}});
  EXPECT_EQ(ReadEnvironmentsPerConnection(), 256);
  EXPECT_EQ(ReadFilesPerConnection(), 4096);
  User({{"", "\"EnvironmentsPerConnection\"=\"many\"\r\n\"FilesPerConnection\"=\"-1\"\r\n"}});
  EXPECT_EQ(ReadEnvironmentsPerConnection(), 16);
  EXPECT_EQ(ReadFilesPerConnection(), 256);
}

TEST_F(RegistryConfigTest, SearchesPerConnectionTakesTextOrDwordAndStaysInRange) {
  EXPECT_EQ(ReadSearchesPerConnection(), 16);
  Machine({{"", "\"SearchesPerConnection\"=\"3\"\r\n"}});
  EXPECT_EQ(ReadSearchesPerConnection(), 3);
  User({{"", "\"SearchesPerConnection\"=dword:00000000\r\n"}});
  EXPECT_EQ(ReadSearchesPerConnection(), 0);
  User({{"", "\"SearchesPerConnection\"=dword:ffffffff\r\n"}});
  EXPECT_EQ(ReadSearchesPerConnection(), 1024);
  User({{"", "\"SearchesPerConnection\"=\"-1\"\r\n"}});
  EXPECT_EQ(ReadSearchesPerConnection(), 16);
}

TEST_F(RegistryConfigTest, AccessSettingsTakeTextOrDword) {
  EXPECT_FALSE(ReadEnforceAccess());
  EXPECT_EQ(ReadMaxLockWaitMs(), 30000);
  Machine({{"", "\"EnforceAccess\"=dword:00000001\r\n\"MaxLockWait\"=dword:000007d0\r\n"}});
  EXPECT_TRUE(ReadEnforceAccess());
  EXPECT_EQ(ReadMaxLockWaitMs(), 2000);
  User({{"", "\"EnforceAccess\"=\"0\"\r\n\"MaxLockWait\"=\"0\"\r\n"}});
  EXPECT_FALSE(ReadEnforceAccess());
  EXPECT_EQ(ReadMaxLockWaitMs(), 0);
  User({{"", "\"EnforceAccess\"=\" 2\"\r\n\"MaxLockWait\"=\"99999999999\"\r\n"}});
  EXPECT_TRUE(ReadEnforceAccess());
  EXPECT_EQ(ReadMaxLockWaitMs(), kLongestLockWaitMs);
  // Not a number: the defaults, although the machine says otherwise.
  User({{"", "\"EnforceAccess\"=\"yes\"\r\n\"MaxLockWait\"=\"-5\"\r\n"}});
  EXPECT_FALSE(ReadEnforceAccess());
  EXPECT_EQ(ReadMaxLockWaitMs(), 30000);
}

TEST_F(RegistryConfigTest, CatalogKeyMayComeFromEitherHive) {
  EXPECT_FALSE(CatalogsKeyExists());
  Machine({{"Catalogs", ""}});
  EXPECT_TRUE(CatalogsKeyExists());
}

}  // namespace
}  // namespace tmb
