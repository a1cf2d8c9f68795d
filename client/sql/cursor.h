// Reading one table's rows by a plan (plan.h): a full scan in blocks (in
// position order), a scan in key order (blocks forward, record by record
// backward), or a keyed read that seeks on the equal values and lower bound
// and stops at the first record past them. Every row comes with its
// position (the rowid).
//
// While other cursors and clients change the table, a scan goes on from
// the last row it returned, as the library keeps its place in the read
// order (the row's key image and position, even when the row itself has
// gone or moved): a row that exists unchanged for the whole scan is
// returned exactly once, and a row changed meanwhile at most once (a row
// whose key moved it past the scan is known by its position and skipped).
// Each request reads what is committed at that moment: there is no
// snapshot of the whole statement.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>

#include "client/sql/plan.h"
#include "client/sql/position_set.h"
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
    int32_t position = 0;
  };

  bool ReadKeyed(bool first, std::string* error);
  bool ReadBlock(bool first, std::string* error);
  bool ReadAtPosition(sqlite3_value* rowid, std::string* error);
  bool InRange(const std::string& key) const;
  // Queues a row read in the plan's order: false when it lies past the
  // range (the read is done). A row already returned is left out.
  bool Take(int32_t position, std::string record, const std::string& key);
  const TableLayout& table() const { return s_.tables()[t_]; }

  Session& s_;
  size_t t_;
  FileHandle file_;
  Plan plan_;
  bool blocks_ = false;
  bool started_ = false;
  bool done_ = false;   // the read has nothing after the buffered rows
  std::string seek_;    // the seek key: equal values, then the lower bound
  std::string equal_;   // the equal values' bytes, the key's prefix
  std::string upper_;   // the upper bound's bytes on segment plan_.equal_count
  bool has_upper_ = false;
  std::deque<Row> rows_;
  // Rows returned so far, for reads in key order, where a row can move.
  PositionSet seen_;
  bool dedupe_ = false;
};

}  // namespace tmb::sql
