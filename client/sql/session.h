// What the SQL view holds for one database: the connection, its environment,
// the catalog's tables and the files open on them. Files are pooled per
// table: a cursor or a write takes a file of its own (so that two cursors on
// one table never move each other's position) and gives it back after, and
// each file remembers which key is current on it. Not thread-safe: one
// SQLite connection, used by one thread at a time, owns it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/sql/catalog.h"

namespace tmb::sql {

// Most files the view keeps open on one table at once.
constexpr size_t kMaxFilesPerTable = 32;

// UseKey's order that is no key's: the records' positions.
constexpr int kPositionOrder = -2;
// Acquire's order when the caller has none in mind.
constexpr int kAnyOrder = -3;

struct FileHandle {
  int32_t id = -1;
  int key = -1;      // index into the table's keys of the current key; -1 unknown
  bool raw = false;  // reads go in position order (the library's raw read mode)
};

class Session {
 public:
  Session() = default;
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Client& client() { return client_; }
  int32_t env() const { return env_; }
  void set_env(int32_t env) { env_ = env; }
  std::vector<TableLayout>& tables() { return tables_; }
  // Whether the client's access entry lets it write the catalog.
  bool writable() const { return writable_; }
  void set_writable(bool writable) { writable_ = writable; }

  // Loads the catalog; the files its loading opened become the first pooled.
  bool Load(std::string* error);
  // A file on table `t`, free for the caller until Release; one whose
  // reads already go in `order` (a key's index or kPositionOrder) when one
  // is free, so that the caller need not switch it.
  bool Acquire(size_t t, FileHandle* h, std::string* error, int order = kAnyOrder);
  void Release(size_t t, FileHandle h);
  // Makes key `key` (an index into the table's keys) current on `h`, or
  // with kPositionOrder has its reads go in position order.
  bool UseKey(size_t t, FileHandle* h, int key, std::string* error);
  // Reads the record at `position` of table `t` on `h` and makes it current:
  // the whole record, its fixed part padded with zero bytes to its length.
  // *found false when no record has that position.
  bool ReadAt(size_t t, const FileHandle& h, int32_t position, std::string* record, bool* found,
              std::string* error);
  // "TABLE: what went wrong" for a status of the data library.
  std::string Failure(size_t t, const std::string& what, int32_t status) const;

  // Transactions: the server's begins once for all tables of a statement
  // or BEGIN, and ends once.
  bool Begin(std::string* error);
  bool End(bool commit, std::string* error);

  // Statements: each INSERT, UPDATE and DELETE is all or nothing. On its
  // own a statement is its own transaction of the server, which its
  // failure rolls back; inside an open transaction (`in_explicit`, SQLite
  // outside autocommit) its first write marks the server's transaction,
  // and its failure takes the transaction back to that mark, so that the
  // application may go on or roll back.
  //
  // StatementBegins: a statement of the SQLite connection starts.
  void StatementBegins();
  // Before each write of the statement; false (and no write) when the
  // mark cannot be set.
  bool BeforeWrite(bool in_explicit, std::string* error);
  // After each write that succeeded.
  void Wrote() { ++statement_writes_; }
  // The statement failed: its writes are taken back (at most once).
  void StatementFailed();
  // The statement ended; `changes` is what SQLite counts for it, 0 for a
  // statement that failed and took back its own changes.
  void StatementEnds(int64_t changes);

 private:
  Client client_;
  int32_t env_ = 0;
  bool in_transaction_ = false;
  bool statement_marked_ = false;  // the server holds this statement's mark
  int64_t statement_writes_ = 0;
  bool writable_ = true;
  std::vector<TableLayout> tables_;
  std::vector<std::vector<FileHandle>> free_;
  std::vector<size_t> open_;  // files open per table, free or not
};

}  // namespace tmb::sql
