// One ODBC statement over an SQLite connection: prepare, parameters,
// execution, a forward-only cursor with bound columns and SQLGetData, and
// results the driver makes itself (catalog functions). Contract:
//
// - Session is what the statements of one connection share: the SQLite
//   connection, the catalog's declared tables (for column sizes and the
//   catalog functions) and the commit mode. With autocommit off, the first
//   statement after a commit or rollback opens a transaction (BEGIN), which
//   lasts until EndTransaction.
// - Every method reports failures as diagnostic records on the statement
//   and returns an ODBC return code. Out of sequence calls (fetching with no
//   cursor, executing with nothing prepared) are 24000 or HY010.
// - Execute reads bound parameters at that moment, runs the statement to
//   its first row, and leaves a cursor open when the statement has result
//   columns. A statement that returns no columns reports its changed rows
//   through RowCount.
// - A column without a declared type (an expression) takes its SQL type
//   from its value in the first row.
// - GetData reads a column of the current row, in pieces for character and
//   binary targets (01004 until the last, then SQL_NO_DATA).
// - Only one statement per text: text after the first is 42000.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "client/odbc/diagnostics.h"
#include "client/odbc/result_set.h"
#include "client/sql/database.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tmb::odbc {

struct Session {
  sqlite3* db = nullptr;
  const std::vector<sql::Table>* tables = nullptr;
  std::string catalog;
  bool autocommit = true;
  // A statement found the server gone (08S01): the connection is dead.
  bool lost = false;

  // Opens a transaction when autocommit is off and none is open.
  bool BeginIfNeeded(Diagnostics* diag);
  // Commits (commit true) or rolls back an open transaction; none open is
  // success.
  bool EndTransaction(bool commit, Diagnostics* diag);
  // Whether a transaction is open.
  bool InTransaction() const;
};

class Statement {
 public:
  explicit Statement(Session* session);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Diagnostics& diag() { return diag_; }

  SQLRETURN Prepare(const std::string& text);
  SQLRETURN Execute();
  SQLRETURN ExecDirect(const std::string& text);
  SQLRETURN NumParams(SQLSMALLINT* count);
  SQLRETURN BindParameter(SQLUSMALLINT number, SQLSMALLINT io_type, SQLSMALLINT c_type,
                          SQLSMALLINT sql_type, SQLULEN size, SQLSMALLINT digits,
                          SQLPOINTER value, SQLLEN buffer_length, SQLLEN* length_or_indicator);
  void ResetParams() { params_.clear(); }

  SQLRETURN NumResultCols(SQLSMALLINT* count);
  // The description of a result column, 1-based; null (with 07009) out of range.
  const ColumnInfo* Column(SQLUSMALLINT number);
  SQLRETURN BindCol(SQLUSMALLINT number, SQLSMALLINT c_type, SQLPOINTER target,
                    SQLLEN buffer_length, SQLLEN* indicator);
  void Unbind() { bound_.clear(); }
  SQLRETURN Fetch();
  SQLRETURN GetData(SQLUSMALLINT number, SQLSMALLINT c_type, SQLPOINTER target,
                    SQLLEN buffer_length, SQLLEN* indicator);
  SQLRETURN RowCount(SQLLEN* count);
  // Closes the cursor, keeping the prepared statement.
  void CloseCursor();
  bool HasCursor() const { return cursor_; }
  bool Prepared() const { return stmt_ != nullptr; }
  // Makes `rows` the statement's result, as the catalog functions do.
  void SetRows(Rows rows);
  // Drops the prepared statement and any result: before its connection closes.
  void Free() { Finalize(); }
  // Interrupts a statement that is running (from another thread).
  void Cancel();

  // Where fetches report rows fetched and their status (statement
  // attributes); either may be null.
  SQLULEN* rows_fetched = nullptr;
  SQLUSMALLINT* row_status = nullptr;

 private:
  struct Param {
    SQLSMALLINT c_type;
    SQLSMALLINT sql_type;
    SQLPOINTER value;
    SQLLEN buffer_length;
    SQLLEN* indicator;
  };
  struct Bound {
    SQLSMALLINT c_type;
    SQLPOINTER target;
    SQLLEN buffer_length;
    SQLLEN* indicator;
  };

  SQLRETURN SqliteError(int code, bool preparing);
  void Finalize();
  void DescribeSqliteColumns();
  Value CurrentValue(size_t column) const;
  SQLRETURN Report(const ConvertResult& r, bool* warned);

  Session* session_;
  Diagnostics diag_;
  sqlite3_stmt* stmt_ = nullptr;
  bool executed_ = false;     // stmt_ ran since it was last reset
  bool cursor_ = false;       // a result is open for fetching
  bool row_pending_ = false;  // the first row is stepped but not yet fetched
  bool on_row_ = false;       // a fetched row is current
  bool exhausted_ = false;   // stmt_ stepped past its last row
  bool from_rows_ = false;    // the result is rows_, not stmt_
  Rows rows_;
  size_t next_row_ = 0;
  size_t current_row_ = 0;
  SQLLEN row_count_ = -1;
  std::vector<ColumnInfo> columns_;
  std::map<SQLUSMALLINT, Param> params_;
  std::map<SQLUSMALLINT, Bound> bound_;
  // How far SQLGetData got into each column of the current row.
  std::vector<size_t> offsets_;
  std::atomic<bool> running_{false};
};

}  // namespace tmb::odbc
