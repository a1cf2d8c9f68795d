// End-to-end: the ODBC driver loaded by unixODBC's Driver Manager into isql
// and into Python (pyodbc), talking to the real server on the demo catalog.
// The driver and the DSN are registered in ini files of the test's own
// (ODBCSYSINI, ODBCINI), never the machine's. What pyodbc reads is checked
// in odbc_client.py against the same SQL run by Python's sqlite3 on the
// CSV files the catalog was loaded from.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/demo_shop.h"
#include "tests/e2e/requests.h"
#include "tests/e2e/server_process.h"
#include "tests/e2e/tls_certificates.h"
#include "tests/support/scoped_env.h"

namespace tmb::test {
namespace {

class OdbcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string dir = server_.dir();
    std::string error;
    ASSERT_TRUE(StartDemoShop(&server_, Settings(), &error)) << error;
    // The driver and the DSN registered as the README has it, from the
    // templates of resources/odbc, into ini files of the test's own.
    sysini_ = std::make_unique<ScopedEnv>("ODBCSYSINI", dir.c_str());
    ini_ = std::make_unique<ScopedEnv>("ODBCINI", (dir + "/odbc.ini").c_str());
    std::ifstream in(std::string(TMB_SOURCE_DIR) + "/resources/odbc/odbcinst.ini.in");
    std::stringstream text;
    text << in.rdbuf();
    std::string driver = text.str();
    const std::string mark = "@DRIVER@";
    ASSERT_NE(driver.find(mark), std::string::npos);
    driver.replace(driver.find(mark), mark.size(), TMB_ODBC_DRIVER);
    std::ofstream(dir + "/driver.ini") << driver;
    ProgramRun r = RunProgram("odbcinst", {"-i", "-d", "-f", dir + "/driver.ini"}, dir);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    const std::string dsn = std::string(TMB_SOURCE_DIR) + "/resources/odbc/odbc.ini";
    r = RunProgram("odbcinst", {"-i", "-s", "-h", "-f", dsn}, dir);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    // The DSN names the demo's port; the connection string moves it to the test server's.
    connect_ = "DSN=tmbdemo;Port=" + std::to_string(server_.port());
    // A DSN of the test server's own, from standard input, for SQLConnect.
    r = RunProgram("odbcinst", {"-i", "-s", "-h", "-r"}, dir,
                   "[tmbtest]\nDriver=tmbsqlsvr\nServer=127.0.0.1\nPort=" +
                       std::to_string(server_.port()) + "\nCatalog=Demo\n");
    ASSERT_EQ(r.code, 0) << r.out << r.err;
  }
  void TearDown() override { EXPECT_EQ(server_.StopProblems(), ""); }
  // Lines for the server's settings key, beyond the demo's.
  virtual std::string Settings() { return ""; }

  static std::string Schemas() { return std::string(TMB_SOURCE_DIR) + "/resources/demo"; }

  // Runs a program that loads the driver. A sanitizer-built driver needs
  // the sanitizer's runtime loaded first into a program built without it,
  // through env(1) so that the shell in between runs without it (dash does
  // not start with ThreadSanitizer's runtime preloaded). Python's own
  // allocations at exit are not the driver's leaks.
  ProgramRun RunWithDriver(const std::string& program, const std::vector<std::string>& args,
                           const std::string& input = "") {
    const std::string preload = TMB_SANITIZER_RUNTIME;
    if (preload.empty()) return RunProgram(program, args, server_.dir(), input);
    std::vector<std::string> line = {"LD_PRELOAD=" + preload, "ASAN_OPTIONS=detect_leaks=0",
                                     program};
    line.insert(line.end(), args.begin(), args.end());
    return RunProgram("/usr/bin/env", line, server_.dir(), input);
  }
  ProgramRun Python(const std::string& name, const std::string& extra = "") {
    return RunWithDriver("/usr/bin/python3",
                         {std::string(TMB_SOURCE_DIR) + "/tests/odbc/odbc_client.py", name,
                          connect_, server_.dir() + "/demo-csv", Schemas(), extra});
  }
  // The rows the CSV oracle gives for `sql`, one "a|b|c" line each.
  std::string Oracle(const std::string& sql) {
    const ProgramRun r = RunWithDriver(
        "/usr/bin/python3", {std::string(TMB_SOURCE_DIR) + "/tests/odbc/odbc_client.py",
                             "oracle", connect_, server_.dir() + "/demo-csv", Schemas(), sql});
    EXPECT_EQ(r.code, 0) << r.err;
    return r.out;
  }
  void ExpectPass(const ProgramRun& r, const std::string& name) {
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("PASS " + name + " ", 0), 0u) << r.out << r.err;
  }

  ServerProcess server_;
  std::unique_ptr<ScopedEnv> sysini_;
  std::unique_ptr<ScopedEnv> ini_;
  std::string connect_;
};

TEST_F(OdbcTest, IsqlListsTablesAndJoinsOnAKey) {
  const std::string join =
      "SELECT o.id, c.name, o.total_cents FROM orders o JOIN customers c"
      " ON c.id = o.customer_id WHERE c.id = 260 ORDER BY o.id";
  const ProgramRun r =
      RunWithDriver("isql", {"-b", "-d|", "-v", "-k", connect_}, "help\n" + join + "\n");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  std::istringstream lines(r.out);
  std::set<std::string> tables;
  std::string joined;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Demo||", 0) == 0) {
      tables.insert(line.substr(6, line.find('|', 6) - 6));
    } else {
      joined += line + "\n";
    }
  }
  EXPECT_EQ(tables, (std::set<std::string>{"customers", "orders", "products"})) << r.out;
  const std::string want = Oracle(join);
  EXPECT_NE(want, "");
  EXPECT_EQ(joined, want);

  // A statement the server's SQL refuses comes back with its SQLSTATE.
  const ProgramRun bad =
      RunWithDriver("isql", {"-b", "-v", "-k", connect_}, "SELECT * FROM nowhere\n");
  EXPECT_NE(bad.out.find("no such table: nowhere"), std::string::npos) << bad.out << bad.err;

  // isql is an ANSI application: the Driver Manager keeps it on the narrow
  // functions, whose bytes are the UTF-8 it reads and prints.
  const std::string moon = "x \xf0\x9f\x8c\x9c z";  // U+1F31C between blanks
  const ProgramRun text = RunWithDriver("isql", {"-b", "-d|", "-k", connect_},
                                        "SELECT '" + moon + "', length('" + moon + "')\n");
  EXPECT_EQ(text.out, moon + "|5\n") << text.err;
}

TEST_F(OdbcTest, PythonReadsByKeyRangeOrderJoinAndAggregate) {
  ExpectPass(Python("reads"), "reads");
}

// Beside the demo's tables, one of nullable fields of each kind that has
// room for NULL (binary, text, date), for what they keep.
TEST_F(OdbcTest, PythonWritesCommitAndRollBack) {
  std::string error;
  ASSERT_TRUE(CreateDataFile(server_.dir() + "/data", "marks", R"({
    "description": "marks", "kind": 21, "record_length": 23, "variable_length": 0,
    "fields": [{"name": "id", "type": "int", "offset": 0, "length": 4},
               {"name": "mark", "type": "binary", "offset": 4, "length": 3, "nullable": true},
               {"name": "label", "type": "char", "offset": 7, "length": 8, "nullable": true},
               {"name": "seen", "type": "date", "offset": 15, "length": 8, "nullable": true}],
    "keys": [{"name": "by_id", "unique": true, "segments": [{"field": "id"}]}]
  })", &error)) << error;
  ExpectPass(Python("writes"), "writes");
}

// Rows changed under a scan by another cursor and another connection,
// statements that fail half-way inside a transaction, refused DDL.
TEST_F(OdbcTest, PythonScansAndStatementsHoldWhileRowsChange) {
  ExpectPass(Python("changes_under_scan"), "changes_under_scan");
}

TEST_F(OdbcTest, PythonParametersAndErrorStates) {
  ExpectPass(Python("params_and_errors", std::to_string(FreePort())), "params_and_errors");
}

TEST_F(OdbcTest, PythonCatalogFunctions) { ExpectPass(Python("catalog"), "catalog"); }

// pyodbc is a Unicode application: the Driver Manager hands its wide calls
// to the driver's W functions, not through a conversion of its own.
TEST_F(OdbcTest, PythonTextsBeyondTheBasicPlane) { ExpectPass(Python("unicode"), "unicode"); }

// A server whose every connection is TLS: the TLS and CA keys reach it,
// verified against the test's CA; a CA that signed nothing of the server's,
// or no TLS at all, does not.
class OdbcTlsTest : public OdbcTest {
 protected:
  std::string Settings() override {
    const std::string pem = server_.dir() + "/server.pem";
    EXPECT_TRUE(WriteTextFile(pem, Certificates().ServerPem()));
    return "\"SSL\"=\"" + pem + "\"\n";
  }
};

TEST_F(OdbcTlsTest, PythonConnectsOverTlsVerifiedByTheCa) {
  const std::string ca = server_.dir() + "/ca.pem";
  const std::string other = server_.dir() + "/other-ca.pem";
  ASSERT_TRUE(WriteTextFile(ca, Certificates().ca.certificate));
  ASSERT_TRUE(WriteTextFile(other, Certificates().other_ca.certificate));
  ExpectPass(Python("tls", ca + "|" + other), "tls");
}

// The server going away under an open connection: statements fail as a
// communication link failure, not as a general error.
TEST_F(OdbcTest, PythonSeesTheLinkLostWhenTheServerStops) {
  ExpectPass(Python("link_lost", std::to_string(server_.pid())), "link_lost");
  EXPECT_TRUE(server_.WaitExit(10));
}

// The Identity key: the server's access entries for the identity decide
// whether the connection may read the catalog, and write it.
TEST_F(OdbcTest, PythonIdentityHeldToItsAccessEntry) {
  std::ofstream(server_.dir() + "/user.reg", std::ios::trunc)
      << UserHive({{"Security", TextValue("clerk/*", "[A][R][Demo][]") +
                                    TextValue("admin/*", "[A][RW][Demo][]")}});
  ExpectPass(Python("identity"), "identity");
}

// A catalog with users: SQLConnect's user and password (isql) and the UID
// and PWD keys (pyodbc) log on; without them, or wrong, the connection is
// refused as an authorization failure.
TEST_F(OdbcTest, LogonWithUserAndPassword) {
  std::string error;
  ASSERT_TRUE(AddDemoUser(server_.dir() + "/data", "anna", "p;w", &error)) << error;
  const std::string count = "SELECT COUNT(*) FROM customers\n";
  ProgramRun r = RunWithDriver("isql", {"-b", "-v", "tmbtest"}, count);
  const std::string said = r.out + r.err;
  EXPECT_NE(said.find("28000"), std::string::npos) << said;
  EXPECT_NE(said.find("access denied"), std::string::npos) << said;
  r = RunWithDriver("isql", {"-b", "-d|", "tmbtest", "anna", "p;w"}, count);
  EXPECT_EQ(r.out, Oracle("SELECT COUNT(*) FROM customers")) << r.err;
  ExpectPass(Python("logon", "anna:p;w"), "logon");
}

}  // namespace
}  // namespace tmb::test
