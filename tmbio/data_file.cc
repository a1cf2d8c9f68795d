#include "data_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <type_traits>

#include "commit_log.h"
#include "definition.h"
#include "guard.h"
#include "query.h"
#include "real_path.h"
#include "tmbio/tmbio.h"

namespace tmbio {

namespace {

constexpr const char* kFormat = "tmbio 1";

// The checkpoint policy. A commit that leaves this many pages in the
// write-ahead log copies them back into the file (a passive checkpoint: it
// waits for no reader, and reaches every page that no read snapshot still
// needs). Since no statement stays stepped between calls, the log is then
// reused from its start and stays about this large under steady writes.
constexpr int kCheckpointPages = 1000;
// A log that a large transaction grew past this is cut back to it when it
// is next reused.
constexpr int64_t kLogSizeLimit = 8 * 1024 * 1024;

// While SQLite keeps memory statistics, every allocation and free it makes
// takes one mutex of the whole process; a read by key makes several, so
// sessions reading at once met there and slept in the kernel for it. The
// library reads no statistics. Set as the library loads: SQLite takes the
// setting only before its first use in the process, and refuses it (no
// harm done) when a host program used SQLite first.
[[maybe_unused]] const int kNoMemoryStatistics = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);

// One line in the log of the process for a file that could not be opened
// because the process has no descriptor left: an operator's problem, not
// the file's. At most one a second, so that a client retrying cannot flood
// the log.
int32_t OutOfDescriptors(const std::string& path, int err) {
  static std::atomic<int64_t> last_second{-1};
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  int64_t last = last_second.load(std::memory_order_relaxed);
  if (now != last && last_second.compare_exchange_strong(last, now)) {
    fprintf(stderr, "tmbio: cannot open %s: out of file descriptors (%s)\n", path.c_str(),
            strerror(err));
  }
  return TMBIO_LIMIT;
}

bool IsDescriptorShortage(int err) { return err == EMFILE || err == ENFILE; }

struct Registry {
  std::mutex mu;
  std::map<FileId, std::weak_ptr<SharedFile>> files;  // guarded by mu
};

Registry& TheRegistry() {
  static auto* r = new Registry;
  return *r;
}

std::shared_ptr<SharedFile> Share(const FileId& id) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.files.find(id);
  if (it != r.files.end()) {
    if (auto live = it->second.lock()) return live;
  }
  // Entries of files no longer open are swept as they are met again, and
  // here now and then, so the map stays as large as the set of open files.
  if (r.files.size() > 64) {
    for (auto i = r.files.begin(); i != r.files.end();) {
      i = i->second.expired() ? r.files.erase(i) : std::next(i);
    }
  }
  auto made = std::make_shared<SharedFile>();
  made->id = id;
  r.files[id] = made;
  return made;
}

int32_t Fail(std::string* error, int32_t status, const std::string& what) {
  if (error != nullptr) *error = what;
  return status;
}

std::string Column(sqlite3_stmt* s, int i) {
  const unsigned char* t = sqlite3_column_text(s, i);
  return t == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(t));
}

}  // namespace

int32_t StatusOf(int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return 0;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return TMBIO_BUSY;
    case SQLITE_CONSTRAINT:
      return TMBIO_DUPLICATE;
    case SQLITE_NOMEM:
      return TMBIO_NO_MEMORY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return TMBIO_DENIED;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_SCHEMA:
    case SQLITE_ERROR:  // a missing table or column: not one of our files
      return TMBIO_CORRUPT;
    case SQLITE_TOOBIG:
      return TMBIO_BAD_LENGTH;
    default:
      return TMBIO_IO_ERROR;
  }
}

int32_t CreateTables(sqlite3* db, const FileDefinition& def, std::string* error) {
  std::string sql =
      "CREATE TABLE meta(name TEXT PRIMARY KEY, value) WITHOUT ROWID;"
      "CREATE TABLE fields(ordinal INTEGER PRIMARY KEY, name TEXT NOT NULL, type TEXT NOT NULL,"
      " start INTEGER NOT NULL, length INTEGER NOT NULL, nullable INTEGER NOT NULL,"
      " description TEXT NOT NULL);"
      "CREATE TABLE keys(number INTEGER PRIMARY KEY, name TEXT NOT NULL,"
      " is_unique INTEGER NOT NULL);"
      "CREATE TABLE segments(key INTEGER NOT NULL, number INTEGER NOT NULL, field TEXT NOT NULL,"
      " start INTEGER NOT NULL, length INTEGER NOT NULL, flags INTEGER NOT NULL,"
      " attribute INTEGER NOT NULL, PRIMARY KEY(key, number)) WITHOUT ROWID;"
      "CREATE TABLE dictionary(entry INTEGER PRIMARY KEY, data BLOB NOT NULL);"
      "CREATE TABLE records(pos INTEGER PRIMARY KEY AUTOINCREMENT, data BLOB NOT NULL";
  for (size_t k = 1; k <= def.keys.size(); ++k) sql += ", k" + std::to_string(k) + " BLOB";
  sql += ");";
  for (size_t k = 1; k <= def.keys.size(); ++k) {
    std::string n = std::to_string(k);
    sql += std::string("CREATE ") + (def.keys[k - 1].unique ? "UNIQUE " : "") + "INDEX records_k" +
           n + " ON records(k" + n + ");";
  }
  char* message = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string what = message != nullptr ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return Fail(error, StatusOf(rc) == TMBIO_CORRUPT ? TMBIO_IO_ERROR : StatusOf(rc), what);
  }
  // The definition goes in through bound values: names and descriptions
  // are the schema author's text.
  auto insert = [&](const char* sql, auto bind) -> int {
    Query q(db, sql);
    if (!q.ok()) return q.prepared();
    bind(q.get());
    const int r = q.Step();
    return r == SQLITE_DONE ? SQLITE_OK : r;
  };
  auto meta = [&](const char* name, auto value) {
    return insert("INSERT INTO meta(name, value) VALUES(?1, ?2)", [&](sqlite3_stmt* s) {
      sqlite3_bind_text(s, 1, name, -1, SQLITE_STATIC);
      if constexpr (std::is_same_v<decltype(value), int32_t>) {
        sqlite3_bind_int(s, 2, value);
      } else {
        sqlite3_bind_text(s, 2, value.c_str(), -1, SQLITE_TRANSIENT);
      }
    });
  };
  rc = meta("format", std::string(kFormat));
  if (rc == SQLITE_OK) rc = meta("description", def.description);
  if (rc == SQLITE_OK) rc = meta("kind", def.kind);
  if (rc == SQLITE_OK) rc = meta("record_length", def.record_length);
  if (rc == SQLITE_OK) rc = meta("variable_length", def.variable_length);
  for (size_t i = 0; rc == SQLITE_OK && i < def.fields.size(); ++i) {
    const FieldDef& f = def.fields[i];
    rc = insert("INSERT INTO fields VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)", [&](sqlite3_stmt* s) {
      sqlite3_bind_int64(s, 1, static_cast<int64_t>(i + 1));
      sqlite3_bind_text(s, 2, f.name.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(s, 3, f.type.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int(s, 4, f.offset);
      sqlite3_bind_int(s, 5, f.length);
      sqlite3_bind_int(s, 6, f.nullable ? 1 : 0);
      sqlite3_bind_text(s, 7, f.description.c_str(), -1, SQLITE_STATIC);
    });
  }
  for (size_t k = 0; rc == SQLITE_OK && k < def.keys.size(); ++k) {
    const KeyDef& key = def.keys[k];
    rc = insert("INSERT INTO keys VALUES(?1, ?2, ?3)", [&](sqlite3_stmt* s) {
      sqlite3_bind_int64(s, 1, static_cast<int64_t>(k + 1));
      sqlite3_bind_text(s, 2, key.name.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int(s, 3, key.unique ? 1 : 0);
    });
    for (size_t i = 0; rc == SQLITE_OK && i < key.segments.size(); ++i) {
      const SegmentDef& seg = key.segments[i];
      rc = insert("INSERT INTO segments VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)", [&](sqlite3_stmt* s) {
        sqlite3_bind_int64(s, 1, static_cast<int64_t>(k + 1));
        sqlite3_bind_int64(s, 2, static_cast<int64_t>(i + 1));
        sqlite3_bind_text(s, 3, seg.field.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int(s, 4, seg.offset);
        sqlite3_bind_int(s, 5, seg.length);
        sqlite3_bind_int(s, 6, seg.flags);
        sqlite3_bind_int(s, 7, seg.attribute);
      });
    }
  }
  if (rc != SQLITE_OK) return Fail(error, TMBIO_IO_ERROR, sqlite3_errmsg(db));
  return 0;
}

int32_t LoadDefinition(sqlite3* db, FileDefinition* def, std::string* error) {
  FileDefinition d;
  int rc;
  {
    Query q(db, "SELECT name, value FROM meta");
    if (!q.ok()) {
      // Busy is a file another process has open (kDataFileVfs), not a
      // file of another kind.
      if (StatusOf(q.prepared()) == TMBIO_BUSY) {
        return Fail(error, TMBIO_BUSY, "busy: another process has it open");
      }
      return Fail(error, TMBIO_CORRUPT, "not a data file");
    }
    std::string format;
    int found = 0;
    sqlite3_stmt* s = q.get();
    while ((rc = q.Step()) == SQLITE_ROW) {
      std::string name = Column(s, 0);
      if (name == "format") {
        format = Column(s, 1);
      } else if (name == "description") {
        d.description = Column(s, 1);
      } else if (name == "kind") {
        d.kind = sqlite3_column_int(s, 1);
        ++found;
      } else if (name == "record_length") {
        d.record_length = sqlite3_column_int(s, 1);
        ++found;
      } else if (name == "variable_length") {
        d.variable_length = sqlite3_column_int(s, 1);
        ++found;
      }
    }
    if (rc != SQLITE_DONE) return Fail(error, StatusOf(rc), sqlite3_errstr(rc));
    if (format != kFormat || found != 3) return Fail(error, TMBIO_CORRUPT, "not a data file");
  }
  {
    Query q(db,
            "SELECT name, type, start, length, nullable, description FROM fields ORDER BY ordinal");
    if (!q.ok()) return Fail(error, TMBIO_CORRUPT, "no field table");
    sqlite3_stmt* s = q.get();
    while ((rc = q.Step()) == SQLITE_ROW && d.fields.size() <= kMaxFields) {
      FieldDef f;
      f.name = Column(s, 0);
      f.type = Column(s, 1);
      f.offset = sqlite3_column_int(s, 2);
      f.length = sqlite3_column_int(s, 3);
      f.nullable = sqlite3_column_int(s, 4) != 0;
      f.description = Column(s, 5);
      d.fields.push_back(std::move(f));
    }
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) return Fail(error, StatusOf(rc), sqlite3_errstr(rc));
  }
  {
    Query q(db, "SELECT number, name, is_unique FROM keys ORDER BY number");
    if (!q.ok()) return Fail(error, TMBIO_CORRUPT, "no key table");
    sqlite3_stmt* s = q.get();
    while ((rc = q.Step()) == SQLITE_ROW && d.keys.size() <= TMBIO_MAX_KEYS) {
      if (sqlite3_column_int64(s, 0) != static_cast<int64_t>(d.keys.size() + 1)) {
        return Fail(error, TMBIO_CORRUPT, "keys are not numbered 1 to N");
      }
      KeyDef k;
      k.name = Column(s, 1);
      k.unique = sqlite3_column_int(s, 2) != 0;
      d.keys.push_back(std::move(k));
    }
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) return Fail(error, StatusOf(rc), sqlite3_errstr(rc));
  }
  {
    Query q(db,
            "SELECT key, number, field, start, length, flags, attribute FROM segments"
            " ORDER BY key, number");
    if (!q.ok()) return Fail(error, TMBIO_CORRUPT, "no segment table");
    sqlite3_stmt* s = q.get();
    while ((rc = q.Step()) == SQLITE_ROW) {
      int64_t key = sqlite3_column_int64(s, 0);
      if (key < 1 || key > static_cast<int64_t>(d.keys.size())) {
        return Fail(error, TMBIO_CORRUPT, "a segment of no key");
      }
      auto& segs = d.keys[static_cast<size_t>(key - 1)].segments;
      if (sqlite3_column_int64(s, 1) != static_cast<int64_t>(segs.size() + 1) ||
          segs.size() >= TMBIO_MAX_SEGMENTS) {
        return Fail(error, TMBIO_CORRUPT, "segments are not numbered 1 to N");
      }
      SegmentDef seg;
      seg.field = Column(s, 2);
      seg.offset = sqlite3_column_int(s, 3);
      seg.length = sqlite3_column_int(s, 4);
      int64_t flags = sqlite3_column_int64(s, 5);
      int64_t attribute = sqlite3_column_int64(s, 6);
      if (flags < 0 || flags > 0xffff || attribute < 0 || attribute > 0xff) {
        return Fail(error, TMBIO_CORRUPT, "bad segment flags");
      }
      seg.flags = static_cast<uint16_t>(flags);
      seg.attribute = static_cast<uint8_t>(attribute);
      segs.push_back(std::move(seg));
    }
    if (rc != SQLITE_DONE) return Fail(error, StatusOf(rc), sqlite3_errstr(rc));
  }

  // The stored flags must be what the definition says, or the indexes
  // would have been built for another order.
  FileDefinition checked = d;
  std::string why;
  if (!ValidateDefinition(&checked, &why)) return Fail(error, TMBIO_CORRUPT, "definition: " + why);
  for (size_t k = 0; k < d.keys.size(); ++k) {
    for (size_t i = 0; i < d.keys[k].segments.size(); ++i) {
      const SegmentDef& a = d.keys[k].segments[i];
      const SegmentDef& b = checked.keys[k].segments[i];
      if (a.flags != b.flags || a.offset != b.offset || a.length != b.length) {
        return Fail(error, TMBIO_CORRUPT,
                    "definition: key " + d.keys[k].name + " does not match its fields");
      }
    }
  }
  *def = std::move(checked);
  return 0;
}

int32_t AddHandle(SharedFile* shared, bool exclusive) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (shared->exclusive || (exclusive && shared->handles > 0)) return TMBIO_DENIED;
  ++shared->handles;
  shared->exclusive = exclusive;
  return 0;
}

void RemoveHandle(SharedFile* shared, bool exclusive) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  --shared->handles;
  if (exclusive) shared->exclusive = false;
}

bool AcquireWrite(SharedFile* shared, const void* owner, int32_t wait_ms) {
  std::unique_lock<std::mutex> lock(shared->write_mu);
  if (shared->writer == nullptr && shared->queue.empty()) {
    shared->writer = owner;
    return true;
  }
  auto me = shared->queue.emplace(shared->queue.end(), owner);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (!me->granted) {
    if (me->cv.wait_until(lock, deadline) == std::cv_status::timeout && !me->granted) {
      shared->queue.erase(me);
      return false;
    }
  }
  shared->queue.erase(me);
  return true;
}

void ReleaseWrite(SharedFile* shared, const void* owner) {
  std::lock_guard<std::mutex> lock(shared->write_mu);
  if (shared->writer != owner) return;
  shared->writer = nullptr;
  // Straight to the longest waiter, so that a writer who comes back at
  // once cannot starve the others.
  for (auto& waiter : shared->queue) {
    if (!waiter.granted) {
      waiter.granted = true;
      shared->writer = waiter.owner;
      waiter.cv.notify_one();
      break;
    }
  }
}

int32_t Connection::Open(const std::string& path, bool read_only, int32_t lock_wait_ms,
                         std::unique_ptr<Connection>* out) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (errno == EACCES) return TMBIO_DENIED;
    if (errno == ENOMEM) return TMBIO_NO_MEMORY;
    return TMBIO_NO_FILE;
  }
  if (!S_ISREG(st.st_mode)) return TMBIO_NO_FILE;
  std::unique_ptr<Connection> c(new Connection);
  c->path_ = path;
  // Each connection is used by one thread at a time, so SQLite's own
  // per-connection mutex is left out. No CREATE: a missing file stays
  // missing.
  int flags = (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
  errno = 0;
  int rc = sqlite3_open_v2(path.c_str(), &c->db_, flags, kDataFileVfs);
  if (rc != SQLITE_OK) {
    int err = c->db_ != nullptr && sqlite3_system_errno(c->db_) != 0 ? sqlite3_system_errno(c->db_)
                                                                     : errno;
    if (IsDescriptorShortage(err)) return OutOfDescriptors(path, err);
    if (err == EACCES) return TMBIO_DENIED;
    return rc == SQLITE_CANTOPEN ? TMBIO_NO_FILE : StatusOf(rc);
  }
  // The main file opened, but its log and shared-memory index open at the
  // first read, below: a failure there for want of a descriptor must not
  // pass for a file that is not a data file.
  const auto failed = [&c, &path](int32_t status) {
    const int err = sqlite3_system_errno(c->db_);
    return IsDescriptorShortage(err) ? OutOfDescriptors(path, err) : status;
  };
  sqlite3_extended_result_codes(c->db_, 1);
  c->lock_wait_ms_ = lock_wait_ms;
  sqlite3_busy_timeout(c->db_, lock_wait_ms);
  c->read_only_ = read_only || sqlite3_db_readonly(c->db_, "main") == 1;
  // NORMAL: a write committed alone is in the write-ahead log when its
  // commit returns, and on disk once its group's sync is done (EndWrite);
  // an explicit transaction switches to FULL first (BeginWrite).
  // No memory map: SQLite drops a connection's whole map of the file when
  // another connection has committed, and each unmap flushed the address
  // translations of every CPU; under many writers that cost more than the
  // copies of reads through the system's cache.
  rc = sqlite3_exec(c->db_,
                    ("PRAGMA synchronous=NORMAL; PRAGMA mmap_size=0; PRAGMA journal_size_limit=" +
                     std::to_string(kLogSizeLimit))
                        .c_str(),
                    nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return failed(StatusOf(rc) == TMBIO_BUSY ? TMBIO_BUSY : TMBIO_CORRUPT);
  sqlite3_wal_autocheckpoint(c->db_, kCheckpointPages);
  // Before the first read: the file then shows every transaction over
  // several files that committed before a crash, whole.
  c->shared_ = Share(FileId{st.st_dev, st.st_ino});
  int32_t status = RecoverFile(path, FileId{st.st_dev, st.st_ino}, lock_wait_ms, c->shared_.get());
  if (status != 0) return failed(status);
  status = LoadDefinition(c->db_, &c->def_, nullptr);
  if (status != 0) return failed(status);
  *out = std::move(c);
  return 0;
}

Connection::~Connection() {
  EndSession();
  for (auto& [sql, s] : statements_) sqlite3_finalize(s);
  // Closing rolls back a transaction still open (a disconnect).
  if (db_ != nullptr) sqlite3_close_v2(db_);
  if (writing_) ReleaseWrite(shared_.get(), this);
}

sqlite3_stmt* Connection::Statement(const std::string& sql, int32_t* status) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &s, nullptr);
  if (rc != SQLITE_OK) {
    *status = StatusOf(rc);
    return nullptr;
  }
  try {
    statements_.emplace(sql, s);
  } catch (...) {
    sqlite3_finalize(s);
    throw;
  }
  return s;
}

int32_t Connection::Exec(const char* sql) {
  return Guard([&]() -> int32_t {
    int32_t status = 0;
    sqlite3_stmt* s = Statement(sql, &status);
    if (s == nullptr) return status;
    StatementUse use(s);
    int rc = sqlite3_step(s);
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? 0 : StatusOf(rc);
  });
}

void Connection::AddCursor(Cursor* c) { cursors_.push_back(c); }

void Connection::RemoveCursor(Cursor* c) {
  c->Stop();
  cursors_.erase(std::remove(cursors_.begin(), cursors_.end(), c), cursors_.end());
}

void Connection::StopCursors() {
  for (Cursor* c : cursors_) c->Stop();
}

int32_t Connection::Write(bool env_tx, const WriteBody& body) {
  if (read_only_) return TMBIO_DENIED;
  StopCursors();
  if (env_tx) {
    const int32_t status = in_tx_ ? 0 : BeginTxWrite();
    // A statement that failed undid itself; the transaction goes on.
    return status < 0 ? status : body(*this);
  }
  const auto deadline = GroupCommit::Clock::now() + std::chrono::milliseconds(lock_wait_ms_);
  return shared_->group.Submit(&body, deadline, this);
}

int32_t Connection::TakeWriteRight(int32_t wait_ms) {
  for (;;) {
    if (!AcquireWrite(shared_.get(), this, wait_ms)) return TMBIO_BUSY;
    if (!shared_->part_missing.load()) return 0;
    // The recovery takes the right itself, in line with the others.
    ReleaseWrite(shared_.get(), this);
    const int32_t status = ApplyMissingPart(wait_ms);
    if (status != 0) return status;
  }
}

int32_t Connection::ApplyMissingPart(int32_t wait_ms) {
  if (!shared_->part_missing.exchange(false)) return 0;
  // At least a moment: with no wait at all the recovery leaves its work
  // for a later open and reports nothing.
  const int32_t status = Guard(
      [&] { return RecoverFile(path_, shared_->id, std::max(wait_ms, 1), shared_.get()); });
  if (status != 0) shared_->part_missing = true;
  return status;
}

int32_t Connection::BeginTxWrite() {
  const int32_t taken = TakeWriteRight(lock_wait_ms_);
  if (taken != 0) return taken;
  writing_ = true;
  int32_t status = SetFullSync(true);
  if (status == 0) status = Exec("BEGIN IMMEDIATE");
  if (status != 0) {
    EndOfWrite();
    return status;
  }
  int rc = sqlite3session_create(db_, "main", &session_);
  if (rc == SQLITE_OK) rc = sqlite3session_attach(session_, nullptr);
  if (rc != SQLITE_OK) {
    EndSession();
    AbandonTransaction();
    EndOfWrite();
    return StatusOf(rc) == 0 ? TMBIO_IO_ERROR : StatusOf(rc);
  }
  in_tx_ = true;
  return 0;
}

int32_t Connection::BeginBatch(GroupCommit::Clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - GroupCommit::Clock::now()).count();
  const int32_t taken = TakeWriteRight(static_cast<int32_t>(std::max<int64_t>(0, left)));
  if (taken != 0) return taken;
  writing_ = true;
  int32_t status = SetFullSync(false);
  if (status == 0) status = Exec("BEGIN IMMEDIATE");
  if (status != 0) EndOfWrite();
  return status;
}

int32_t Connection::CommitBatch(const std::vector<GroupCommit::Write*>& batch) {
  int32_t failure = 0;
  for (GroupCommit::Write* w : batch) {
    // Each write in a savepoint of its own: one that fails after changing
    // something takes back its own changes and nobody else's. So does one
    // that throws (memory ran out): it runs on the leader's thread, and
    // must take neither the leader nor the batch with it.
    int32_t status = Exec("SAVEPOINT one_write");
    if (status == 0) {
      status = Guard([&] { return (*static_cast<const WriteBody*>(w->work))(*this); });
      // A write whose changes cannot be taken back fails the batch.
      if (status < 0) failure = Exec("ROLLBACK TO one_write");
      if (failure == 0) failure = Exec("RELEASE one_write");
    }
    w->status = status;
    // Some failures (a full disk, an I/O error) make SQLite roll back the
    // whole transaction: the writes before went with it, and the rest
    // would run outside it. The batch fails whole; the group gives the
    // failure to each write that had not failed alone.
    if (failure == 0 && sqlite3_get_autocommit(db_) != 0) {
      failure = status < 0 ? status : TMBIO_IO_ERROR;
    }
    if (failure != 0) break;
  }
  if (failure == 0) failure = Exec("COMMIT");
  if (failure != 0) AbandonTransaction();
  EndOfWrite();
  return failure;
}

int32_t Connection::Mark() {
  if (!in_tx_) return 0;
  int32_t status = marked_ ? Exec("RELEASE tmbio_statement") : 0;
  marked_ = false;
  if (status == 0) status = Exec("SAVEPOINT tmbio_statement");
  marked_ = status == 0;
  return status;
}

int32_t Connection::UndoToMark() {
  if (!in_tx_) return 0;
  if (!marked_) return Rollback();
  // A read statement still stepping would keep SQLite from taking the
  // pages back.
  StopCursors();
  int32_t status = Exec("ROLLBACK TO tmbio_statement");
  if (status == 0) status = Exec("RELEASE tmbio_statement");
  marked_ = false;
  // A part that cannot go back to its mark must not commit half a
  // statement: it goes back whole.
  if (status != 0) Rollback();
  return status;
}

int32_t Connection::ReleaseMark() {
  if (!marked_) return 0;
  marked_ = false;
  return in_tx_ ? Exec("RELEASE tmbio_statement") : 0;
}

void Connection::EndSession() {
  if (session_ != nullptr) sqlite3session_delete(session_);
  session_ = nullptr;
}

int32_t Connection::Changeset(std::string* out) {
  if (session_ == nullptr) return TMBIO_TX_STATE;
  int n = 0;
  void* p = nullptr;
  int rc = sqlite3session_changeset(session_, &n, &p);
  if (rc != SQLITE_OK) return StatusOf(rc) == 0 ? TMBIO_IO_ERROR : StatusOf(rc);
  // Freed however the copy ends: it may run out of memory.
  std::unique_ptr<void, decltype(&sqlite3_free)> owned(p, &sqlite3_free);
  out->assign(static_cast<const char*>(p), static_cast<size_t>(n));
  return 0;
}

int32_t Connection::CommitPart(int64_t txid, bool trim) {
  if (!in_tx_) return 0;
  marked_ = false;
  StopCursors();
  EndSession();
  // Past the commit point nothing may throw: the transaction ends here
  // whatever happens, and a part that fails is applied from the record.
  int32_t status = Guard([&] {
    int32_t st = Exec("CREATE TABLE IF NOT EXISTS tmbio_applied(txid INTEGER PRIMARY KEY)");
    if (st == 0) {
      sqlite3_stmt* s = Statement("INSERT INTO tmbio_applied VALUES(?1)", &st);
      if (s != nullptr) {
        StatementUse use(s);
        sqlite3_bind_int64(s, 1, txid);
        if (sqlite3_step(s) != SQLITE_DONE) st = TMBIO_IO_ERROR;
      }
    }
    if (st == 0 && trim) {
      std::string real;
      if (RealPath(path_, &real)) st = TrimApplied(db_, real, shared_->id);
    }
    return st;
  });
  if (status == 0) status = Exec("COMMIT");
  if (status != 0) {
    AbandonTransaction();
    // Before the write right goes: no write may come between.
    shared_->part_missing = true;
  }
  in_tx_ = false;
  EndOfWrite();
  return status;
}

void Connection::EndOfWrite() {
  writing_ = false;
  ReleaseWrite(shared_.get(), this);
}

int32_t Connection::SetFullSync(bool full) {
  if (full == full_sync_) return 0;
  // Outside any transaction: SQLite refuses to change it inside one. Not a
  // kept statement: the setting is made when the pragma is prepared, and a
  // prepared one run again would change nothing.
  const int rc = sqlite3_exec(db_, full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL",
                              nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return StatusOf(rc) == 0 ? TMBIO_IO_ERROR : StatusOf(rc);
  full_sync_ = full;
  return 0;
}

int32_t Connection::SyncLog() {
  // The connection's own handle of the log: the log it has open is the one
  // its commit went to. SQLite replaces the log file only when the last
  // connection to the database closes, and this one is open.
  sqlite3_file* log = nullptr;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) != SQLITE_OK ||
      log == nullptr || log->pMethods == nullptr) {
    // No log open: a file set back to a rollback journal (by hand, with the
    // sqlite3 tool), whose commit under NORMAL already synced the database
    // file. Syncing it again is harmless and keeps the answer the same.
    log = nullptr;
    if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &log) != SQLITE_OK ||
        log == nullptr || log->pMethods == nullptr) {
      return TMBIO_IO_ERROR;
    }
  }
  return log->pMethods->xSync(log, SQLITE_SYNC_NORMAL) == SQLITE_OK ? 0 : TMBIO_IO_ERROR;
}

int32_t Connection::Commit() {
  if (!in_tx_) return 0;
  marked_ = false;
  StopCursors();
  EndSession();
  const int32_t status = Exec("COMMIT");
  if (status != 0) AbandonTransaction();
  in_tx_ = false;
  EndOfWrite();
  return status;
}

void Connection::AbandonTransaction() {
  // Straight through SQLite: this needs no statement of ours, so a
  // shortage of memory cannot keep the transaction open past the write
  // right. SQLite may have rolled it back itself already.
  if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

int32_t Connection::Rollback() {
  if (!in_tx_) return 0;
  marked_ = false;
  StopCursors();
  EndSession();
  // Straight through SQLite, as AbandonTransaction.
  const int rc = sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  in_tx_ = false;
  EndOfWrite();
  return rc == SQLITE_OK ? 0 : StatusOf(rc);
}

}  // namespace tmbio
