// End-to-end: tmbcli run as a person setting up a server would, following
// the README, against the real server serving the demo registry.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/demo_shop.h"
#include "tests/e2e/requests.h"
#include "tests/e2e/server_process.h"
#include "tests/support/tmux_terminal.h"
#include "tmbio/admin/demo_data.h"
#include "tmbio/record_text.h"

namespace tmb::test {
namespace {

class TmbcliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The demo registry exactly as scripts/serve-demo.sh makes it.
    server_.machine_hive = DemoShopHive(server_.dir() + "/data");
    ASSERT_NE(server_.machine_hive.find("Catalogs"), std::string::npos);
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

TEST_F(TmbcliTest, SqlStatementsCsvAndThePrompt) {
  std::string error;
  ASSERT_TRUE(BuildDemoShop(server_.dir() + "/data", &error)) << error;
  ASSERT_TRUE(server_.Start()) << server_.Stderr();

  // --csv gives the demo's own CSV records back, for the columns asked for.
  std::istringstream products(tmbadmin::MakeDemoCsv().products);
  tmbio::text::CsvReader reader(&products);
  std::string want;
  std::vector<std::string> fields;
  for (int line = 0; line <= 5 && reader.Next(&fields); ++line) {
    fields.resize(6);
    tmbio::text::AppendCsvRecord(fields, &want);
  }
  ProgramRun r = Cli({"--port", Port(), "sql", "--csv",
                      "SELECT id, code, name, category, price_cents, stock FROM products "
                      "WHERE id <= 5 ORDER BY id"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, want);

  // Aligned: numbers to the right, a rule under the header, the row count;
  // several statements run in turn.
  r = Cli({"sql", "--catalog", "DEMO", "--port", Port(),
           "SELECT id, status FROM orders WHERE id IN (9, 10) ORDER BY id; "
           "SELECT count(*) AS n FROM products WHERE id < 100"});
  EXPECT_EQ(r.code, 0) << r.err;
  std::istringstream orders(tmbadmin::MakeDemoCsv().orders);
  tmbio::text::CsvReader order_reader(&orders);
  std::vector<std::string> status(11);
  for (int line = 0; line <= 10 && order_reader.Next(&fields); ++line) status[line] = fields[6];
  const size_t w = std::max<size_t>({6, status[9].size(), status[10].size()});
  auto pad = [&](const std::string& s) {
    std::string t = s + std::string(w - s.size(), ' ');
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
  };
  EXPECT_EQ(r.out, "id  " + pad("status") + "\n--  " + std::string(w, '-') + "\n 9  " +
                       pad(status[9]) + "\n10  " + pad(status[10]) + "\n(2 rows)\n"
                       " n\n--\n99\n(1 row)\n");

  // Errors: SQL (exit 1, SQLite's message), catalog, usage.
  r = Cli({"--port", Port(), "sql", "SELECT nope FROM products"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "tmbcli: no such column: nope\n");
  r = Cli({"--port", Port(), "sql", "INSERT INTO products VALUES (1, 7, 7, 7, 1, 1, 20240101, 7)"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("duplicate key in products"), std::string::npos) << r.err;
  r = Cli({"--port", Port(), "sql", "--lock-timeout", "250",
           "INSERT INTO products (id, code) VALUES (901, 7)"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "tmbcli: products: column name: NULL into a NOT NULL column\n");
  // DDL the server would not carry out is refused, and says why.
  r = Cli({"--port", Port(), "sql", "DROP TABLE products; SELECT count(*) FROM products"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("not authorized: tables, indexes, views and triggers live on the server"),
            std::string::npos) << r.err;
  r = Cli({"--port", Port(), "sql", "--lock-timeout", "soon", "SELECT 1"});
  EXPECT_EQ(r.code, 2);
  r = Cli({"--port", Port(), "sql", "--catalog", "Sales", "SELECT 1"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("no catalog named \"Sales\""), std::string::npos) << r.err;
  r = Cli({"--port", Port(), "sql", "SELECT 1", "SELECT 2"});
  EXPECT_EQ(r.code, 2);

  // The prompt: dot commands, a statement over two lines, an error that
  // does not end the session, CSV switched on.
  r = RunProgram(TMB_CLI_BIN, {"--port", Port(), "sql"}, server_.dir(),
                 ".tables\n.schema products\nSELECT count(*)\n  FROM customers;\n"
                 "SELECT x;\n.csv\nSELECT id FROM customers WHERE id = 3;\n.quit\n"
                 "SELECT 1;\n");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "tmbcli: no such column: x\n");
  const std::string tables = "customers\norders\nproducts\n";
  ASSERT_EQ(r.out.substr(0, tables.size()), tables);
  EXPECT_NE(r.out.find("CREATE TABLE products (\n  id INTEGER,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  swatch BLOB  -- BINARY(3) at byte 92\n);\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("-- key 1 by_id (unique): id\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("count(*)\n--------\n    " + std::to_string(tmbadmin::kDemoCustomers) +
                       "\n(1 row)\n"),
            std::string::npos)
      << r.out;
  // After .quit nothing more runs.
  EXPECT_EQ(r.out.substr(r.out.size() - 5), "id\n3\n") << r.out;
  r = RunProgram(TMB_CLI_BIN, {"--port", Port(), "sql"}, server_.dir(),
                 "DELETE FROM orders WHERE id = 1;\nDELETE FROM orders\n WHERE id = 2\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "tmbcli: the input ended inside a statement (no ';'); it was not run\n");
  r = Cli({"--port", Port(), "sql", "--csv", "SELECT id FROM orders WHERE id <= 3"});
  EXPECT_EQ(r.out, "id\n2\n3\n");
}

// The prompt on a real terminal (tmux): a statement recalled with the Up
// arrow runs again, and the statement is in the history file afterwards
// for the next session to recall.
TEST_F(TmbcliTest, SqlPromptOnATerminalEditsAndKeepsItsHistory) {
  ASSERT_TRUE(TmuxTerminal::Available()) << "tmux is missing; scripts/setup.sh installs it";
  std::string error;
  ASSERT_TRUE(BuildDemoShop(server_.dir() + "/data", &error)) << error;
  ASSERT_TRUE(server_.Start()) << server_.Stderr();
  const std::string home = server_.dir() + "/home";
  ASSERT_EQ(std::system(("mkdir -p '" + home + "'").c_str()), 0);
  TmuxTerminal terminal(server_.dir(), "cli");
  // The pane stays a while after the prompt ends, for its last screen.
  const std::string command = "HOME='" + home + "' " + TMB_CLI_BIN + " --port " + Port() + " sql";
  ASSERT_TRUE(terminal.Start(command + "; sleep 30"));
  ASSERT_TRUE(terminal.Shows("sql>")) << terminal.Screen();
  // tmux ends a command at a bare ';'.
  terminal.Keys("'SELECT 6 * 7 AS answer\\;' Enter");
  ASSERT_TRUE(terminal.Shows("(1 row)")) << terminal.Screen();
  terminal.Keys("Up Enter");
  EXPECT_TRUE(terminal.Shows("(1 row)", 2)) << terminal.Screen();
  terminal.Keys(".quit Enter");
  for (int i = 0; i < 200; ++i) {
    std::ifstream in(home + "/.tmbcli_history");
    std::stringstream text;
    text << in.rdbuf();
    if (text.str().find("answer;") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::ifstream in(home + "/.tmbcli_history");
  std::stringstream text;
  text << in.rdbuf();
  // libedit's own format, blanks as \\040.
  EXPECT_NE(text.str().find("AS\\040answer;"), std::string::npos) << text.str();
  EXPECT_NE(terminal.Screen().find("42"), std::string::npos) << terminal.Screen();
}

}  // namespace
}  // namespace tmb::test
