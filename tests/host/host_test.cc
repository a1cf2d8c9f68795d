#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "host/options.h"
#include "host/status_page.h"

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
