// End-to-end: tmbcli run as a person setting up a server would, following
// the README, against the real server serving the demo registry.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/requests.h"
#include "tests/e2e/server_process.h"

namespace tmb::test {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class TmbcliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The demo registry exactly as scripts/serve-demo.sh makes it.
    std::string hive = ReadText(std::string(TMB_SOURCE_DIR) + "/resources/demo/machine.reg.in");
    ASSERT_FALSE(hive.empty());
    const std::string data = server_.dir() + "/data";
    const std::string mark = "@DEMO_DATA@";
    for (size_t at; (at = hive.find(mark)) != std::string::npos;) hive.replace(at, mark.size(), data);
    server_.machine_hive = hive;
  }
  void TearDown() override {
    EXPECT_EQ(server_.StopProblems(), "");
  }

  // Runs tmbcli with these arguments, as a shell would.
  ProgramRun Cli(const std::vector<std::string>& args) {
    return RunProgram(TMB_CLI_BIN, args, server_.dir());
  }
  std::string Port() const { return std::to_string(server_.port()); }

  ServerProcess server_;
};

TEST_F(TmbcliTest, PingCatalogsAndWhoamiAgainstTheDemoServer) {
  ASSERT_TRUE(server_.Start()) << server_.Stderr();

  ProgramRun r = Cli({"ping", "--port", Port()});
  EXPECT_EQ(r.code, 0) << r.err;
  const std::string head = "tmbsqlsvr at 127.0.0.1:" + Port() + " answered in ";
  const std::string tail = " ms (compression rle)\n";
  ASSERT_GT(r.out.size(), head.size() + tail.size()) << r.out;
  EXPECT_EQ(r.out.substr(0, head.size()), head);
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  const std::string ms = r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
  EXPECT_EQ(ms.find_first_not_of("0123456789."), std::string::npos) << ms;
  for (const char* compress : {"none", "rle", "zlib"}) {
    r = Cli({"--compress", compress, "--port=" + Port(), "--host", "localhost", "ping"});
    EXPECT_EQ(r.code, 0) << compress << ": " << r.err;
    EXPECT_NE(r.out.find(std::string("(compression ") + compress + ")"), std::string::npos);
  }

  r = Cli({"--port", Port(), "catalogs"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "catalog default on 127.0.0.1:" + Port() + "\n  data directory: " +
                       server_.dir() + "/data\n  text2:          \n  text3:          \n"
                       "  view library:   \n");
  r = Cli({"--port", Port(), "catalogs", "DEMO"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("data directory: " + server_.dir() + "/data"), std::string::npos);
  r = Cli({"--port", Port(), "catalogs", "Sales"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "tmbcli: no catalog named \"Sales\" on 127.0.0.1:" + Port() +
                       " (names are compared ignoring case)\n");

  // No Security key in the demo registry: no entry applies.
  r = Cli({"--port", Port(), "whoami", "--identity", "alice/pc1"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("no access entry applies"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("alice/pc1, alice/*, */pc1, */*"), std::string::npos) << r.out;

  // An administrator adds access entries to the user hive; no restart.
  std::ofstream(server_.dir() + "/user.reg", std::ios::trunc)
      << UserHive({{"Security", TextValue("alice/*", "[A][RW][Demo][Demo;Archive]") +
                                    TextValue("*/*", "[A][R][Demo][]")}});
  r = Cli({"--port", Port(), "whoami", "--identity", "alice/pc1", "--resource", "Demo",
           "--resource2", "Archive"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "client \"tmbcli\" admitted as alice/pc1\naccess 0x303\n"
                   "  first resource Demo: read and write\n"
                   "  second resource Archive: read and write\n");
  r = Cli({"--port", Port(), "whoami", "--resource", "Demo", "--resource2", "Archive"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "client \"tmbcli\" admitted as */*\naccess 0x001\n"
                   "  first resource Demo: read only\n"
                   "  second resource Archive: no access\n");
}

TEST_F(TmbcliTest, FullSlotTableAndUsageAndConnectionErrors) {
  server_.machine_hive += "\r\n[HKEY_LOCAL_MACHINE\\Software\\Orlane Systems\\SQL Server]\r\n"
                          "\"ClientSlots\"=\"1\"\r\n";
  ASSERT_TRUE(server_.Start()) << server_.Stderr();
  RawConnection holder(server_.port());
  holder.SendPlain({41});
  ASSERT_EQ(BodyOf(holder.ReadFrame()), (Bytes{0, 0}));
  holder.SendPlain(Body(66).I16(0).I16(0).I16(0).I16(0).I16(0).I16(1).Text("other"));
  ASSERT_EQ(BodyOf(holder.ReadFrame()), (Bytes{0xFF, 0xFD}));

  ProgramRun r = Cli({"--port", Port(), "whoami", "--client", "me"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("refused: the server has no free client slot for the client name \"me\""),
            std::string::npos)
      << r.out;
  r = Cli({"--port", Port(), "whoami", "--client", "other"});
  EXPECT_EQ(r.code, 1);  // admitted, but no access entry applies
  EXPECT_NE(r.out.find("client \"other\" admitted"), std::string::npos) << r.out;

  r = Cli({"--port", "70000", "ping"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "tmbcli: --port takes a number from 1 to 65535, not \"70000\"\n");
  r = Cli({"--compress", "lz4", "ping"});
  EXPECT_EQ(r.code, 2);
  r = Cli({"frobnicate"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("unknown command \"frobnicate\""), std::string::npos);
  r = Cli({"--port", Port(), "ping", "extra"});
  EXPECT_EQ(r.code, 2);
  r = Cli({"--help"});
  EXPECT_EQ(r.code, 0);
  for (const char* command : {"ping", "catalogs [NAME|default]", "whoami"}) {
    EXPECT_NE(r.out.find(std::string("  ") + command), std::string::npos) << command;
  }
  for (const char* option : {"--host", "--port", "--compress", "--tls", "--ca", "--insecure"}) {
    EXPECT_NE(r.out.find(std::string("\n  ") + option + " "), std::string::npos) << option;
  }

  const std::string closed = std::to_string(FreePort());
  r = Cli({"--port", closed, "ping"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("cannot connect to 127.0.0.1:" + closed), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("is tmbsqlsvr running there?"), std::string::npos) << r.err;
  r = Cli({"--port", closed, "--ca", "ca.pem", "ping"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("is tmbsqlsvr running there with TLS?"), std::string::npos) << r.err;
  r = Cli({"--port", Port(), "--ca=", "ping"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "tmbcli: --ca needs the file of the CA certificates\n");
}

}  // namespace
}  // namespace tmb::test
