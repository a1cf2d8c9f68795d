#include "platform/event_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scoped_env.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text_files.h"

namespace tmb::platform {
namespace {

const MessageTableEntry kTable[] = {
    {0xC0000003, "Socket in use\r\n"},
    {0x40000001, "Two\r\nlines\tand a tab\n"},
};

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override { SetMessageTable(kTable, 2); }
  std::string Path() const { return dir_.path() + "/events.log"; }
  test::ScratchDir dir_{"tmb-events"};
  test::ScopedEnv log_{"TMB_EVENT_LOG", Path().c_str()};
};

TEST_F(EventLogTest, EachReportIsOneTabSeparatedLine) {
  EventSourceHandle* source = RegisterEventSource(nullptr, "tmbsqlsvr");
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(ReportEvent(source, kEventlogErrorType, 1, 0xC0000003));
  EXPECT_TRUE(ReportEvent(source, kEventlogWarningType, 1, 0x40000001));
  EXPECT_TRUE(ReportEvent(source, kEventlogInformationType, 1, 0x12345));
  EXPECT_TRUE(DeregisterEventSource(source));

  const std::vector<std::string> lines = test::ReadLines(Path());
  ASSERT_EQ(lines.size(), 3u);
  const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)");
  std::vector<std::vector<std::string>> fields;
  for (const std::string& line : lines) {
    std::vector<std::string> f;
    std::stringstream s(line);
    for (std::string part; std::getline(s, part, '\t');) f.push_back(part);
    ASSERT_EQ(f.size(), 5u) << line;
    EXPECT_TRUE(std::regex_match(f[0], time)) << f[0];
    EXPECT_EQ(f[1], "tmbsqlsvr");
    fields.push_back(f);
  }
  EXPECT_EQ(fields[0][2], "error");
  EXPECT_EQ(fields[0][3], "0xC0000003");
  EXPECT_EQ(fields[0][4], "Socket in use");
  EXPECT_EQ(fields[1][2], "warning");
  EXPECT_EQ(fields[1][3], "0x40000001");
  EXPECT_EQ(fields[1][4], "Two  lines and a tab");  // one event stays one line
  EXPECT_EQ(fields[2][2], "information");
  EXPECT_EQ(fields[2][3], "0x00012345");
  EXPECT_NE(fields[2][4].find("0x00012345"), std::string::npos);  // no text: the id is named
}

TEST_F(EventLogTest, ReportsThatCannotBeMadeAreRefusedAndWriteNothing) {
  EXPECT_EQ(RegisterEventSource(nullptr, ""), nullptr);
  EXPECT_EQ(RegisterEventSource("otherhost", "tmbsqlsvr"), nullptr);
  EXPECT_FALSE(ReportEvent(nullptr, kEventlogErrorType, 1, 0xC0000003));
  EXPECT_FALSE(DeregisterEventSource(nullptr));
  EventSourceHandle* source = RegisterEventSource(nullptr, "tmbsqlsvr");
  EXPECT_FALSE(ReportEvent(source, 0x0010, 1, 0xC0000003));  // audit types are not ours
  {
    test::ScopedEnv nowhere("TMB_EVENT_LOG", (dir_.path() + "/missing/dir/events.log").c_str());
    EXPECT_FALSE(ReportEvent(source, kEventlogErrorType, 1, 0xC0000003));
  }
  DeregisterEventSource(source);
  EXPECT_TRUE(test::ReadLines(Path()).empty());
}

TEST_F(EventLogTest, DefaultFileAndReportsOfManyThreadsStayWholeLines) {
  {
    test::ScopedEnv unset("TMB_EVENT_LOG", nullptr);
    EXPECT_EQ(EventLogPath(), "/var/log/tmbsqlsvr/events.log");
  }
  constexpr int kThreads = 4, kEach = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kEach; ++i) {
        EventSourceHandle* source = RegisterEventSource(nullptr, "tmbsqlsvr");
        ReportEvent(source, kEventlogErrorType, 1, 0xC0000003);
        DeregisterEventSource(source);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  const std::vector<std::string> lines = test::ReadLines(Path());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach));
  for (const std::string& line : lines) {
    ASSERT_EQ(line.substr(line.size() - 14), "\tSocket in use") << line;
  }
}

}  // namespace
}  // namespace tmb::platform
