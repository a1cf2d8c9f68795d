// End-to-end: tmbcli's data commands as a new user runs them: make a file
// with tmbadmin, put records, dump them in two key orders, delete some,
// restart the server, and find everything as it was left; and CSV that one
// of tmbcli and tmbadmin writes, the other reads.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/server_process.h"

namespace tmb::test {
namespace {

const char kSchema[] = R"({
  "description": "Spare parts",
  "kind": 21,
  "record_length": 48,
  "fields": [
    {"name": "id", "type": "int", "offset": 0, "length": 4},
    {"name": "name", "type": "char", "offset": 4, "length": 20},
    {"name": "stock", "type": "uint", "offset": 24, "length": 4, "nullable": true},
    {"name": "added", "type": "date", "offset": 28, "length": 8},
    {"name": "code", "type": "binary", "offset": 36, "length": 12}
  ],
  "keys": [
    {"name": "by_id", "unique": true, "segments": [{"field": "id"}]},
    {"name": "by_name", "unique": false, "segments": [{"field": "name", "nocase": true}]}
  ]
})";

class TmbcliDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir((server_.dir() + "/demo").c_str(), 0755), 0);
    ASSERT_TRUE(server_.Start()) << server_.Stderr();
  }
  void TearDown() override {
    EXPECT_EQ(server_.StopProblems(), "");
  }

  ProgramRun Shell(const std::string& program, const std::vector<std::string>& args,
                   const std::string& input = "") {
    return RunProgram(program, args, server_.dir(), input);
  }
  ProgramRun Cli(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--port", std::to_string(server_.port())});
    return Shell(TMB_CLI_BIN, args, input);
  }
  std::string Data(const std::string& name) const { return server_.dir() + "/demo/" + name; }

  ServerProcess server_;
};

// Record i: names repeat every 7, so the second key has long runs of equal
// values that cross block boundaries.
std::string Line(int i) {
  char code[32];
  const unsigned h = static_cast<unsigned>(i) * 2654435761u;
  std::snprintf(code, sizeof code, "%08x%08x%08x", h, ~h, h ^ 0x5a5a5a5au);
  return std::to_string(i) + ",part " + std::to_string(i % 7) + "," +
         std::to_string(4000000000u - static_cast<unsigned>(i)) + ",2024" +
         (i % 12 < 9 ? "0" : "") + std::to_string(i % 12 + 1) + "15," + code;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(TmbcliDataTest, PutDumpDeleteRestartAndDumpAgain) {
  std::ofstream(server_.dir() + "/parts.json") << kSchema;
  ProgramRun r = Shell(TMBADMIN_PATH, {"create", Data("parts.tmb"), server_.dir() + "/parts.json"});
  ASSERT_EQ(r.code, 0) << r.err;

  std::string input;
  std::vector<std::string> by_id;
  for (int i = 1; i <= 1000; ++i) {
    input += Line(i) + "\n";
    by_id.push_back(Line(i));
  }
  r = Cli({"put", "parts"}, input);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "1000 records written\n");

  const std::string header = "id,name,stock,added,code";
  r = Cli({"dump", "parts", "--csv"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 1001u);
  EXPECT_EQ(lines[0], header);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), by_id);

  // The second key: names ignoring case, equal names in insertion order.
  std::vector<std::string> by_name;
  for (int n = 0; n < 7; ++n) {
    for (int i = 1; i <= 1000; ++i) {
      if (i % 7 == n) by_name.push_back(Line(i));
    }
  }
  r = Cli({"dump", "parts", "--key", "2", "--csv"});
  ASSERT_EQ(r.code, 0) << r.err;
  lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 1001u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), by_name);

  // Delete every tenth record by its id.
  std::vector<std::string> kept;
  for (int i = 1; i <= 1000; ++i) {
    if (i % 10 != 0) {
      kept.push_back(Line(i));
      continue;
    }
    r = Cli({"delete", "parts.tmb", std::to_string(i)});
    ASSERT_EQ(r.code, 0) << i << ": " << r.err;
  }
  r = Cli({"delete", "parts", "10"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "tmbcli: key 10: no such record (or no more records) (-1)\n");

  ASSERT_EQ(server_.StopProblems(), "");
  ASSERT_TRUE(server_.Start()) << server_.Stderr();
  r = Cli({"dump", "parts", "--csv"});
  ASSERT_EQ(r.code, 0) << r.err;
  lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 901u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), kept);
  r = Shell(TMBADMIN_PATH, {"check", Data("parts.tmb")});
  EXPECT_EQ(r.code, 0) << r.out << r.err;

  // A table with a limit, and one record by each key.
  r = Cli({"dump", "parts", "--limit", "2"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "id  name         stock  added     code\n"
            "--  ------  ----------  --------  ------------------------\n"
            " 1  part 1  3999999999  20240215  9e3779b161c8864ec46d23eb\n"
            " 2  part 2  3999999998  20240315  3c6ef362c3910c9d6634a938\n"
            "(2 records)\n");
  r = Cli({"get", "parts", "999"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "id     999\nname   part 5\nstock  3999999001\nadded  20240415\n"
                   "code   " + Line(999).substr(Line(999).rfind(',') + 1) + "\n");
  r = Cli({"get", "parts", "PART 3", "--key", "2", "--csv"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, header + "\n" + Line(3) + "\n");
}

TEST_F(TmbcliDataTest, CatalogListingsFilesClearRefusalsAndCsvSharedWithTmbadmin) {
  std::ofstream(server_.dir() + "/parts.json") << kSchema;
  ASSERT_EQ(Shell(TMBADMIN_PATH, {"create", Data("parts.tmb"), server_.dir() + "/parts.json"}).code, 0);

  ProgramRun r = Cli({"tables"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("parts                         48     2         0  Spare parts\n"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("(1 table, 5 columns)"), std::string::npos) << r.out;
  r = Cli({"columns", "parts", "st%"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("parts           stock               INTEGER        24      4  yes"),
            std::string::npos) << r.out;
  r = Cli({"describe", "parts"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("  2 by_name (20 bytes, duplicates allowed)\n"
                       "     segment 1: name at 4, 20 bytes, text, ignoring case\n"),
            std::string::npos) << r.out;
  r = Cli({"ls", server_.dir() + "/demo/*.TMB"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "parts.tmb\n");
  r = Cli({"ls", server_.dir() + "/demo/*.none"});
  EXPECT_EQ(r.code, 1);

  // Refusals say what is wrong.
  r = Cli({"dump", "nothere"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "tmbcli: cannot open nothere.tmb: no such data file in the catalog's data "
                   "directory (-13)\n");
  r = Cli({"put", "parts", "1,a,5,20240101,00"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Cli({"put", "parts", "1,b,5,20240101,00"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;
  r = Cli({"put", "parts", "2,b,-1,20240101,00"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "tmbcli: field stock: value '-1' out of range 0..4294967295\n");
  r = Cli({"put", "parts", "2,b"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "tmbcli: the record has 5 fields (id,name,stock,added,code), but 2 values "
                   "were given\n");
  r = Cli({"put", "parts"}, "\n3,\"b\"c,5,20240101,00\n");
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "tmbcli: line 2: text after the closing quote of a field\n");
  r = Cli({"get", "parts", "1", "--key", "3"});
  EXPECT_EQ(r.code, 2);
  r = Cli({"get", "parts", "x"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "tmbcli: segment 1 of key 1: not an integer: 'x'\n");

  // One tool reads what the other writes: a date as YYYY-MM-DD and a text
  // holding a comma and quotes go into parts by tmbadmin load and come out
  // of tmbadmin dump; that line goes into spares by tmbcli put.
  const std::string header = "id,name,stock,added,code\n";
  ASSERT_EQ(
      Shell(TMBADMIN_PATH, {"create", Data("spares.tmb"), server_.dir() + "/parts.json"}).code, 0);
  std::ofstream(server_.dir() + "/in.csv")
      << header << "7,\"Bolt, \"\"M8\"\"\",12,2024-02-29,0A0b\n";
  r = Shell(TMBADMIN_PATH, {"load", Data("parts.tmb"), server_.dir() + "/in.csv"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Shell(TMBADMIN_PATH, {"dump", Data("parts.tmb")});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string bolt = "7,\"Bolt, \"\"M8\"\"\",12,20240229,0a0b00000000000000000000";
  ASSERT_EQ(r.out, header + "1,a,5,20240101,000000000000000000000000\n" + bolt + "\n");
  r = Cli({"put", "spares", bolt});
  ASSERT_EQ(r.code, 0) << r.err;
  // And back: what tmbcli takes (YYYY-MM-DD again) and dumps, tmbadmin loads.
  r = Cli({"put", "spares"}, "8,\"Nut,\nM8\",3,2024-03-01,ff\n");
  ASSERT_EQ(r.code, 0) << r.err;
  r = Cli({"dump", "spares", "--csv"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string nut = "8,\"Nut,\nM8\",3,20240301,ff0000000000000000000000\n";
  ASSERT_EQ(r.out, header + bolt + "\n" + nut);
  std::ofstream(server_.dir() + "/in.csv", std::ios::trunc) << header << nut;
  r = Shell(TMBADMIN_PATH, {"load", Data("parts.tmb"), server_.dir() + "/in.csv"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Cli({"dump", "parts", "--csv"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, header + "1,a,5,20240101,000000000000000000000000\n" + bolt + "\n" + nut);

  // A day the calendar lacks is refused by both, in the same words.
  const std::string refusal = "field added: no such day: '2023-02-30'";
  r = Cli({"put", "spares", "9,x,1,2023-02-30,00"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "tmbcli: " + refusal + "\n");
  std::ofstream(server_.dir() + "/in.csv", std::ios::trunc) << header << "9,x,1,2023-02-30,00\n";
  r = Shell(TMBADMIN_PATH, {"load", Data("spares.tmb"), server_.dir() + "/in.csv"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("in.csv: line 2: " + refusal + "\n"), std::string::npos) << r.err;
}

// The benchmark command on the schema the README gives it, and on a file
// keyed by text: what it reports is what the server did.
TEST_F(TmbcliDataTest, BenchPreparesRunsEveryOperationAndReportsWhatTheServerDid) {
  ProgramRun r = Shell(TMBADMIN_PATH, {"create", Data("bench.tmb"), TMB_BENCH_SCHEMA});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Cli({"bench", "bench", "--prepare", "--keys", "700", "--requests", "400", "--clients", "4"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("prepared 700 records in bench.tmb\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("read by key: 4 clients, plain, run-length coding, records of 64 bytes\n"
                       "  requests     400 in "),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  not found    0\n  failed       0\n"), std::string::npos) << r.out;
  r = Cli({"dump", "bench", "--csv"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 701u);
  EXPECT_EQ(lines[700].substr(0, 4), "700,");

  for (const char* op : {"echo", "next", "block", "write", "mix"}) {
    r = Cli({"bench", "bench", "--op", op, "--keys", "700", "--requests", "150", "--clients", "3",
             "--compress", "zlib"});
    EXPECT_EQ(r.code, 0) << op << ": " << r.err;
    EXPECT_NE(r.out.find("  requests     150 in "), std::string::npos) << op << ": " << r.out;
    EXPECT_NE(r.out.find("  failed       0\n"), std::string::npos) << op << ": " << r.out;
  }
  // Writes of records that exist change no count; half the keys asked for
  // beyond them are missing, and said to be.
  r = Cli({"bench", "bench", "--keys", "1400", "--requests", "300"});
  ASSERT_EQ(r.code, 0) << r.err;
  const size_t missing = r.out.find("  not found    ");
  ASSERT_NE(missing, std::string::npos) << r.out;
  const int misses = std::stoi(r.out.substr(missing + 15));
  EXPECT_GT(misses, 60);
  EXPECT_LT(misses, 240);
  r = Cli({"bench", "--op", "echo", "--seconds", "1"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.find("  requests     0 "), std::string::npos) << r.out;
  r = Cli({"bench", "bench", "--op", "write", "--keys", "900", "--requests", "2000", "--clients", "2"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Cli({"dump", "bench", "--csv"});
  ASSERT_EQ(r.code, 0) << r.err;
  const size_t records = Lines(r.out).size() - 1;
  EXPECT_GT(records, 700u);  // new records among 701..900, each written whole
  EXPECT_LE(records, 900u);
  r = Shell(TMBADMIN_PATH, {"check", Data("bench.tmb")});
  EXPECT_EQ(r.code, 0) << r.out << r.err;

  // A text key is numbered in zero-padded digits.
  std::ofstream(server_.dir() + "/codes.json") << R"({"kind": 21, "record_length": 20,
    "fields": [{"name": "code", "type": "char", "offset": 2, "length": 6},
               {"name": "rest", "type": "char", "offset": 8, "length": 12}],
    "keys": [{"name": "by_code", "unique": true, "segments": [{"field": "code"}]}]})";
  r = Shell(TMBADMIN_PATH, {"create", Data("codes.tmb"), server_.dir() + "/codes.json"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Cli({"bench", "codes", "--prepare", "--keys", "30", "--op", "read", "--requests", "50"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Cli({"get", "codes", "000017", "--csv"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.substr(r.out.find('\n') + 1, 7), "000017,");

  // Refusals, each with its reason and the usage exit code.
  const struct {
    std::vector<std::string> args;
    std::string says;
  } refusals[] = {
      {{"bench"}, "usage: tmbcli bench [FILE]"},
      {{"bench", "bench", "--op", "scan"}, "--op takes echo, read, next, block, write or mix"},
      {{"bench", "bench", "--size", "10"}, "--size takes 64 bytes for bench.tmb"},
      {{"bench", "bench", "--clients", "0"}, "--clients takes a number from 1 to 1024"},
      {{"bench", "parts_missing"}, "cannot open parts_missing.tmb"},
  };
  for (const auto& refusal : refusals) {
    r = Cli(refusal.args);
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find(refusal.says), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace tmb::test
