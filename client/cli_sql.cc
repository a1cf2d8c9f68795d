// tmbcli's SQL command: statements on a catalog through the SQL view
// (client/sql), given on the command line or typed at a prompt, with the
// rows as an aligned table or as CSV.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "client/cli.h"
#include "client/line_input.h"
#include "client/sql/database.h"
#include "client/sql/result_codes.h"
#include "tmbio/record_text.h"

namespace tmb::cli {
namespace {

// Rows an aligned table measures before it prints them; a longer result is
// printed in parts of this many, each measured on its own.
constexpr size_t kAlignedRows = 1000;

struct Output {
  bool csv = false;
  std::ostream* out = nullptr;
};

const char* TypeName(sql::ColumnType t) {
  switch (t) {
    case sql::ColumnType::kInteger: return "INTEGER";
    case sql::ColumnType::kBinary: return "BLOB";
    case sql::ColumnType::kDate: return "TEXT";  // 'YYYY-MM-DD'
    default: return "TEXT";
  }
}

void PrintAligned(std::ostream& out, const std::vector<std::string>& header,
                  const std::vector<std::vector<std::string>>& rows,
                  const std::vector<bool>& numeric, bool with_header) {
  std::vector<size_t> width(header.size(), 0);
  for (size_t i = 0; i < header.size(); ++i) width[i] = header[i].size();
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  auto line = [&](const std::vector<std::string>& cells, bool align_numbers) {
    std::string text;
    for (size_t i = 0; i < cells.size(); ++i) {
      const std::string pad(width[i] - cells[i].size(), ' ');
      if (i != 0) text += "  ";
      text += align_numbers && numeric[i] ? pad + cells[i] : cells[i] + pad;
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << "\n";
  };
  if (with_header) {
    line(header, true);
    std::vector<std::string> rule;
    for (size_t w : width) rule.emplace_back(w, '-');
    line(rule, false);
  }
  for (const auto& row : rows) line(row, true);
}

// Runs one prepared statement and prints its rows. False with *error.
bool Step(sqlite3* db, sqlite3_stmt* stmt, const Output& o, std::string* error) {
  const int n = sqlite3_column_count(stmt);
  std::vector<std::string> header;
  for (int i = 0; i < n; ++i) header.emplace_back(sqlite3_column_name(stmt, i));
  std::vector<std::vector<std::string>> rows;
  std::vector<bool> numeric(static_cast<size_t>(n), true);
  size_t count = 0;
  bool header_printed = false;
  if (o.csv && n > 0) {
    std::string text;
    tmbio::text::AppendCsvRecord(header, &text);
    *o.out << text;
  }
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int i = 0; i < n; ++i) {
      const int type = sqlite3_column_type(stmt, i);
      if (type == SQLITE_BLOB) {
        const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, i));
        row.push_back(tmbio::text::HexEncode({p, static_cast<size_t>(sqlite3_column_bytes(stmt, i))}));
      } else if (type == SQLITE_NULL) {
        row.emplace_back(o.csv ? "" : "NULL");
      } else {
        row.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)));
      }
      if (type != SQLITE_INTEGER && type != SQLITE_FLOAT && type != SQLITE_NULL) {
        numeric[static_cast<size_t>(i)] = false;
      }
    }
    ++count;
    if (o.csv) {
      std::string text;
      tmbio::text::AppendCsvRecord(row, &text);
      *o.out << text;
      continue;
    }
    rows.push_back(std::move(row));
    if (rows.size() == kAlignedRows) {
      PrintAligned(*o.out, header, rows, numeric, !header_printed);
      header_printed = true;
      rows.clear();
    }
  }
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  if (!o.csv && n > 0) {
    PrintAligned(*o.out, header, rows, numeric, !header_printed);
    *o.out << "(" << count << (count == 1 ? " row" : " rows") << ")\n";
  }
  return true;
}

// Runs every statement of `text` in turn; stops at the first error.
bool RunText(sqlite3* db, const std::string& text, const Output& o, std::string* error) {
  const char* at = text.c_str();
  while (*at != '\0') {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    if (const int rc = sqlite3_prepare_v2(db, at, -1, &stmt, &tail); rc != SQLITE_OK) {
      *error = rc == SQLITE_AUTH ? sql::kSchemaChangeRefused : sqlite3_errmsg(db);
      return false;
    }
    if (stmt != nullptr) {
      const bool ok = Step(db, stmt, o, error);
      sqlite3_finalize(stmt);
      if (!ok) return false;
    }
    at = tail;
  }
  return true;
}

void PrintSchema(std::ostream& out, const sql::Table& t) {
  // As declared to SQLite, with the field behind each column as a comment.
  out << "CREATE TABLE " << t.name << " (\n";
  for (size_t i = 0; i < t.columns.size(); ++i) {
    const sql::Column& c = t.columns[i];
    out << "  " << c.name << " " << TypeName(c.type) << (i + 1 < t.columns.size() ? "," : "")
        << "  -- " << c.type_name << "(" << c.length << ") at byte " << c.offset
        << (c.nullable ? ", nullable" : "") << "\n";
  }
  out << ");\n";
  for (const sql::Key& k : t.keys) {
    out << "-- key " << k.number << " " << k.name << (k.unique ? " (unique)" : "") << ":";
    for (const sql::KeySegment& g : k.segments) {
      out << " " << (g.column >= 0 ? t.columns[static_cast<size_t>(g.column)].name
                                  : "bytes " + std::to_string(g.offset) + "+" +
                                        std::to_string(g.length))
          << (g.descending ? " DESC" : "");
    }
    out << "\n";
  }
}

// A dot command of the prompt; false for .quit.
bool DotCommand(Context& ctx, sql::Database& db, const std::string& line, Output* o) {
  std::vector<std::string> words;
  std::string error;
  size_t at = 0;
  while (at < line.size()) {
    const size_t start = line.find_first_not_of(" \t", at);
    if (start == std::string::npos) break;
    const size_t end = line.find_first_of(" \t", start);
    words.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    at = end == std::string::npos ? line.size() : end;
  }
  const std::string& w = words[0];
  if (w == ".quit" || w == ".exit") return false;
  if (w == ".tables") {
    for (const sql::Table& t : db.tables()) ctx.Out() << t.name << "\n";
  } else if (w == ".schema") {
    bool found = false;
    for (const sql::Table& t : db.tables()) {
      if (words.size() < 2 || sqlite3_stricmp(t.name.c_str(), words[1].c_str()) == 0) {
        PrintSchema(ctx.Out(), t);
        found = true;
      }
    }
    if (!found && words.size() > 1) ctx.Err() << "tmbcli: no table " << words[1] << "\n";
  } else if (w == ".csv") {
    o->csv = words.size() < 2 || words[1] != "off";
  } else if (w == ".help") {
    ctx.Out() << ".tables          the catalog's tables\n"
                 ".schema [TABLE]  their columns and keys\n"
                 ".csv [on|off]    rows as CSV, or as an aligned table\n"
                 ".quit            leave (so does end of input)\n"
                 "Statements end with ';'.\n";
  } else {
    ctx.Err() << "tmbcli: unknown command " << w << " (.help lists them)\n";
  }
  return true;
}

// The prompt: statements up to ';' and dot commands, until .quit or the
// end of input. On a terminal lines are edited and statements kept in
// ~/.tmbcli_history when $HOME is set (client/line_input.h).
int Prompt(Context& ctx, sql::Database& db, Output o) {
  const bool tty = isatty(STDIN_FILENO) != 0;
  const char* home = std::getenv("HOME");
  LineInput in(tty, home != nullptr ? std::string(home) + "/.tmbcli_history" : std::string());
  std::string statement, line;
  int code = kExitOk;
  for (;;) {
    if (!in.Read(statement.empty() ? "sql> " : "...> ", &line)) break;
    if (statement.empty()) {
      const size_t first = line.find_first_not_of(" \t\r");
      if (first == std::string::npos) continue;
      if (line[first] == '.') {
        in.Remember(line.substr(first));
        if (!DotCommand(ctx, db, line.substr(first), &o)) break;
        continue;
      }
    }
    statement += line + "\n";
    if (!sqlite3_complete(statement.c_str())) continue;
    in.Remember(statement);
    std::string error;
    if (!RunText(db.handle(), statement, o, &error)) {
      ctx.Err() << "tmbcli: " << error << "\n";
      code = kExitNo;
    } else {
      code = kExitOk;
    }
    statement.clear();
  }
  if (tty) ctx.Out() << "\n";
  if (statement.find_first_not_of(" \t\r\n") != std::string::npos) {
    ctx.Err() << "tmbcli: the input ended inside a statement (no ';'); it was not run\n";
    code = kExitNo;
  }
  return code;
}

int Sql(Context& ctx) {
  sql::Target target;
  target.host = ctx.host;
  target.port = ctx.port;
  target.tls = ctx.tls;
  target.compression = ctx.compression;
  std::string error, value;
  bool present = false;
  struct Text {
    const char* option;
    std::string* into;
  };
  for (const Text& t : {Text{"--catalog", &target.catalog}, Text{"--identity", &target.identity},
                        Text{"--user", &target.user}, Text{"--password", &target.password}}) {
    if (!TakeOption(&ctx.args, t.option, &value, &present, &error)) {
      ctx.Err() << "tmbcli: " << error << "\n";
      return kExitUsage;
    }
    if (present) *t.into = value;
  }
  int64_t lock_timeout = target.lock_timeout_ms;
  if (!TakeNumber(ctx, "--lock-timeout", 0, sql::kMaxLockTimeoutMs, &lock_timeout)) {
    return kExitUsage;
  }
  target.lock_timeout_ms = static_cast<int32_t>(lock_timeout);
  Output o;
  o.csv = TakeFlag(&ctx.args, "--csv");
  o.out = &ctx.Out();
  if (ctx.args.size() > 1) {
    ctx.Err() << "tmbcli: usage: tmbcli sql [--catalog NAME] [--csv] [\"STATEMENTS\"] (one "
                 "argument: quote the statements)\n";
    return kExitUsage;
  }
  auto db = sql::Database::Open(target, &error);
  if (db == nullptr) {
    ctx.Err() << "tmbcli: " << error << "\n";
    if (error.find("connect") != std::string::npos) {
      ctx.Err() << "tmbcli: is tmbsqlsvr running there? (--host and --port choose the server)\n";
    }
    return kExitFailure;
  }
  if (ctx.args.empty()) return Prompt(ctx, *db, o);
  if (!RunText(db->handle(), ctx.args[0], o, &error)) {
    ctx.Err() << "tmbcli: " << error << "\n";
    return kExitNo;
  }
  return kExitOk;
}

const Command kCommands[] = {
    {"sql", "[--catalog NAME] [--csv] [--user U --password P] [--identity FIRST[/SECOND]] "
            "[--lock-timeout MS] [\"STATEMENTS\"]",
     "SQL on the catalog's tables (default: the default catalog): the statements given, or a "
     "prompt (.tables, .schema TABLE, .quit) when none are; rows aligned, or CSV with --csv",
     Sql},
};

}  // namespace

std::span<const Command> SqlCommands() { return kCommands; }

}  // namespace tmb::cli
