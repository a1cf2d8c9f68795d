// What makes a hive's value the answer, in each mode, and what the room
// holds afterwards.
#include "config/hive_order.h"

#include <gtest/gtest.h>

#include <string>

#include "config/settings.h"
#include "tests/config/hive_files.h"

namespace tmb {
namespace {

using HiveOrderTest = HiveFilesTest;

TEST_F(HiveOrderTest, ModesDifferOnFullRoomsAndEmptyTextsAndLeaveNothingBehind) {
  char data[8];
  uint32_t type = 0;
  const auto room = [&data] { return std::string(data, sizeof data); };
  User({{"", "\"Full\"=hex:41,42,43,44,45,46,47,48\r\n\"Empty\"=\"\"\r\n"}});
  Machine({{"", "\"Full\"=\"m\"\r\n\"Empty\"=\"machine\"\r\n"}});

  // Data filling the room without a zero byte is cut when held...
  ASSERT_TRUE(ReadFirstValue(kSettingsKey, "Full", ValueFound::kHeld, &type, data, sizeof data));
  EXPECT_EQ(type, platform::kRegBinary);
  EXPECT_EQ(room(), std::string("ABCDEFG\0", 8));
  // ...and passed over when it must be a text, without a trace of it left.
  ASSERT_TRUE(ReadFirstValue(kSettingsKey, "Full", ValueFound::kNonEmpty, &type, data, sizeof data));
  EXPECT_EQ(type, platform::kRegSz);
  EXPECT_EQ(room(), std::string("m\0\0\0\0\0\0\0", 8));

  // An empty text is an answer only when held; 7 characters and the
  // terminator fill the room exactly.
  ASSERT_TRUE(ReadFirstValue(kSettingsKey, "Empty", ValueFound::kHeld, nullptr, data, sizeof data));
  EXPECT_EQ(room(), std::string(8, '\0'));
  ASSERT_TRUE(ReadFirstValue(kSettingsKey, "Empty", ValueFound::kNonEmpty, nullptr, data, sizeof data));
  EXPECT_EQ(room(), std::string("machine\0", 8));

  // No answer anywhere leaves the room all zeros, even after a value that
  // was passed over.
  Machine({{"", ""}});
  EXPECT_FALSE(ReadFirstValue(kSettingsKey, "Full", ValueFound::kNonEmpty, nullptr, data, sizeof data));
  EXPECT_EQ(room(), std::string(8, '\0'));
  EXPECT_FALSE(ReadFirstValue(kSettingsKey, "Missing", ValueFound::kHeld, nullptr, data, sizeof data));
  EXPECT_EQ(room(), std::string(8, '\0'));
}

}  // namespace
}  // namespace tmb
