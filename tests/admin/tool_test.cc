// Runs the built tmbadmin as a user would: files, CSV and exit statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tmbio/tmbio.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tmbadmin-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  fs::path Path(const std::string& name) const { return dir_ / name; }

  // Runs tmbadmin with `args`, `input` on its standard input, in `cwd`
  // (empty: the test's own).
  Result Run(const std::vector<std::string>& args, const std::string& input = "",
             const std::string& cwd = "") {
    const fs::path in = Path(".stdin"), out = Path(".stdout"), err = Path(".stderr");
    WriteText(in, input);
    std::vector<std::string> all = {TMBADMIN_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = 0;
    Result r;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0);
    if (spawned != 0) return r;
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = ReadText(out);
    r.err = ReadText(err);
    return r;
  }

  // Creates `name` from the people schema.
  void CreatePeople(const std::string& name) {
    WriteText(Path("people.json"), kPeopleSchema);
    const Result r = Run({"create", Path(name).string(), Path("people.json").string()});
    ASSERT_EQ(r.code, 0) << r.err;
  }

  Result Dump(const std::string& name, std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"dump", Path(name).string()});
    return Run(options);
  }

  static constexpr const char* kPeopleSchema = R"({
  "description": "People",
  "kind": 21,
  "record_length": 40,
  "fields": [
    {"name": "id", "type": "int", "offset": 0, "length": 4},
    {"name": "name", "type": "char", "offset": 4, "length": 24},
    {"name": "born", "type": "date", "offset": 28, "length": 8},
    {"name": "tag", "type": "uint", "offset": 36, "length": 2}
  ],
  "keys": [
    {"name": "by_id", "unique": true, "segments": [{"field": "id"}]},
    {"name": "by_name", "unique": false,
     "segments": [{"field": "name", "nocase": true}, {"field": "id", "descending": true}]}
  ]
}
)";

  fs::path dir_;
};

// Columns in another order than the fields, one field left out, quoted text.
constexpr char kPeopleCsv[] =
    "name,ID,born\r\n"
    "\"Smith, Anna\",3,19800101\r\n"
    "bob,1,\r\n"
    "\"Zo\xC3\xAB \"\"Z\"\" Young\",2,2000-02-29\r\n"
    "BOB,5,19991231\r\n"
    "alice,4,20010101\r\n";

constexpr char kPeopleById[] =
    "id,name,born,tag\n"
    "1,bob,,0\n"
    "2,\"Zo\xC3\xAB \"\"Z\"\" Young\",20000229,0\n"
    "3,\"Smith, Anna\",19800101,0\n"
    "4,alice,20010101,0\n"
    "5,BOB,19991231,0\n";

// Names ignoring case, equal names by id descending.
constexpr char kPeopleByName[] =
    "id,name,born,tag\n"
    "4,alice,20010101,0\n"
    "5,BOB,19991231,0\n"
    "1,bob,,0\n"
    "3,\"Smith, Anna\",19800101,0\n"
    "2,\"Zo\xC3\xAB \"\"Z\"\" Young\",20000229,0\n";

TEST_F(ToolTest, LoadedRecordsDumpInEitherKeyOrderAndReloadTheSame) {
  CreatePeople("people.tmb");
  WriteText(Path("people.csv"), kPeopleCsv);
  Result r = Run({"load", Path("people.tmb").string(), Path("people.csv").string()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("loaded 5 records"), std::string::npos) << r.out;

  r = Dump("people.tmb");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, kPeopleById);
  r = Dump("people.tmb", {"--key", "2"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, kPeopleByName);
  r = Dump("people.tmb", {"--key=by_name", "--limit", "2"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "id,name,born,tag\n4,alice,20010101,0\n5,BOB,19991231,0\n");

  // A dump is a load file: a copy holds the same records.
  WriteText(Path("dump.csv"), Dump("people.tmb").out);
  CreatePeople("copy.tmb");
  r = Run({"load", Path("copy.tmb").string(), Path("dump.csv").string()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Dump("copy.tmb", {"--key", "2"}).out, kPeopleByName);

  r = Run({"check", Path("people.tmb").string()});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("sound"), std::string::npos);

  r = Run({"describe", Path("people.tmb").string()});
  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* part : {"records: 5", "by_name", "duplicates allowed", "ignoring case",
                           "descending", "signed integer", "born: date, offset 28, length 8"}) {
    EXPECT_NE(r.out.find(part), std::string::npos) << part << " missing from:\n" << r.out;
  }

  r = Dump("people.tmb", {"--key", "3"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("no key 3"), std::string::npos) << r.err;
}

TEST_F(ToolTest, AFailingLineNamesItselfAndLeavesTheFileAsItWas) {
  CreatePeople("people.tmb");
  WriteText(Path("people.csv"), kPeopleCsv);
  ASSERT_EQ(Run({"load", Path("people.tmb").string(), Path("people.csv").string()}).code, 0);

  struct Case {
    const char* csv;
    std::vector<std::string> error_parts;
  };
  const Case cases[] = {
      // Line 4 repeats the id of line 2, both new.
      {"id,name\n10,ten\n11,eleven\n10,again\n",
       {"bad.csv: line 4", "unique key by_id", "as on line 2"}},
      // A value already in the file before this load.
      {"id,name\n12,twelve\n3,three\n",
       {"bad.csv: line 3", "unique key by_id", "already in the file"}},
      {"id,name,tag\n13,x,1\n14,y,70000\n",
       {"bad.csv: line 3", "field tag", "out of range 0..65535"}},
      {"id,born\n15,20230229\n", {"bad.csv: line 2", "field born", "no such day"}},
      {"id,name\n16,this name is far too long for it\n",
       {"bad.csv: line 2", "field name", "longer than"}},
      {"id,name\n17,x\n18\n", {"bad.csv: line 3", "1 fields where the header has 2"}},
      {"id,name\n19,\"open\n", {"bad.csv: line 2", "not closed"}},
      {"id,nickname\n", {"bad.csv: line 1", "no field 'nickname'"}},
      {"id,ID\n", {"bad.csv: line 1", "column 'ID' appears twice"}},
  };
  const std::string before = Dump("people.tmb").out;
  ASSERT_EQ(before, kPeopleById);
  for (const Case& c : cases) {
    WriteText(Path("bad.csv"), c.csv);
    const Result r = Run({"load", Path("people.tmb").string(), Path("bad.csv").string()});
    EXPECT_EQ(r.code, 1) << c.csv;
    for (const std::string& part : c.error_parts) {
      EXPECT_NE(r.err.find(part), std::string::npos) << part << " missing from: " << r.err;
    }
    EXPECT_EQ(Dump("people.tmb").out, before) << "after " << c.csv;
  }
  const Result r = Run({"check", Path("people.tmb").string()});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
}

TEST_F(ToolTest, SchemaAndFileErrorsNameWhereAndWhat) {
  // Line 5 asks for a type no field has.
  WriteText(
      Path("bad.json"),
      "{\n"
      "  \"kind\": 21,\n"
      "  \"record_length\": 8,\n"
      "  \"fields\": [\n"
      "    {\"name\": \"id\", \"type\": \"float\", \"offset\": 0, \"length\": 4}\n"
      "  ],\n"
      "  \"keys\": [{\"name\": \"k\", \"unique\": true, \"segments\": [{\"field\": \"id\"}]}]\n"
      "}\n");
  Result r = Run({"create", Path("x.tmb").string(), Path("bad.json").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("bad.json: line 5: field id: unknown type"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(Path("x.tmb")));
  // A comma missing at the end of line 2.
  WriteText(Path("bad.json"), "{\n  \"kind\": 21\n  \"record_length\": 8\n}\n");
  r = Run({"create", Path("x.tmb").string(), Path("bad.json").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("bad.json: line 3"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(Path("x.tmb")));

  // An existing file is never replaced.
  CreatePeople("people.tmb");
  r = Run({"create", Path("people.tmb").string(), Path("people.json").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("people.tmb"), std::string::npos) << r.err;

  for (const char* command : {"dump", "describe", "check"}) {
    r = Run({command, Path("missing.tmb").string()});
    EXPECT_EQ(r.code, 1) << command;
    EXPECT_NE(r.err.find("missing.tmb"), std::string::npos) << command << ": " << r.err;
  }
  // Not a data file at all: check lists it as a problem.
  WriteText(Path("junk.tmb"), std::string(4096, 'j'));
  r = Run({"check", Path("junk.tmb").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE((r.out + r.err).find("junk.tmb: "), std::string::npos) << r.out << r.err;

  r = Run({"load", Path("people.tmb").string(), Path("missing.csv").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("missing.csv: cannot open"), std::string::npos) << r.err;
}

TEST_F(ToolTest, NamesAreTheLibrarysAndUsersDoNotLockTheToolOut) {
  // Relative names from inside a directory whose users file asks clients
  // for a logon; ".tmb" is added as the library adds it.
  ASSERT_EQ(Run({"adduser", dir_.string(), "anna", "secret"}).code, 0);
  WriteText(Path("people.json"), kPeopleSchema);
  WriteText(Path("people.csv"), kPeopleCsv);
  Result r = Run({"create", "people", "people.json"}, "", dir_.string());
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(Path("people.tmb")));
  r = Run({"load", "people", "people.csv"}, "", dir_.string());
  ASSERT_EQ(r.code, 0) << r.err;
  r = Run({"dump", "people.tmb"}, "", dir_.string());
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, kPeopleById);
  EXPECT_EQ(Run({"check", "people"}, "", dir_.string()).code, 0);
}

// A process that has a data file open keeps its log index in its own
// memory, so it must have the file to itself: another process is turned
// away until it closes the file, never let in beside it.
TEST_F(ToolTest, AFileAnotherProcessHasOpenIsRefusedUntilItIsClosed) {
  CreatePeople("people.tmb");
  WriteText(Path("people.csv"), kPeopleCsv);
  ASSERT_EQ(Run({"load", Path("people.tmb").string(), Path("people.csv").string()}).code, 0);
  TMBEnvironment* env = QDK_AllocEnv();
  ASSERT_NE(env, nullptr);
  QDSetEnvMode(env, TMBIO_ENV_DATA_DIR, reinterpret_cast<intptr_t>(dir_.c_str()));
  int32_t error = 0;
  TMBFile* file = QDK_OpenExt(env, "people", nullptr, 0, 0, &error);
  ASSERT_NE(file, nullptr) << error;

  Result r = Dump("people.tmb");
  EXPECT_NE(r.code, 0) << r.out;
  EXPECT_NE(r.err.find("busy"), std::string::npos) << r.err;

  QDK_close(file);
  QDK_DeAllocEnv(env);
  r = Dump("people.tmb");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, kPeopleById);
}

TEST_F(ToolTest, VariablePartTravelsAsHex) {
  WriteText(Path("v.json"),
            R"({"record_length": 4, "variable_length": 3,
                "fields": [{"name": "id", "type": "int", "offset": 0, "length": 4}],
                "keys": [{"name": "k", "segments": [{"field": "id"}]}]})");
  ASSERT_EQ(Run({"create", Path("v.tmb").string(), Path("v.json").string()}).code, 0);
  WriteText(Path("v.csv"), "@variable,id\n,1\n00ff10,2\n00,3\n");
  Result r = Run({"load", Path("v.tmb").string(), Path("v.csv").string()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Dump("v.tmb").out, "id,@variable\n1,\n2,00ff10\n3,00\n");
  WriteText(Path("v.csv"), "id,@variable\n4,00010203\n");
  r = Run({"load", Path("v.tmb").string(), Path("v.csv").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("v.csv: line 2: @variable: 4 bytes, the variable part holds 3"),
            std::string::npos)
      << r.err;
}

TEST_F(ToolTest, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> calls = {{},
                                                       {"frobnicate"},
                                                       {"create", "a.tmb"},
                                                       {"load", "a.tmb"},
                                                       {"dump"},
                                                       {"dump", "a.tmb", "--limit", "many"},
                                                       {"dump", "a.tmb", "--key"},
                                                       {"dump", "a.tmb", "--sort"},
                                                       {"adduser", "dir", "name"},
                                                       {"describe", "a", "b"}};
  for (const auto& args : calls) {
    const Result r = Run(args);
    EXPECT_EQ(r.code, 2) << (args.empty() ? "(none)" : args[0]);
    EXPECT_NE(r.err.find("usage: tmbadmin"), std::string::npos);
  }
  EXPECT_EQ(Run({"help"}).code, 0);
}

TEST_F(ToolTest, DemoCatalogLoadsAndDumpsBackToItsRecords) {
  Result r = Run({"demo", Path("csv").string()});
  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* table : {"customers", "products", "orders"}) {
    const std::string file = Path(std::string(table) + ".tmb").string();
    const std::string csv = Path("csv").string() + "/" + table + ".csv";
    r = Run({"create", file, std::string(TMB_DEMO_DIR) + "/" + table + ".json"});
    ASSERT_EQ(r.code, 0) << r.err;
    r = Run({"load", file, csv});
    ASSERT_EQ(r.code, 0) << r.err;
    // Every value survives the trip through the record layout.
    r = Run({"dump", file});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, ReadText(csv)) << table;
    r = Run({"check", file});
    EXPECT_EQ(r.code, 0) << table << ": " << r.out << r.err;
  }
  // Orders of one customer, newest first.
  r = Run({"dump", Path("orders.tmb").string(), "--key", "by_customer"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::istringstream lines(r.out);
  std::string line;
  std::getline(lines, line);
  std::string last_customer, last_date;
  int rows = 0;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] < '0' || line[0] > '9') continue;  // a note's second line
    std::vector<std::string> f;
    std::stringstream cells(line);
    for (std::string cell; f.size() < 5 && std::getline(cells, cell, ',');) f.push_back(cell);
    ASSERT_EQ(f.size(), 5u) << line;
    const std::string customer = std::string(10 - f[1].size(), '0') + f[1];
    ASSERT_GE(customer, last_customer) << line;
    if (customer == last_customer) {
      EXPECT_LE(f[4], last_date) << line;
    }
    last_customer = customer;
    last_date = f[4];
    ++rows;
  }
  EXPECT_EQ(rows, 3000);
}

TEST_F(ToolTest, AddUserWritesOneLinePerUser) {
  Result r = Run({"adduser", dir_.string(), "anna", "secret", "role=admin"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Run({"adduser", dir_.string(), "bob", "-"}, "from stdin\n");
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string first = ReadText(Path("tmbusers"));
  // Replacing anna keeps bob's line and anna's place.
  r = Run({"adduser", dir_.string(), "anna", "other"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string second = ReadText(Path("tmbusers"));

  auto lines_of = [](const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  };
  const auto a = lines_of(first), b = lines_of(second);
  ASSERT_EQ(a.size(), 2u) << first;
  ASSERT_EQ(b.size(), 2u) << second;
  EXPECT_EQ(a[0].rfind("anna:", 0), 0u);
  EXPECT_EQ(a[0].substr(a[0].size() - 11), ":role=admin");
  EXPECT_EQ(a[1].rfind("bob:", 0), 0u);
  EXPECT_EQ(b[0].rfind("anna:", 0), 0u);
  EXPECT_NE(b[0], a[0]);
  EXPECT_EQ(b[1], a[1]);
  EXPECT_EQ(std::count(b[1].begin(), b[1].end(), ':'), 4) << b[1];
  struct stat st {};
  ASSERT_EQ(stat(Path("tmbusers").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Logons ignore the case of names: ANNA is anna.
  r = Run({"adduser", dir_.string(), "ANNA", "third", "a:b"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto c = lines_of(ReadText(Path("tmbusers")));
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0].rfind("ANNA:", 0), 0u);
  EXPECT_EQ(c[0].substr(c[0].size() - 4), ":a:b");
  EXPECT_EQ(c[1], a[1]);
  const std::string third = ReadText(Path("tmbusers"));

  // The library accepts the lines: a logon in this directory works with the
  // new password only.
  TMBEnvironment* env = QDK_AllocEnv();
  ASSERT_NE(env, nullptr);
  QDSetEnvMode(env, 8, reinterpret_cast<intptr_t>(dir_.c_str()));
  auto logon = [&](const char* user, const char* password, std::string* attributes) {
    int32_t value = 2, blob_length = 0, result = 0;
    const uint8_t* blob = nullptr;
    char message[256] = {};
    const int32_t status = QDLogon(env, user, password, "ws", "en", &value, "test", &blob,
                                   &blob_length, &result, message);
    if (attributes != nullptr && blob != nullptr) {
      attributes->assign(reinterpret_cast<const char*>(blob), static_cast<size_t>(blob_length));
    }
    return status;
  };
  std::string attributes;
  EXPECT_EQ(logon("anna", "third", &attributes), 0);
  EXPECT_EQ(attributes, "a:b");
  EXPECT_EQ(logon("bob", "from stdin", nullptr), 0);
  EXPECT_EQ(logon("anna", "other", nullptr), -9);
  EXPECT_EQ(logon("bob", "from stdin\n", nullptr), -9);
  QDK_DeAllocEnv(env);

  r = Run({"adduser", dir_.string(), "bad:name", "x"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(ReadText(Path("tmbusers")), third);
  r = Run({"adduser", Path("nowhere").string(), "x", "y"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("not a directory"), std::string::npos);
}

}  // namespace
