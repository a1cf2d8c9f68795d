#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "host/config.h"
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

TEST_F(RegistryConfigTest, CatalogKeyMayComeFromEitherHive) {
  EXPECT_FALSE(CatalogsKeyExists());
  Machine("\r\n[HKEY_LOCAL_MACHINE\\Software\\Orlane Systems\\SQL Server\\Catalogs]\r\n");
  EXPECT_TRUE(CatalogsKeyExists());
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
