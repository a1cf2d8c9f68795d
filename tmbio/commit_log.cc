#include "commit_log.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "data_file.h"
#include "query.h"
#include "real_path.h"
#include "tmbio/tmbio.h"

namespace tmbio {
namespace {

constexpr const char* kLogName = ".tmbio-commits";
// A log is written by several processes at once, each for a moment.
constexpr int kLogWaitMs = 60000;

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string LogPath(const std::string& dir) { return dir + "/" + kLogName; }

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// An open log, kept for the life of the process and used by one thread at
// a time.
// Closes its handle however the scope is left (an exception included).
struct Closer {
  sqlite3* db = nullptr;
  Closer() = default;
  Closer(const Closer&) = delete;
  Closer& operator=(const Closer&) = delete;
  ~Closer() { sqlite3_close_v2(db); }
};

struct Log {
  std::mutex mu;
  Closer handle;  // open for as long as the process runs
  sqlite3* db() const { return handle.db; }
};

struct Logs {
  std::mutex mu;
  std::map<std::string, std::unique_ptr<Log>> open;  // guarded by mu
};

Logs& TheLogs() {
  static auto* l = new Logs;
  return *l;
}

// The log at `path`; created when `create`, else null when it does not
// exist. A log is opened once: its statements are few and its connection
// cheap to keep.
Log* GetLog(const std::string& path, bool create) {
  Logs& logs = TheLogs();
  std::lock_guard<std::mutex> lock(logs.mu);
  auto it = logs.open.find(path);
  if (it != logs.open.end()) return it->second.get();
  if (!create && !Exists(path)) return nullptr;
  auto made = std::make_unique<Log>();
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &made->handle.db, flags, nullptr) != SQLITE_OK) return nullptr;
  sqlite3* const db = made->db();
  sqlite3_busy_timeout(db, kLogWaitMs);
  // FULL: a record written is on disk before any file commits its part,
  // and a record deleted is on disk before a file drops the id it names.
  if (Exec(db,
           "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
           "CREATE TABLE IF NOT EXISTS txs(txid INTEGER PRIMARY KEY, primary_log TEXT NOT NULL,"
           " others TEXT NOT NULL);"
           "CREATE TABLE IF NOT EXISTS parts(txid INTEGER NOT NULL, path TEXT NOT NULL,"
           " dev INTEGER NOT NULL, ino INTEGER NOT NULL, changeset BLOB NOT NULL,"
           " PRIMARY KEY(txid, path));"
           "CREATE INDEX IF NOT EXISTS parts_path ON parts(path);"
           "CREATE INDEX IF NOT EXISTS parts_ino ON parts(ino);") != SQLITE_OK) {
    return nullptr;
  }
  Log* result = made.get();
  logs.open.emplace(path, std::move(made));
  return result;
}

// The parts of one transaction by directory, the primary (first) first.
std::map<std::string, std::vector<const CommitPart*>> ByDirectory(
    const std::vector<CommitPart>& parts) {
  std::map<std::string, std::vector<const CommitPart*>> dirs;
  for (const CommitPart& p : parts) dirs[DirectoryOf(p.path)].push_back(&p);
  return dirs;
}

int32_t WriteOne(const std::string& log_path, int64_t txid, const std::string& primary_log,
                 const std::string& others, const std::vector<const CommitPart*>& parts) {
  Log* log = GetLog(log_path, true);
  if (log == nullptr) return TMBIO_IO_ERROR;
  std::lock_guard<std::mutex> lock(log->mu);
  int rc = Exec(log->db(), "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return StatusOf(rc) == TMBIO_BUSY ? TMBIO_BUSY : TMBIO_IO_ERROR;
  {
    Query t(log->db(), "INSERT INTO txs VALUES(?1, ?2, ?3)");
    rc = t.Int(1, txid).Text(2, primary_log).Text(3, others).Step();
  }
  for (size_t i = 0; rc == SQLITE_DONE && i < parts.size(); ++i) {
    Query q(log->db(), "INSERT INTO parts VALUES(?1, ?2, ?3, ?4, ?5)");
    rc = q.Int(1, txid)
             .Text(2, parts[i]->path)
             .Int(3, static_cast<int64_t>(parts[i]->id.dev))
             .Int(4, static_cast<int64_t>(parts[i]->id.ino))
             .Blob(5, parts[i]->changeset)
             .Step();
  }
  if (rc != SQLITE_DONE || Exec(log->db(), "COMMIT") != SQLITE_OK) {
    Exec(log->db(), "ROLLBACK");
    return TMBIO_IO_ERROR;
  }
  return 0;
}

void DropOne(const std::string& log_path, int64_t txid) {
  Log* log = GetLog(log_path, false);
  if (log == nullptr) return;
  std::lock_guard<std::mutex> lock(log->mu);
  if (Exec(log->db(), "BEGIN IMMEDIATE") != SQLITE_OK) return;
  Query(log->db(), "DELETE FROM parts WHERE txid = ?1").Int(1, txid).Step();
  Query(log->db(), "DELETE FROM txs WHERE txid = ?1").Int(1, txid).Step();
  if (Exec(log->db(), "COMMIT") != SQLITE_OK) Exec(log->db(), "ROLLBACK");
}

bool LogHolds(const std::string& log_path, int64_t txid) {
  Log* log = GetLog(log_path, false);
  if (log == nullptr) return false;
  std::lock_guard<std::mutex> lock(log->mu);
  Query q(log->db(), "SELECT 1 FROM txs WHERE txid = ?1");
  return q.Int(1, txid).Step() == SQLITE_ROW;
}

struct Pending {
  int64_t txid;
  std::string changeset;
  bool has_tx;
  std::string primary_log;
};

// The records of the log at `log_path` that name the file.
std::vector<Pending> PendingFor(Log* log, const std::string& path, const FileId& id, bool* ok) {
  std::vector<Pending> out;
  std::lock_guard<std::mutex> lock(log->mu);
  Query q(log->db(),
          "SELECT p.txid, p.changeset, t.txid IS NOT NULL, t.primary_log FROM parts p"
          " LEFT JOIN txs t USING(txid) WHERE p.path = ?1 OR (p.dev = ?2 AND p.ino = ?3)");
  q.Text(1, path).Int(2, static_cast<int64_t>(id.dev)).Int(3, static_cast<int64_t>(id.ino));
  int rc;
  while ((rc = q.Step()) == SQLITE_ROW) {
    const unsigned char* primary = sqlite3_column_text(q.get(), 3);
    out.push_back({sqlite3_column_int64(q.get(), 0), q.Column(1), sqlite3_column_int(q.get(), 2) != 0,
                   primary == nullptr ? std::string() : reinterpret_cast<const char*>(primary)});
  }
  *ok = rc == SQLITE_DONE;
  return out;
}

bool HasApplied(sqlite3* db, int64_t txid) {
  Query q(db, "SELECT 1 FROM tmbio_applied WHERE txid = ?1");
  return q.ok() && q.Int(1, txid).Step() == SQLITE_ROW;
}

int AbortOnConflict(void*, int, sqlite3_changeset_iter*) { return SQLITE_CHANGESET_ABORT; }

// Deletes the file's parts of the records it has (or that were never
// committed), and the records left without parts, keeping a primary record
// while another log still holds the transaction: that log decides by it.
void ForgetParts(Log* log, const std::string& path, const FileId& id,
                 const std::vector<int64_t>& done) {
  std::lock_guard<std::mutex> lock(log->mu);
  if (Exec(log->db(), "BEGIN IMMEDIATE") != SQLITE_OK) return;
  for (int64_t txid : done) {
    Query(log->db(), "DELETE FROM parts WHERE txid = ?1 AND (path = ?2 OR (dev = ?3 AND ino = ?4))")
        .Int(1, txid)
        .Text(2, path)
        .Int(3, static_cast<int64_t>(id.dev))
        .Int(4, static_cast<int64_t>(id.ino))
        .Step();
  }
  std::vector<std::pair<int64_t, std::string>> empty;
  {
    Query q(log->db(),
            "SELECT txid, others FROM txs WHERE NOT EXISTS"
            " (SELECT 1 FROM parts WHERE parts.txid = txs.txid)");
    while (q.Step() == SQLITE_ROW) {
      const unsigned char* others = sqlite3_column_text(q.get(), 1);
      empty.emplace_back(sqlite3_column_int64(q.get(), 0),
                         others == nullptr ? std::string() : reinterpret_cast<const char*>(others));
    }
  }
  if (Exec(log->db(), "COMMIT") != SQLITE_OK) Exec(log->db(), "ROLLBACK");
  for (auto& [txid, others] : empty) {
    bool held_elsewhere = false;
    for (size_t start = 0; start < others.size();) {
      size_t end = others.find('\n', start);
      if (end == std::string::npos) end = others.size();
      const std::string other = others.substr(start, end - start);
      // The other log is locked on its own, never while this one is.
      if (!other.empty()) {
        log->mu.unlock();
        held_elsewhere = held_elsewhere || LogHolds(other, txid);
        log->mu.lock();
      }
      start = end + 1;
    }
    if (!held_elsewhere) Query(log->db(), "DELETE FROM txs WHERE txid = ?1").Int(1, txid).Step();
  }
}

}  // namespace

int64_t NewTxId() {
  int64_t id = 0;
  while (id <= 0) sqlite3_randomness(sizeof id, &id);
  return id;
}

int32_t WriteCommitRecord(int64_t txid, const std::vector<CommitPart>& parts) {
  auto dirs = ByDirectory(parts);
  const std::string primary = LogPath(dirs.begin()->first);
  std::string others;
  for (auto it = std::next(dirs.begin()); it != dirs.end(); ++it) {
    others += LogPath(it->first) + "\n";
  }
  // The other logs first: a record there counts only once the primary log
  // holds it too.
  std::vector<std::string> written;
  int32_t status = 0;
  for (auto it = std::next(dirs.begin()); status == 0 && it != dirs.end(); ++it) {
    status = WriteOne(LogPath(it->first), txid, primary, "", it->second);
    if (status == 0) written.push_back(LogPath(it->first));
  }
  if (status == 0) status = WriteOne(primary, txid, "", others, dirs.begin()->second);
  if (status != 0) {
    for (const std::string& w : written) DropOne(w, txid);
  }
  return status;
}

void DropCommitRecord(int64_t txid, const std::vector<CommitPart>& parts) {
  auto dirs = ByDirectory(parts);
  // The primary last: while another log holds the record, it decides by it.
  for (auto it = std::next(dirs.begin()); it != dirs.end(); ++it) DropOne(LogPath(it->first), txid);
  DropOne(LogPath(dirs.begin()->first), txid);
}

int32_t TrimApplied(sqlite3* db, const std::string& path, const FileId& id) {
  Log* log = GetLog(LogPath(DirectoryOf(path)), false);
  std::set<int64_t> keep;
  if (log != nullptr) {
    bool ok = false;
    for (const Pending& p : PendingFor(log, path, id, &ok)) keep.insert(p.txid);
    if (!ok) return 0;  // the log unread: keep every id
  }
  std::vector<int64_t> drop;
  {
    Query q(db, "SELECT txid FROM tmbio_applied");
    while (q.Step() == SQLITE_ROW) {
      int64_t txid = sqlite3_column_int64(q.get(), 0);
      if (keep.count(txid) == 0) drop.push_back(txid);
    }
  }
  for (int64_t txid : drop) {
    if (Query(db, "DELETE FROM tmbio_applied WHERE txid = ?1").Int(1, txid).Step() != SQLITE_DONE) {
      return TMBIO_IO_ERROR;
    }
  }
  return 0;
}

int32_t RecoverFile(const std::string& path, const FileId& id, int32_t wait_ms,
                    SharedFile* shared) {
  std::string real;
  if (!RealPath(path, &real)) return 0;  // the open reports it
  Log* log = GetLog(LogPath(DirectoryOf(real)), false);
  if (log == nullptr) return 0;  // no transaction over several files ever wrote here
  bool ok = false;
  if (PendingFor(log, real, id, &ok).empty() && ok) {
    // Nothing to bring in; trim the ids when the file holds any.
    Closer reader;
    bool any = false;
    if (sqlite3_open_v2(real.c_str(), &reader.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        kDataFileVfs) == SQLITE_OK) {
      Query q(reader.db, "SELECT 1 FROM tmbio_applied LIMIT 1");
      any = q.ok() && q.Step() == SQLITE_ROW;
    }
    if (!any) return 0;
    wait_ms = 0;  // a trim can wait for the next open
  }
  // This process's writers hand the file's write lock straight from one to
  // the next: waiting beside them in SQLite's busy wait, which polls with
  // sleeps, the recovery would seldom find the lock free and give up while
  // they commit over and over. It waits in their line instead.
  struct Turn {
    SharedFile* shared;
    bool held;
    void Release() {
      if (held) ReleaseWrite(shared, this);
      held = false;
    }
    ~Turn() { Release(); }
  } turn{shared, false};
  turn.held = AcquireWrite(shared, &turn, wait_ms);
  if (!turn.held) return wait_ms == 0 ? 0 : TMBIO_BUSY;
  Closer closer;
  if (sqlite3_open_v2(real.c_str(), &closer.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      kDataFileVfs) != SQLITE_OK) {
    return 0;  // a file this process may only read: the open goes on as it can
  }
  sqlite3* const db = closer.db;
  sqlite3_busy_timeout(db, wait_ms);
  Exec(db, "PRAGMA synchronous=FULL");
  // The file's write lock first: a committer still holding the file is
  // alive, and the records are read again under it.
  int rc = Exec(db, "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return wait_ms == 0 ? 0 : StatusOf(rc);
  std::vector<Pending> pending = PendingFor(log, real, id, &ok);
  if (!ok) {
    Exec(db, "ROLLBACK");
    return TMBIO_IO_ERROR;
  }
  if (!pending.empty() &&
      Exec(db, "CREATE TABLE IF NOT EXISTS tmbio_applied(txid INTEGER PRIMARY KEY)") != SQLITE_OK) {
    Exec(db, "ROLLBACK");
    return TMBIO_IO_ERROR;
  }
  std::vector<int64_t> done;
  for (const Pending& p : pending) {
    if (HasApplied(db, p.txid)) {
      done.push_back(p.txid);
      continue;
    }
    // The record counts when its primary log holds it. A file lacking the
    // id while its write lock is free has no live committer: a record not
    // in the primary log was never committed, and never will be.
    const bool committed = p.has_tx && (p.primary_log.empty() || LogHolds(p.primary_log, p.txid));
    if (!committed) {
      done.push_back(p.txid);
      continue;
    }
    rc = sqlite3changeset_apply(db, static_cast<int>(p.changeset.size()),
                                const_cast<char*>(p.changeset.data()), nullptr, AbortOnConflict,
                                nullptr);
    if (rc != SQLITE_OK) {
      fprintf(stderr, "tmbio: %s: transaction %lld does not apply (%s); the file stays as it is\n",
              real.c_str(), static_cast<long long>(p.txid), sqlite3_errstr(rc));
      Exec(db, "ROLLBACK");
      return TMBIO_CORRUPT;
    }
    if (Query(db, "INSERT INTO tmbio_applied VALUES(?1)").Int(1, p.txid).Step() != SQLITE_DONE) {
      Exec(db, "ROLLBACK");
      return TMBIO_IO_ERROR;
    }
    done.push_back(p.txid);
  }
  if (TrimApplied(db, real, id) != 0 || Exec(db, "COMMIT") != SQLITE_OK) {
    Exec(db, "ROLLBACK");
    return TMBIO_IO_ERROR;
  }
  turn.Release();
  if (!done.empty()) ForgetParts(log, real, id, done);
  return 0;
}

void TestKillPoint(int files_committed) {
  const char* setting = getenv("TMBIO_TEST_KILL_COMMIT");
  if (setting == nullptr) return;
  // Counted from the setting on: a forked test child inherits its parent's
  // history but not its setting.
  static std::atomic<int64_t> commits{0};
  const int64_t number = files_committed == 0 ? ++commits : commits.load();
  long long n = 0;
  int k = 0;
  if (sscanf(setting, "%lld:%d", &n, &k) != 2) return;
  if (n == number && k == files_committed) kill(getpid(), SIGKILL);
}

}  // namespace tmbio
