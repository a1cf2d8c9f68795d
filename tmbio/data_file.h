// A data file on disk: its SQLite layout, creating it, reading its
// definition, and the connections the engine works through.
//
// Layout of NAME.tmb: `meta` (format, description, kind, lengths),
// `fields`, `keys`, `segments` (the definition), `dictionary` (entry ->
// blob) and `records` (pos INTEGER PRIMARY KEY AUTOINCREMENT, data BLOB,
// k1 .. kN BLOB). kN holds key N's image, NULL when a sparse segment leaves
// the record out; index records_kN orders it (UNIQUE for a key refusing
// duplicates; SQLite appends the rowid, which orders duplicates by
// position). AUTOINCREMENT keeps positions from being reused.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "admin.h"
#include "group_commit.h"
#include "locks.h"

namespace tmbio {

// The SQLite file layer every data file is opened through. While this
// process has a data file open it holds it alone: other processes wait for
// it (SQLITE_BUSY) and the file's log index lives in this process's memory
// instead of a shared-memory file, so a read takes no file lock, where the
// default layer takes and drops a lock on the shared-memory file for every
// read (a third of the cost of a read by key).
inline constexpr const char* kDataFileVfs = "unix-excl";

// The library status for an SQLite result code.
int32_t StatusOf(int rc);

// Creates the tables of a new data file for a validated definition in an
// empty database.
int32_t CreateTables(sqlite3* db, const FileDefinition& def, std::string* error);
// Reads the stored definition; TMBIO_CORRUPT when it is missing or invalid.
int32_t LoadDefinition(sqlite3* db, FileDefinition* def, std::string* error);

// Binds a key image. An empty image is bound as an empty blob, never as
// NULL: NULL would match nothing, the empty blob sorts below every image.
inline void BindImage(sqlite3_stmt* s, int index, const std::string& image) {
  if (image.empty()) {
    sqlite3_bind_zeroblob(s, index, 0);
  } else {
    sqlite3_bind_blob(s, index, image.data(), static_cast<int>(image.size()), SQLITE_STATIC);
  }
}

// Facts about one data file shared by all of this process's connections to
// it.
struct SharedFile {
  FileId id;
  int32_t handles = 0;     // open files; guarded by the registry's lock
  bool exclusive = false;  // one of them is exclusive; guarded likewise

  // The right to write, handed from connection to connection of this
  // process in the order they asked for it. SQLite's own busy wait polls
  // with sleeps; between threads of one process a hand-over is both faster
  // and fair. Other processes still meet SQLite's wait.
  // Each waiter is woken alone when the right is handed to it: with many
  // writers, waking them all at each hand-over costs more than the writes.
  struct WriteWaiter {
    explicit WriteWaiter(const void* o) : owner(o) {}
    const void* owner;
    bool granted = false;
    std::condition_variable cv;
  };
  std::mutex write_mu;
  const void* writer = nullptr;  // guarded by write_mu
  std::list<WriteWaiter> queue;  // guarded by write_mu

  // Writes committed alone are run here in batches, one commit and one sync
  // of the log for as many as came meanwhile.
  GroupCommit group;

  // A transaction over several files passed its commit point but its part
  // here failed to commit: the file takes no write until the part is
  // applied from the commit record, since a write could take the record
  // numbers the part holds.
  std::atomic<bool> part_missing{false};
};

// Takes the write right of `shared` for `owner`, waiting up to `wait_ms`.
// False when the wait ran out.
bool AcquireWrite(SharedFile* shared, const void* owner, int32_t wait_ms);
void ReleaseWrite(SharedFile* shared, const void* owner);

// Registers an open file on `shared`: TMBIO_DENIED when an exclusive open
// meets any other open of the same file.
int32_t AddHandle(SharedFile* shared, bool exclusive);
void RemoveHandle(SharedFile* shared, bool exclusive);

// The read statement an open file steps within one call; the connection
// stops every one before it writes, so that writes start from the newest
// snapshot and commit at once.
struct Cursor {
  sqlite3_stmt* stmt = nullptr;  // live while set
  void Stop() {
    if (stmt != nullptr) sqlite3_reset(stmt);
    stmt = nullptr;
  }
};

// Resets a statement when the scope ends, ending its read transaction.
class StatementUse {
 public:
  explicit StatementUse(sqlite3_stmt* s) : s_(s) {}
  ~StatementUse() {
    if (s_ != nullptr) sqlite3_reset(s_);
  }
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;

 private:
  sqlite3_stmt* s_;
};

class Connection;

// A write to run on a connection: the caller's own inside its environment's
// transaction, or whichever connection leads the batch of a write committed
// alone. It runs in a transaction with the write right held; a failure it
// returns undoes what it did (the connection sees to that).
class WriteBody {
 public:
  template <typename F>
  explicit WriteBody(F& f)
      : fn_(&f), call_([](void* fn, Connection& c) { return (*static_cast<F*>(fn))(c); }) {}
  int32_t operator()(Connection& c) const { return call_(fn_, c); }

 private:
  void* fn_;
  int32_t (*call_)(void*, Connection&);
};

// One SQLite connection to a data file, shared by an environment's open
// files of that data file (so that the environment's own handles never wait
// for each other inside its transaction). Used by one thread at a time, but
// for the batches of writes committed alone it may lead, which run other
// connections' writes on it while their threads wait.
class Connection final : private GroupCommit::Leader {
 public:
  // Opens an existing data file and reads its definition.
  static int32_t Open(const std::string& path, bool read_only, int32_t lock_wait_ms,
                      std::unique_ptr<Connection>* out);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* db() const { return db_; }
  const FileId& id() const { return shared_->id; }
  SharedFile& shared() const { return *shared_; }
  bool read_only() const { return read_only_; }
  const std::string& path() const { return path_; }
  const FileDefinition& definition() const { return def_; }
  void SetLockWait(int32_t ms) {
    lock_wait_ms_ = ms;
    sqlite3_busy_timeout(db_, ms);
  }

  // A prepared statement of this connection, kept for reuse. Null with
  // *status set when it cannot be prepared.
  sqlite3_stmt* Statement(const std::string& sql, int32_t* status);
  // Runs SQL without results.
  int32_t Exec(const char* sql);

  int64_t changes() const { return sqlite3_total_changes64(db_); }

  void AddCursor(Cursor* c);
  void RemoveCursor(Cursor* c);
  void StopCursors();

  // Runs a write. In an environment transaction (`env_tx`) on this
  // connection, beginning the file's part of the transaction first (waiting
  // up to the lock wait for the write right: TMBIO_BUSY after it); a failed
  // write is undone and the transaction goes on. Otherwise the write is
  // committed alone, in a batch of the file's group commit, and this
  // returns once it is on disk. Every cursor of this connection is stopped
  // first, so that its next read sees the write. Returns the body's status,
  // or the failure that kept it from being written or made durable.
  int32_t Write(bool env_tx, const WriteBody& body);
  // The environment transaction holds this file (a write happened in it).
  bool in_tx() const { return in_tx_; }
  int32_t Commit();
  int32_t Rollback();
  // A statement's mark inside the environment transaction (an SQLite
  // savepoint), so that a statement of several writes is all or nothing.
  // Mark sets it where the file's part is now, replacing an earlier one
  // (nothing to do for a file the transaction holds no part of yet).
  // UndoToMark takes the part back to the mark, or rolls back whole a part
  // begun after it; either way the transaction goes on. ReleaseMark keeps
  // the writes. Commit and Rollback drop the mark with the part.
  int32_t Mark();
  int32_t UndoToMark();
  int32_t ReleaseMark();
  // The changes of the environment transaction so far (an SQLite session
  // changeset), for the commit record of a transaction over several files.
  int32_t Changeset(std::string* out);
  // Commits this file's part of a transaction over several files, with
  // `txid` in its applied ids; `trim` also drops the ids no record names.
  // Past the commit point: on failure the file is marked part_missing.
  int32_t CommitPart(int64_t txid, bool trim);
  // Applies a part marked missing from its commit record, waiting up to
  // `wait_ms` for the file; 0 when none is missing any more.
  int32_t ApplyMissingPart(int32_t wait_ms);

 private:
  Connection() = default;
  // Takes the file's write right, applying a missing part first.
  int32_t TakeWriteRight(int32_t wait_ms);
  // Begins the file's part of the environment transaction.
  int32_t BeginTxWrite();
  // GroupCommit::Leader: a batch of writes committed alone.
  int32_t BeginBatch(GroupCommit::Clock::time_point deadline) override;
  int32_t CommitBatch(const std::vector<GroupCommit::Write*>& batch) override;
  int32_t SyncBatch() override { return SyncLog(); }
  void EndOfWrite();  // gives the write right back
  // Rolls back the transaction still open after a failure, if SQLite has
  // not already; cannot fail for want of memory of ours.
  void AbandonTransaction();
  void EndSession();
  // Commits of explicit transactions sync themselves (synchronous=FULL);
  // writes committed alone leave the sync to their group (NORMAL).
  int32_t SetFullSync(bool full);
  // Syncs the file's write-ahead log through this connection's own handle
  // of it.
  int32_t SyncLog();

  sqlite3* db_ = nullptr;
  std::string path_;
  FileDefinition def_;
  bool read_only_ = false;
  bool in_tx_ = false;
  bool marked_ = false;   // the part holds a statement's savepoint
  bool writing_ = false;  // holds the write right of shared_
  bool full_sync_ = false;
  // Records the changes while the environment transaction holds the file:
  // they are the file's part of a commit record.
  sqlite3_session* session_ = nullptr;
  int32_t lock_wait_ms_ = 0;
  std::shared_ptr<SharedFile> shared_;
  std::unordered_map<std::string, sqlite3_stmt*> statements_;
  std::vector<Cursor*> cursors_;
};

}  // namespace tmbio
