// tmbadmin: creates, loads, dumps, describes and checks data files, and
// keeps the users file of a data directory.
#include <charconv>
#include <iostream>
#include <string>
#include <vector>

#include "tmbio/admin/commands.h"
#include "tmbio/admin/data_file.h"

namespace {

constexpr int kUsage = 2;

const char kUsageText[] =
    "usage: tmbadmin COMMAND ARGUMENTS\n"
    "  create FILE.tmb SCHEMA.json            make an empty data file from a schema\n"
    "  load FILE.tmb DATA.csv                 insert the CSV rows (header row names the fields);\n"
    "                                         all or nothing\n"
    "  dump FILE.tmb [--key K] [--limit N]    the records as CSV in the order of key K, a number\n"
    "                                         or a name (default 1), at most N of them\n"
    "  describe FILE.tmb                      fields, keys, segments and record count\n"
    "  check FILE.tmb                         check the file; exit 1 listing the problems\n"
    "  adduser DATADIR NAME PASSWORD [ATTRS]  add or replace a user in DATADIR/tmbusers\n"
    "                                         (PASSWORD - reads it from standard input)\n"
    "  demo DIR                               write the demo catalog's CSV files into DIR\n"
    "FILE.tmb: \".tmb\" is added when the name lacks it, as the library does.\n";

int Usage(const std::string& problem) {
  std::cerr << "tmbadmin: " << problem << "\n" << kUsageText;
  return kUsage;
}

bool ParseCount(const std::string& text, int64_t* value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && *value >= 0;
}

int Dump(const std::vector<std::string>& args) {
  std::string file;
  std::string key = "1";
  int64_t limit = -1;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string value;
    bool is_key = false;
    if (a == "--key" || a == "--limit") {
      if (i + 1 >= args.size()) return Usage(a + " needs a value");
      is_key = a == "--key";
      value = args[++i];
    } else if (a.rfind("--key=", 0) == 0) {
      is_key = true;
      value = a.substr(6);
    } else if (a.rfind("--limit=", 0) == 0) {
      value = a.substr(8);
    } else if (a.rfind("--", 0) == 0) {
      return Usage("dump: unknown option " + a);
    } else {
      if (!file.empty()) return Usage("dump: one file only");
      file = a;
      continue;
    }
    if (is_key) {
      if (value.empty()) return Usage("dump: --key needs a key number or name");
      key = value;
    } else if (!ParseCount(value, &limit)) {
      return Usage("dump: --limit needs a number of records, not '" + value + "'");
    }
  }
  if (file.empty()) return Usage("dump: which file?");
  return tmbadmin::DumpCommand(tmbadmin::DataFileName(file), key, limit, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  if (argc < 2) return Usage("no command");
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  auto needs = [&](size_t low, size_t high) { return args.size() >= low && args.size() <= high; };
  std::ostream& out = std::cout;
  std::ostream& err = std::cerr;
  if (command == "help" || command == "--help" || command == "-h") {
    out << kUsageText;
    return 0;
  }
  if (command == "create") {
    if (!needs(2, 2)) return Usage("create FILE.tmb SCHEMA.json");
    return tmbadmin::CreateCommand(tmbadmin::DataFileName(args[0]), args[1], out, err);
  }
  if (command == "load") {
    if (!needs(2, 2)) return Usage("load FILE.tmb DATA.csv");
    return tmbadmin::LoadCommand(tmbadmin::DataFileName(args[0]), args[1], out, err);
  }
  if (command == "dump") return Dump(args);
  if (command == "describe") {
    if (!needs(1, 1)) return Usage("describe FILE.tmb");
    return tmbadmin::DescribeCommand(tmbadmin::DataFileName(args[0]), out, err);
  }
  if (command == "check") {
    if (!needs(1, 1)) return Usage("check FILE.tmb");
    return tmbadmin::CheckCommand(tmbadmin::DataFileName(args[0]), out, err);
  }
  if (command == "adduser") {
    if (!needs(3, 4)) return Usage("adduser DATADIR NAME PASSWORD [ATTRIBUTES]");
    return tmbadmin::AddUserCommand(args[0], args[1], args[2], args.size() == 4 ? args[3] : "", out,
                                    err);
  }
  if (command == "demo") {
    if (!needs(1, 1)) return Usage("demo DIR");
    return tmbadmin::DemoCommand(args[0], out, err);
  }
  return Usage("unknown command '" + command + "'");
}
