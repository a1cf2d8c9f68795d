// A process killed in the middle of writing leaves files that open, hold
// exactly what was committed and pass the checker.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>

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
// number reported.
template <typename Child>
int32_t RunAndKill(Child child, int enough) {
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
  for (int got = 0; got < enough && read(fds[0], &n, sizeof n) == sizeof n; ++got) last = n;
  kill(pid, SIGKILL);
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

}  // namespace
