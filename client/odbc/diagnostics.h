// Diagnostic records of one ODBC handle, and the SQLSTATE of an SQLite
// failure. Contract:
//
// - A handle's records are cleared when the next function on it starts
//   (the entry points do that) and added as the function meets trouble;
//   SQLGetDiagRec and SQLGetDiagField read them back, 1-based.
// - StateForSqlite turns an SQLite result code (extended codes accepted)
//   and its message into the SQLSTATE an application tests for. The SQL
//   view's refusals by their code (client/sql/result_codes.h): 23000 for a
//   constraint (a duplicate key, NULL into a NOT NULL column), 22001 too
//   long, 22003 out of range, 22007 no date, 22018 no number, 40001 a lock
//   or transaction of another client (for a read, its status ending the
//   message). By SQLite's words: 42S02 for an unknown table, 42S22 for an
//   unknown column, 42000 for other statement errors found while preparing,
//   08S01 for a lost connection (an I/O error, or the client library's
//   words for a connection that is gone); HY001 for memory, HY008 for a
//   cancelled statement, HY000 otherwise.
// - CopyText puts a text into an application's character buffer the ODBC
//   way: at most capacity - 1 bytes and a NUL, the full length through
//   *length; true when it had to cut (the caller then reports 01004).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tmb::odbc {

struct DiagRecord {
  std::string state;  // five characters
  int32_t native = 0;
  std::string message;
};

class Diagnostics {
 public:
  void Clear() { records_.clear(); }
  // Adds a record; the message gets the driver's prefix.
  void Add(const std::string& state, const std::string& message, int32_t native = 0);
  const std::vector<DiagRecord>& records() const { return records_; }
  bool empty() const { return records_.empty(); }

 private:
  std::vector<DiagRecord> records_;
};

// `preparing`: the failure came while compiling the statement, so a plain
// SQLite error is the statement's own (syntax, names) rather than the data's.
const char* StateForSqlite(int code, const std::string& message, bool preparing);

// The class origin of a state, as SQL_DIAG_CLASS_ORIGIN reports it.
const char* ClassOrigin(const std::string& state);

bool CopyText(const std::string& text, char* buffer, long capacity, long* length);

}  // namespace tmb::odbc
