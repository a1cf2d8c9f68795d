// Reading one table's rows by a plan (plan.h): a full scan in blocks, a scan
// in key order (blocks forward, record by record backward), or a keyed read
// that seeks on the equal values and lower bound and stops at the first
// record past them. Rows read in blocks learn their position (the rowid)
// only when asked, by a read on a unique key of the table.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>

#include "client/sql/plan.h"
#include "client/sql/session.h"

struct sqlite3_value;

namespace tmb::sql {

class Cursor {
 public:
  Cursor(Session& s, size_t table) : s_(s), t_(table) {}
  ~Cursor();
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  // Starts the read of `plan` with SQLite's argv (the values of its
  // constraints, in argv order).
  bool Start(const Plan& plan, int argc, sqlite3_value** argv, std::string* error);
  bool Next(std::string* error);
  bool eof() const { return rows_.empty(); }
  // The current row's fixed part (and variable part, when read).
  std::span<const uint8_t> record() const;
  bool Position(int32_t* position, std::string* error);

 private:
  struct Row {
    std::string record;
    std::string key;
    int32_t position = 0;  // 0: not known (read in a block)
  };

  bool Fill(std::string* error);
  bool ReadKeyed(bool first, std::string* error);
  bool ReadBlock(bool first, std::string* error);
  bool ReadAtPosition(sqlite3_value* rowid, std::string* error);
  bool InRange(const std::string& key) const;
  const TableLayout& table() const { return s_.tables()[t_]; }

  Session& s_;
  size_t t_;
  FileHandle file_;
  FileHandle lookup_;  // for the positions of rows read in blocks
  Plan plan_;
  bool blocks_ = false;
  bool started_ = false;
  bool done_ = false;   // the read has nothing after the buffered rows
  std::string seek_;    // the seek key: equal values, then the lower bound
  std::string equal_;   // the equal values' bytes, the key's prefix
  std::string upper_;   // the upper bound's bytes on segment plan_.equal_count
  bool has_upper_ = false;
  std::deque<Row> rows_;
  std::string last_key_, last_record_;  // the last row of the last block
};

}  // namespace tmb::sql
