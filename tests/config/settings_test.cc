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
