#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "host/events.h"
#include "host/options.h"
#include "host/service_main.h"
#include "host/service_modes.h"
#include "host/status_page.h"
#include "platform/event_log.h"
#include "platform/registry.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scratch_dir.h"

namespace tmb {
namespace {

TEST(OptionsTest, PortOptionsReadLikeTheCLibraryAndCutTo16Bits) {
  EXPECT_EQ(PortOption(""), std::nullopt);
  EXPECT_EQ(PortOption("-x -y"), std::nullopt);
  EXPECT_EQ(PortOption("-P:2030"), 2030);
  EXPECT_EQ(PortOption("-PORT:0"), 0);
  EXPECT_EQ(PortOption("-P:abc"), 0);
  EXPECT_EQ(PortOption("-p:"), 0);
  EXPECT_EQ(PortOption("-P:70000"), 4464);
  EXPECT_EQ(PortOption("-P:  +81x"), 81);
  EXPECT_EQ(PortOption("-PORT:300 -p:400"), 400);  // "-p:" is looked for before "-PORT:"
  EXPECT_EQ(PortOption("xx-port:555"), 555);       // found anywhere, no blank needed
}

TEST(OptionsTest, ModesAreTriedInFixedOrder) {
  EXPECT_EQ(SelectMode(""), Mode::kInteractive);
  EXPECT_EQ(SelectMode("-P:20300"), Mode::kInteractive);
  EXPECT_EQ(SelectMode("-SERVICE -i"), Mode::kInstall);
  EXPECT_EQ(SelectMode("-service"), Mode::kService);
  EXPECT_EQ(SelectMode("-QSVR -STOPSVR"), Mode::kStop);
  EXPECT_EQ(SelectMode("-Service"), Mode::kInteractive);  // case-sensitive
}

TEST(OptionsTest, CommandLineCopyIsCutTo255Characters) {
  std::string long_arg(300, 'x');
  char prog[] = "tmbsqlsvr";
  char* argv[] = {prog, long_arg.data(), nullptr};
  EXPECT_EQ(CommandLineCopy(2, argv).size(), 255u);
  char a[] = "-P:1", b[] = "-q";
  char* argv2[] = {prog, a, b, nullptr};
  EXPECT_EQ(CommandLineCopy(3, argv2), "-P:1 -q");
}

TEST(EventsTest, EventSourceKeyHoldsItsThreeValuesAfterEveryInstall) {
  test::ScratchDir dir("tmb-host");
  const std::string hive = dir.path() + "/machine.reg";
  test::ScopedEnv machine("TMB_MACHINE_REGISTRY", hive.c_str());
  const std::string exe = "/opt/tamblo/bin/tmbsqlsvr";
  SetUpEventSource(exe);
  std::ifstream first_in(hive);
  const std::string first((std::istreambuf_iterator<char>(first_in)), std::istreambuf_iterator<char>());
  SetUpEventSource(exe);
  std::ifstream second_in(hive);
  const std::string second((std::istreambuf_iterator<char>(second_in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(first, second);  // a second installation writes the same, once

  platform::RegistryKey key;
  ASSERT_EQ(key.Open(platform::Hive::kLocalMachine, kEventSourceKey), platform::kErrorSuccess);
  char name[64];
  unsigned char data[128];
  std::vector<std::string> names;
  for (uint32_t i = 0;; ++i) {
    uint32_t name_size = sizeof name, data_size = sizeof data, type = 0;
    if (key.EnumValue(i, name, &name_size, &type, data, &data_size) != platform::kErrorSuccess) break;
    names.push_back(name);
    if (names.back() == "EventMessageFile") {
      EXPECT_EQ(type, platform::kRegExpandSz);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(data), data_size), exe + '\0');
    } else {
      uint32_t number = 0;
      std::memcpy(&number, data, sizeof number);
      EXPECT_EQ(type, platform::kRegDword);
      EXPECT_EQ(data_size, 4u);
      EXPECT_EQ(number, names.back() == "CategoryCount" ? 1u : 7u);
    }
  }
  EXPECT_EQ(names, (std::vector<std::string>{"EventMessageFile", "CategoryCount", "TypesSupported"}));
}

TEST(EventsTest, MessageTableGivesTheEventTexts) {
  test::ScratchDir dir("tmb-host");
  const std::string log = dir.path() + "/events.log";
  test::ScopedEnv events("TMB_EVENT_LOG", log.c_str());
  InstallMessageTable();
  platform::EventSourceHandle* source = platform::RegisterEventSource(nullptr, kEventSourceName);
  for (uint32_t id : {kEventVersionConflict, kEventSocketInUse, kEventNoCatalog}) {
    platform::ReportEvent(source, platform::kEventlogErrorType, 1, id);
  }
  platform::DeregisterEventSource(source);
  std::ifstream in(log);
  std::vector<std::string> texts;
  for (std::string line; std::getline(in, line);) texts.push_back(line.substr(line.rfind('\t') + 1));
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "Tamblo SQL Server Error: Tmbio library and Server version different",
                       "Tamblo SQL Server Error: Unable to open socket Another process may be using it",
                       "Tamblo SQL Server Error: Unable to find a valid catalog"}));
}

TEST(OptionsTest, ModesAreSeenInTheWholeLinePortsOnlyInTheCopy) {
  // Past the 255 characters of the copy a port option is cut off, and a
  // mode option is still found.
  std::string filler(260, 'x');
  char prog[] = "tmbsqlsvr", port[] = "-P:20300", mode[] = "-qsvr";
  char* argv[] = {prog, filler.data(), port, mode, nullptr};
  EXPECT_EQ(SelectMode(FullCommandLine(4, argv)), Mode::kQuery);
  EXPECT_EQ(PortOption(CommandLineCopy(4, argv)), std::nullopt);
  EXPECT_EQ(FullCommandLine(4, argv).size(), 260u + 1 + 8 + 1 + 5);
}

TEST(ServiceTest, PortComesFromTheFirstStartParameterElseTheCommandLine) {
  char name[] = "tmbsqlsvr", p20300[] = "-P:20300", letter[] = "x:20300", bare[] = "20300", other[] = "y:1";
  char* with_option[] = {name, p20300, other, nullptr};
  EXPECT_EQ(ServicePortOption(3, with_option, "-SERVICE -P:1"), 20300);  // further parameters unread
  char* with_letter[] = {name, letter, nullptr};
  EXPECT_EQ(ServicePortOption(2, with_letter, ""), 20300);
  char* without_colon[] = {name, bare, nullptr};
  EXPECT_EQ(ServicePortOption(2, without_colon, "-SERVICE -P:1"), std::nullopt);  // no look at the line
  char* none[] = {name, nullptr};
  EXPECT_EQ(ServicePortOption(1, none, "-SERVICE -port:70000"), 4464);
  EXPECT_EQ(ServicePortOption(1, none, "-SERVICE"), std::nullopt);
}

TEST(ServiceTest, QueryTextsByState) {
  EXPECT_STREQ(ServiceStateText(1), "tmbsqlsvr server is stopped\n");
  EXPECT_STREQ(ServiceStateText(2), "tmbsqlsvr server pending start\n");
  EXPECT_STREQ(ServiceStateText(3), "tmbsqlsvr server pending stop\n");
  EXPECT_STREQ(ServiceStateText(4), "tmbsqlsvr server is running\n");
  for (unsigned other : {5u, 6u, 7u, 0u}) EXPECT_STREQ(ServiceStateText(other), "tmbsqlsvr status unknown");
}

TEST(StatusPageTest, ContentLengthCountsTheBodyBytesExactly) {
  StatusCounts counts;
  counts.secure = true;
  counts.slots_in_use = 12;
  counts.connections = 345;
  counts.open_files = 6789;
  const std::string page = BuildStatusPage(counts, 0);
  EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\nDate: Thu, 01 Jan 1970 00:00:00 GMT\n"
                       "Server: Tamblo SQL ODBC Server\n"
                       "Last-Modified: Thu, 01 Jan 1970 00:00:00 GMT\n",
                       0),
            0u);
  const std::string body =
      "<html><body><h1>Hello from: Tamblo\xAE SQL Server (Secure)</h1><p>Version: 8.10.0000<br>"
      "OpenSSL 3.5.0 8 Apr 2025</p><h2>Usage Info</h2><p>Number of user slots in use : 12"
      "<br>Number of connections : 345<br>Number of files opened: 6789</p></body></html>";
  const std::string tail = "Content-Length: " + std::to_string(body.size()) +
                           "\nContent-Type : text/html\nConnection: Closed\n\n" + body;
  ASSERT_GE(page.size(), tail.size());
  EXPECT_EQ(page.substr(page.size() - tail.size()), tail);
  EXPECT_LE(page.size(), 1023u);
}

}  // namespace
}  // namespace tmb
