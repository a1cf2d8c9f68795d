// A process killed in the middle of writing leaves files that open, hold
// exactly what was committed and pass the checker.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "tests/support/whole_transactions.h"
#include "tests/tmbio/test_util.h"
#include "tmbio/tmbio.h"

namespace {

const char* kSchema = R"({"record_length": 64,
  "fields": [{"name": "id", "type": "int", "offset": 0, "length": 4},
             {"name": "text", "type": "char", "offset": 4, "length": 60}],
  "keys": [{"name": "by_id", "segments": [{"field": "id"}]},
           {"name": "by_text", "unique": false, "segments": [{"field": "text"}]}]})";

// Runs `child` in a forked process that reports 32-bit numbers over a pipe;
// kills it with SIGKILL once `enough` numbers came, and returns the last
// number reported (and every one in `all`, when given). `delay_us` more lets
// the child go on into its next step.
template <typename Child>
int32_t RunAndKill(Child child, int enough, int delay_us = 0, std::set<int32_t>* all = nullptr) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    auto report = [fd = fds[1]](int32_t n) {
      if (write(fd, &n, sizeof n) != sizeof n) _exit(3);
    };
    child(report);
    _exit(0);  // never reached: the child loops until killed
  }
  close(fds[1]);
  int32_t last = -1, n = 0;
  const auto got_one = [&] {
    last = n;
    if (all != nullptr) all->insert(n);
  };
  for (int got = 0; got < enough && read(fds[0], &n, sizeof n) == sizeof n; ++got) got_one();
  if (delay_us > 0) usleep(static_cast<useconds_t>(delay_us));
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  // What the child acknowledged before the kill counts too.
  while (read(fds[0], &n, sizeof n) == sizeof n) got_one();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child ended on its own";
  close(fds[0]);
  return last;
}

// Runs `child` as RunAndKill does, until it dies by itself (a kill point
// of the library); returns the last number reported.
template <typename Child>
int32_t RunUntilKilled(Child child) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    auto report = [fd = fds[1]](int32_t n) {
      if (write(fd, &n, sizeof n) != sizeof n) _exit(3);
    };
    child(report);
    _exit(0);
  }
  close(fds[1]);
  int32_t last = 0, n = 0;
  while (read(fds[0], &n, sizeof n) == sizeof n) last = n;
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child ended on its own";
  close(fds[0]);
  return last;
}

tmbtest::Record Row(int32_t id) {
  tmbtest::Record r(64);
  r.Int(0, id, 4).Text(4, "row " + std::to_string(id % 97), 60);
  return r;
}

int64_t Count(const std::string& dir, int32_t below = INT32_MAX) {
  TMBEnvironment* env = tmbtest::NewEnv(dir);
  TMBFile* f = tmbtest::Open(env, "crash");
  int64_t n = 0;
  uint8_t buf[64];
  for (int32_t s = QDK_read(f, buf, 64, TMBIO_READ_FIRST); s > 0; s = QDK_read(f, buf, 64, TMBIO_READ_NEXT)) {
    if (tmbtest::ReadInt(buf, 4) < below) ++n;
  }
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
  return n;
}

TEST(Crash, KilledInsideATransactionLeavesOnlyTheCommitted) {
  tmbtest::ScratchDir dir;
  tmbtest::MakeFile(dir.path(), "crash", kSchema);
  RunAndKill(
      [&](auto report) {
        TMBEnvironment* env = tmbtest::NewEnv(dir.path());
        TMBFile* f = tmbtest::Open(env, "crash");
        for (int id = 1; id <= 100; ++id) {
          tmbtest::Record r = Row(id);
          if (QDK_ExtWrite(f, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0) <= 0) _exit(2);
        }
        if (QDK_BeginTX(env) != 0) _exit(2);
        for (int id = 1000;; ++id) {
          tmbtest::Record r = Row(id);
          if (QDK_ExtWrite(f, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0) <= 0) _exit(2);
          if (id % 100 == 0) report(id);
        }
      },
      5);
  EXPECT_EQ(tmbtest::Problems(dir.File("crash.tmb")), "");
  EXPECT_EQ(Count(dir.path()), 100);
}

TEST(Crash, EveryWriteThatReturnedSurvivesTheKill) {
  tmbtest::ScratchDir dir;
  tmbtest::MakeFile(dir.path(), "crash", kSchema);
  const int32_t last = RunAndKill(
      [&](auto report) {
        TMBEnvironment* env = tmbtest::NewEnv(dir.path());
        TMBFile* f = tmbtest::Open(env, "crash");
        for (int id = 1;; ++id) {
          tmbtest::Record r = Row(id);
          if (QDK_ExtWrite(f, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0) <= 0) _exit(2);
          report(id);
        }
      },
      150);
  ASSERT_GE(last, 150);
  EXPECT_EQ(tmbtest::Problems(dir.File("crash.tmb")), "");
  // Every record reported is there, and no write is half there: the ids
  // run from 1 without a gap (the child went on writing until the kill).
  const int64_t n = Count(dir.path());
  EXPECT_GE(n, last);
  EXPECT_EQ(Count(dir.path(), static_cast<int32_t>(n) + 1), n);
}

TEST(Crash, KilledWhileCommittingLeavesWholeTransactions) {
  tmbtest::ScratchDir dir;
  tmbtest::MakeFile(dir.path(), "crash", kSchema);
  constexpr int kBatch = 50;
  const int32_t batches = RunAndKill(
      [&](auto report) {
        TMBEnvironment* env = tmbtest::NewEnv(dir.path());
        TMBFile* f = tmbtest::Open(env, "crash");
        for (int b = 1;; ++b) {
          if (QDK_BeginTX(env) != 0) _exit(2);
          for (int i = 0; i < kBatch; ++i) {
            tmbtest::Record r = Row(b * kBatch + i);
            if (QDK_ExtWrite(f, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0) <= 0) _exit(2);
          }
          if (QDK_CommitTX(env) != 0) _exit(2);
          report(b);
        }
      },
      20);
  EXPECT_EQ(tmbtest::Problems(dir.File("crash.tmb")), "");
  const int64_t n = Count(dir.path());
  EXPECT_EQ(n % kBatch, 0) << "a transaction was cut in two";
  EXPECT_GE(n, batches * kBatch);
}

// Sixteen environments of one process insert into one file, each write
// committed alone, until the kill, as a server's sessions under load do:
// every acknowledged write is there, the file passes the checker, and each
// writer's records are the first of its own sequence without a gap (its
// writes land in the order it made them).
TEST(Crash, KilledUnderSixteenWritersKeepsEveryAcknowledgedWrite) {
  constexpr int kThreads = 16;
  constexpr int32_t kRange = 1000000;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    tmbtest::ScratchDir dir;
    tmbtest::MakeFile(dir.path(), "crash", kSchema);
    std::set<int32_t> acknowledged;
    const auto writers = [&](auto report) {
      std::vector<std::thread> threads;
      for (int t = 1; t <= kThreads; ++t) {
        threads.emplace_back([&, t] {
          TMBEnvironment* env = tmbtest::NewEnv(dir.path());
          QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 60000);
          TMBFile* f = tmbtest::Open(env, "crash");
          for (int32_t id = t * kRange;; ++id) {
            tmbtest::Record r = Row(id);
            if (f == nullptr || QDK_ExtWrite(f, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0) <= 0) {
              _exit(2);
            }
            report(id);
          }
        });
      }
      for (auto& th : threads) th.join();
    };
    RunAndKill(writers, 200 + round * 150, (round * 211) % 700, &acknowledged);
    ASSERT_GE(acknowledged.size(), 200u);
    EXPECT_EQ(tmbtest::Problems(dir.File("crash.tmb")), "");
    std::vector<std::set<int32_t>> found(kThreads + 1);
    {
      TMBEnvironment* env = tmbtest::NewEnv(dir.path());
      TMBFile* f = tmbtest::Open(env, "crash");
      ASSERT_NE(f, nullptr);
      uint8_t buf[64];
      for (int32_t s = QDK_read(f, buf, 64, TMBIO_READ_FIRST); s > 0; s = QDK_read(f, buf, 64, TMBIO_READ_NEXT)) {
        const int32_t id = static_cast<int32_t>(tmbtest::ReadInt(buf, 4));
        ASSERT_TRUE(id / kRange >= 1 && id / kRange <= kThreads) << id;
        found[static_cast<size_t>(id / kRange)].insert(id);
      }
      EXPECT_EQ(QDK_DeAllocEnv(env), 0);
    }
    for (int32_t id : acknowledged) {
      ASSERT_EQ(found[static_cast<size_t>(id / kRange)].count(id), 1u) << "acknowledged " << id << " lost";
    }
    for (int t = 1; t <= kThreads; ++t) {
      const std::set<int32_t>& ids = found[static_cast<size_t>(t)];
      if (ids.empty()) continue;
      EXPECT_EQ(*ids.begin(), t * kRange);
      EXPECT_EQ(*ids.rbegin() - *ids.begin() + 1, static_cast<int32_t>(ids.size())) << "writer " << t;
    }
  }
}

// Transactions over several files: heads and lines in the data directory,
// and every third one also notes in a directory of its own (a second
// commit log). Transaction `id` inserts `id` in each of its files.
class AcrossFiles {
 public:
  AcrossFiles() {
    tmbtest::MakeFile(dir_.path(), "heads", kSchema);
    tmbtest::MakeFile(dir_.path(), "lines", kSchema);
    EXPECT_EQ(mkdir(dir_.File("sub").c_str(), 0755), 0);
    tmbtest::MakeFile(dir_.File("sub"), "notes", kSchema);
  }

  static bool HasNotes(int32_t id) { return id % 3 == 0; }

  // The child's loop: reports each transaction whose commit returned.
  template <typename Report>
  void Write(Report report) const {
    TMBEnvironment* env = tmbtest::NewEnv(dir_.path());
    TMBFile* files[3] = {tmbtest::Open(env, "heads"), tmbtest::Open(env, "lines"),
                         tmbtest::Open(env, "sub/notes")};
    for (int32_t id = 1;; ++id) {
      if (QDK_BeginTX(env) != 0) _exit(2);
      for (int i = 0; i < (HasNotes(id) ? 3 : 2); ++i) {
        tmbtest::Record r = Row(id);
        if (QDK_ExtWrite(files[i], r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0) <= 0) {
          _exit(2);
        }
      }
      // An update too: its change is recorded against the row as it was.
      if (id > 1) {
        tmbtest::Record key(4);
        key.Int(0, id - 1, 4);
        tmbtest::Record r(64);
        r.Int(0, id - 1, 4).Text(4, "done " + std::to_string(id - 1), 60);
        if (QDK_ExtWrite(files[1], r.data(), r.size(), key.data(), 4, TMBIO_WRITE_UPDATE_KEY, 0) <= 0) {
          _exit(2);
        }
      }
      if (QDK_CommitTX(env) != 0) _exit(2);
      report(id);
    }
  }

  // Opens the files again (which brings in what a crash left committed)
  // and checks them against the last transaction acknowledged.
  void Check(int32_t acknowledged) const {
    std::set<int32_t> ids[3];
    std::set<int32_t> updated;
    {
      TMBEnvironment* env = tmbtest::NewEnv(dir_.path());
      const char* names[3] = {"heads", "lines", "sub/notes"};
      for (int i = 0; i < 3; ++i) {
        TMBFile* f = tmbtest::Open(env, names[i]);
        ASSERT_NE(f, nullptr);
        uint8_t buf[64];
        for (int32_t s = QDK_read(f, buf, 64, TMBIO_READ_FIRST); s > 0;
             s = QDK_read(f, buf, 64, TMBIO_READ_NEXT)) {
          const int32_t id = static_cast<int32_t>(tmbtest::ReadInt(buf, 4));
          ids[i].insert(id);
          if (i == 1 && tmbtest::ReadText(buf + 4, 60).rfind("done ", 0) == 0) updated.insert(id);
        }
      }
      EXPECT_EQ(QDK_DeAllocEnv(env), 0);
    }
    EXPECT_EQ(tmbtest::Problems(dir_.File("heads.tmb")), "");
    EXPECT_EQ(tmbtest::Problems(dir_.File("lines.tmb")), "");
    EXPECT_EQ(tmbtest::Problems(dir_.File("sub/notes.tmb")), "");
    ASSERT_GE(acknowledged, 0);
    for (int32_t id = 1; id <= acknowledged; ++id) {
      ASSERT_TRUE(ids[0].count(id) && ids[1].count(id)) << "acknowledged transaction " << id << " lost";
      ASSERT_EQ(ids[2].count(id), HasNotes(id) ? 1u : 0u) << "transaction " << id;
    }
    // Whatever else is there is the transaction in flight, in all its files
    // or in none: heads, lines, notes and the update of the row before.
    const int32_t next = acknowledged + 1;
    const bool in_heads = ids[0].count(next) != 0;
    EXPECT_EQ(ids[1].count(next) != 0, in_heads) << "transaction " << next << " torn";
    if (HasNotes(next)) {
      EXPECT_EQ(ids[2].count(next) != 0, in_heads) << "transaction " << next << " torn";
    }
    if (acknowledged >= 1) {
      EXPECT_EQ(updated.count(acknowledged) != 0, in_heads) << "transaction " << next << " torn";
    }
    for (int32_t id = 1; id < acknowledged; ++id) {
      ASSERT_EQ(updated.count(id), 1u) << "the update of transaction " << id + 1 << " lost";
    }
    EXPECT_EQ(ids[0].size(), static_cast<size_t>(acknowledged + (in_heads ? 1 : 0)));
    EXPECT_EQ(ids[1].size(), ids[0].size());
  }

 private:
  tmbtest::ScratchDir dir_;
};

// The library kills itself at a chosen point of a commit over several
// files, so that every step of it is met: right after the commit record,
// after each file's commit, in two-file and three-file transactions, early
// and after the commit log has seen many records come and go.
TEST(Crash, KilledInsideACommitAcrossFilesLeavesItWholeInEveryFile) {
  // Transaction n is the process's n-th commit; every third has three files.
  for (int32_t commit : {1, 2, 3, 40, 42, 67, 66}) {
    const int files = AcrossFiles::HasNotes(commit) ? 3 : 2;
    for (int k = 0; k <= files; ++k) {
      AcrossFiles t;
      SCOPED_TRACE("commit " + std::to_string(commit) + ", killed after " + std::to_string(k) +
                   " of " + std::to_string(files) + " files");
      const std::string point = std::to_string(commit) + ":" + std::to_string(k);
      const int32_t last = RunUntilKilled([&](auto report) {
        setenv("TMBIO_TEST_KILL_COMMIT", point.c_str(), 1);
        t.Write(report);
      });
      EXPECT_EQ(last, commit - 1);
      t.Check(last);
      // Opened again: a recovery done leaves the files as they are.
      t.Check(last);
    }
  }
}

// Killed from outside at moments that fall anywhere: between commits,
// inside a write, inside a commit.
TEST(Crash, KilledAnywhereWhileCommittingAcrossFilesLeavesWholeTransactions) {
  for (int round = 0; round < 24; ++round) {
    AcrossFiles t;
    const int32_t last =
        RunAndKill([&](auto report) { t.Write(report); }, 3 + round * 7, (round * 173) % 1500);
    SCOPED_TRACE("round " + std::to_string(round));
    t.Check(last);
  }
}

// Rows of a table in an SQLite database; -1 when it cannot be read.
int64_t Rows(const std::string& path, const char* table) {
  sqlite3* db = nullptr;
  int64_t n = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    const std::string sql = std::string("SELECT count(*) FROM ") + table;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
      n = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
  }
  sqlite3_close_v2(db);
  return n;
}

// Transaction `id` of the two-file tests: `id` inserted into both files,
// then the commit. False when a step failed.
bool InsertInBoth(TMBEnvironment* env, TMBFile* const (&files)[2], int32_t id) {
  if (QDK_BeginTX(env) != 0) return false;
  for (TMBFile* f : files) {
    tmbtest::Record r = Row(id);
    if (QDK_ExtWrite(f, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0) <= 0) return false;
  }
  return QDK_CommitTX(env) == 0;
}

// Several environments of one process commit over the same two files at
// once, as a server's sessions do, until the kill: every acknowledged
// transaction is in both files, and nothing is in one only.
TEST(Crash, ConcurrentCommitsAcrossFilesKilledLeaveWholeTransactions) {
  constexpr int kThreads = 4;
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    tmbtest::ScratchDir dir;
    tmbtest::MakeFile(dir.path(), "heads", kSchema);
    tmbtest::MakeFile(dir.path(), "lines", kSchema);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          TMBEnvironment* env = tmbtest::NewEnv(dir.path());
          QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 60000);
          TMBFile* files[2] = {tmbtest::Open(env, "heads"), tmbtest::Open(env, "lines")};
          for (int32_t id = (t + 1) * 1000000;; ++id) {
            if (!InsertInBoth(env, files, id)) _exit(2);
            if (write(fds[1], &id, sizeof id) != sizeof id) _exit(3);
          }
        });
      }
      for (auto& th : threads) th.join();
      _exit(0);
    }
    close(fds[1]);
    std::set<int32_t> acknowledged;
    int32_t n = 0;
    for (int got = 0; got < 20 + round * 40 && read(fds[0], &n, sizeof n) == sizeof n; ++got) {
      acknowledged.insert(n);
    }
    usleep(static_cast<useconds_t>((round * 311) % 1200));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    while (read(fds[0], &n, sizeof n) == sizeof n) acknowledged.insert(n);
    close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    std::set<int32_t> ids[2];
    TMBEnvironment* env = tmbtest::NewEnv(dir.path());
    const char* names[2] = {"heads", "lines"};
    for (int i = 0; i < 2; ++i) {
      TMBFile* f = tmbtest::Open(env, names[i]);
      ASSERT_NE(f, nullptr);
      uint8_t buf[64];
      for (int32_t s = QDK_read(f, buf, 64, TMBIO_READ_FIRST); s > 0; s = QDK_read(f, buf, 64, TMBIO_READ_NEXT)) {
        ids[i].insert(static_cast<int32_t>(tmbtest::ReadInt(buf, 4)));
      }
    }
    EXPECT_EQ(QDK_DeAllocEnv(env), 0);
    EXPECT_EQ(tmbtest::Problems(dir.File("heads.tmb")), "");
    EXPECT_EQ(tmbtest::Problems(dir.File("lines.tmb")), "");
    // Each thread has at most its next id in flight: the one after its last
    // acknowledged, or its first.
    std::set<int32_t> may_be_there = acknowledged;
    for (int t = 0; t < kThreads; ++t) {
      const int32_t first = (t + 1) * 1000000;
      auto above = acknowledged.lower_bound(first + 1000000);
      may_be_there.insert(above != acknowledged.begin() && *std::prev(above) >= first
                              ? *std::prev(above) + 1
                              : first);
    }
    const tmb::test::TransactionAudit audit =
        tmb::test::AuditTransactions({ids[0], ids[1]}, acknowledged, &may_be_there);
    EXPECT_TRUE(audit.whole()) << audit.report;
  }
}

// A file opened while other environments of the process commit over it
// without a pause: the open, which brings in the records naming the file
// under its write lock, gets that lock in its turn among theirs.
TEST(Crash, OpensAmidCommitsAcrossFilesGetTheirTurn) {
  tmbtest::ScratchDir dir;
  tmbtest::MakeFile(dir.path(), "heads", kSchema);
  tmbtest::MakeFile(dir.path(), "lines", kSchema);
  constexpr int kThreads = 4;
  std::atomic<bool> stop{false};
  std::atomic<int64_t> commits{0};
  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TMBEnvironment* env = tmbtest::NewEnv(dir.path());
      QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 600000);
      TMBFile* files[2] = {tmbtest::Open(env, "heads"), tmbtest::Open(env, "lines")};
      bool ok = files[0] != nullptr && files[1] != nullptr;
      for (int32_t id = (t + 1) * 1000000; ok && !stop; ++id) {
        ok = InsertInBoth(env, files, id);
        ++commits;
      }
      EXPECT_TRUE(ok) << "writer " << t << " failed";
      EXPECT_EQ(QDK_DeAllocEnv(env), 0);
      --running;
    });
  }
  // An open waits behind the transactions that asked for the file before it
  // (one a writer): not behind every transaction that comes after it. The
  // commits that pass it are counted, not timed; the wait allowed is far
  // beyond what a slow machine needs.
  int64_t passed = 0;
  constexpr int kOpens = 20;
  for (int i = 0; i < kOpens; ++i) {
    for (int64_t before = commits; commits < before + kThreads && running > 0;) {
      std::this_thread::yield();
    }
    TMBEnvironment* env = tmbtest::NewEnv(dir.path());
    QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 60000);
    const int64_t before = commits;
    EXPECT_NE(tmbtest::Open(env, i % 2 == 0 ? "heads" : "lines"), nullptr) << "open " << i;
    passed += commits - before;
    EXPECT_EQ(QDK_DeAllocEnv(env), 0);
  }
  EXPECT_LE(passed, kOpens * 4 * kThreads) << "opens wait while later commits pass them";
  stop = true;
  for (auto& th : threads) th.join();
}

// Without a crash the commit log keeps no record, and the ids the files
// keep for pending records are trimmed as the commits go on.
TEST(Crash, CommitsAcrossFilesLeaveNoRecordAndFewIds) {
  tmbtest::ScratchDir dir;
  tmbtest::MakeFile(dir.path(), "heads", kSchema);
  tmbtest::MakeFile(dir.path(), "lines", kSchema);
  TMBEnvironment* env = tmbtest::NewEnv(dir.path());
  TMBFile* files[2] = {tmbtest::Open(env, "heads"), tmbtest::Open(env, "lines")};
  for (int32_t id = 1; id <= 300; ++id) {
    ASSERT_TRUE(InsertInBoth(env, files, id)) << "transaction " << id;
  }
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
  EXPECT_EQ(Rows(dir.File(".tmbio-commits"), "txs"), 0);
  EXPECT_EQ(Rows(dir.File(".tmbio-commits"), "parts"), 0);
  const int64_t kept = Rows(dir.File("heads.tmb"), "tmbio_applied");
  EXPECT_GE(kept, 0);
  EXPECT_LE(kept, 64) << "the applied ids are not trimmed";
  // An open trims the rest: no record names them.
  env = tmbtest::NewEnv(dir.path());
  EXPECT_NE(tmbtest::Open(env, "heads"), nullptr);
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
  EXPECT_EQ(Rows(dir.File("heads.tmb"), "tmbio_applied"), 0);
}

}  // namespace
