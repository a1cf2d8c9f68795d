// An SQL view of one catalog of a server: an SQLite connection in which
// every table of the catalog is a virtual table whose rows are read and
// written over the wire. Joins, aggregates and any WHERE come from SQLite's
// own engine; keyed reads, key-order scans, block reads, writes and
// transactions go to the server. tmbcli sql and the ODBC driver both work
// through this one unit.
//
//   tmb::sql::Target t;  t.port = 20222;  t.catalog = "demo";
//   std::string error;
//   auto db = tmb::sql::Database::Open(t, &error);
//   if (!db) ...                      // error says why
//   sqlite3_exec(db->handle(), "SELECT ...", ...);
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/session_calls.h"
#include "client/tls_client.h"

struct sqlite3;

namespace tmb::sql {

// Where the catalog is and who asks for it.
struct Target {
  std::string host = "127.0.0.1";
  uint16_t port = 20222;
  std::string catalog = "default";  // a catalog name, as the server's catalog lookup takes it
  // FIRST or FIRST/SECOND: the identity names the server's access entries
  // are looked up by, with the catalog as the first resource; empty: none
  // sent. Without read access Open fails; without write access the tables
  // refuse writes.
  std::string identity;
  std::string user;                 // logon, when not empty
  std::string password;
  ClientTls tls;
  CompressionChoiceOption compression = CompressionChoiceOption::kRunLength;
  // Milliseconds a request waits for a record or file another client holds
  // (its lock, or its open transaction) before it fails, 0 to
  // kMaxLockTimeoutMs; -1 keeps the server's default for new environments.
  int32_t lock_timeout_ms = -1;
};

// The longest lock wait the server takes for an environment: ten minutes.
constexpr int32_t kMaxLockTimeoutMs = 600000;

// SQL type of a column, from the field's kind.
enum class ColumnType { kText, kInteger, kDate, kBinary };

struct Column {
  std::string name;
  ColumnType type = ColumnType::kText;
  std::string type_name;  // as the server's column records name it: CHAR, INTEGER, ...
  int32_t offset = 0;     // bytes into the record
  int32_t length = 0;
  bool nullable = false;
};

struct KeySegment {
  int32_t column = -1;  // index into Table::columns; -1 when no column covers it exactly
  int32_t offset = 0;
  int32_t length = 0;
  bool descending = false;
  int32_t flags = 0;    // the segment's flag word as the server gives it
};

struct Key {
  int32_t number = 0;
  std::string name;
  bool unique = false;
  std::vector<KeySegment> segments;
};

struct Table {
  std::string name;  // the SQL table name
  std::string file;  // the data file it reads
  std::vector<Column> columns;
  std::vector<Key> keys;  // keys[0] is the primary key when unique
  int32_t record_length = 0;  // the fixed part, in bytes
  int64_t record_count = 0;   // as the catalog counted them when the table was declared
};

class Database {
 public:
  // Connects, looks the catalog up, and declares every table in it. Null
  // with *error when the server cannot be reached or refuses.
  static std::unique_ptr<Database> Open(const Target& target, std::string* error);
  // Finalizes the statements still open on the connection, closes it, then
  // the files and the environment on the server.
  virtual ~Database() = default;

  // The SQLite connection; owned by this object. Not for two threads at
  // once: the tables read through one connection to the server.
  virtual sqlite3* handle() = 0;
  // The catalog's tables as declared, in name order.
  virtual const std::vector<Table>& tables() const = 0;
  // Requests sent to the server so far, by opcode (index 0..255): lets
  // tests and benchmarks see what an SQL statement cost on the wire.
  virtual uint64_t requests(uint8_t opcode) const = 0;
  virtual uint64_t requests() const = 0;
};

}  // namespace tmb::sql
