// Memory running out in the middle of a write committed alone. Such a write
// runs inside a batch (on whichever thread leads it), so a throw there must
// neither leave the file's write right held nor the group without a leader.
// This binary replaces operator new so that a test can make every
// allocation of its own thread fail from the nth on; SQLite allocates
// through malloc and is not touched.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "tests/tmbio/test_util.h"
#include "tmbio/tmbio.h"

namespace {

// Allocations this thread may still make before every later one fails;
// -1: all succeed.
thread_local int64_t t_allocations_left = -1;
thread_local int64_t t_refused = 0;

}  // namespace

// GCC sees free() meet memory from operator new once it inlines these; here
// operator new is malloc.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
  if (t_allocations_left == 0) {
    ++t_refused;
    throw std::bad_alloc();
  }
  if (t_allocations_left > 0) --t_allocations_left;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using tmbtest::Record;

// Runs `call` with every allocation of this thread failing from the nth
// on; true when none was refused (the call ran whole).
template <typename F>
bool RunsWhole(int64_t n, F call) {
  t_refused = 0;
  t_allocations_left = n;
  call();
  t_allocations_left = -1;
  return t_refused == 0;
}

const char* kSchema = R"({
  "record_length": 24,
  "fields": [
    {"name": "id", "type": "int", "offset": 0, "length": 4},
    {"name": "name", "type": "char", "offset": 4, "length": 16},
    {"name": "grp", "type": "int", "offset": 20, "length": 4}
  ],
  "keys": [
    {"name": "by_id", "segments": [{"field": "id"}]},
    {"name": "by_name", "unique": false, "segments": [{"field": "name"}]}
  ]})";

Record Row(int32_t id, int32_t group) {
  Record r(24);
  r.Int(0, id, 4).Text(4, "name " + std::to_string(id), 16).Int(20, group, 4);
  return r;
}

// The group of record `id`, or -1 when there is none.
int32_t GroupOf(TMBFile* f, int32_t id) {
  uint8_t rec[24];
  QDK_keyadjust(f, nullptr, 0, 1);
  if (QDK_seek(f, reinterpret_cast<const uint8_t*>(&id), 4, TMBIO_SEEK_EQUAL) != 1 ||
      QDK_read(f, rec, sizeof rec, TMBIO_READ_POSITIONED) != 24) {
    return -1;
  }
  return static_cast<int32_t>(tmbtest::ReadInt(rec + 20, 4));
}

enum class Way { kInsert, kUpdateByKey, kRemove, kInsertInTransaction };

TEST(OutOfMemory, AWriteThatRunsOutFailsAloneAndTheFileWritesOn) {
  tmbtest::ScratchDir dir;
  tmbtest::MakeFile(dir.path(), "users", kSchema);
  TMBEnvironment* env = tmbtest::NewEnv(dir.path());
  // A write right or a lead left behind shows as BUSY after this wait.
  QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 200);
  TMBFile* f = tmbtest::Open(env, "users");
  ASSERT_NE(f, nullptr);
  const Record first = Row(1, 0);
  ASSERT_GT(QDK_ExtWrite(f, first.data(), first.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);

  // Fails the first allocation, then the second, and so on, until the
  // write runs whole: each way through it is cut once. Writes committed
  // alone run inside a batch; the last way runs in an explicit transaction.
  for (Way way : {Way::kInsert, Way::kUpdateByKey, Way::kRemove, Way::kInsertInTransaction}) {
    bool ran_whole = false;
    int64_t cut = 0;
    for (int32_t n = 0; n < 1000 && !ran_whole; ++n) {
      SCOPED_TRACE("way " + std::to_string(static_cast<int>(way)) + ", allocation " +
                   std::to_string(n));
      const int32_t id = way == Way::kUpdateByKey ? 1 : 100 + 1000 * static_cast<int>(way) + n;
      const Record r = Row(id, n + 1);
      if (way == Way::kRemove) {
        ASSERT_GT(QDK_ExtWrite(f, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);
      }
      if (way == Way::kInsertInTransaction) {
        ASSERT_EQ(QDK_BeginTX(env), 0);
      }
      const int32_t before = GroupOf(f, id);
      int32_t result = 0;
      ran_whole = RunsWhole(n, [&] {
        switch (way) {
          case Way::kUpdateByKey:
            result = QDK_ExtWrite(f, r.data(), r.size(), r.data(), 4, TMBIO_WRITE_UPDATE_KEY, 0);
            break;
          case Way::kRemove:
            result = QDK_remove(f, r.data(), 4);
            break;
          default:
            result = QDK_ExtWrite(f, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0);
            break;
        }
      });
      if (way == Way::kInsertInTransaction) {
        EXPECT_EQ(QDK_CommitTX(env), 0);
      }
      if (!ran_whole) ++cut;
      if (ran_whole) {
        EXPECT_GT(result, 0);
      } else {
        EXPECT_TRUE(result > 0 || result == TMBIO_NO_MEMORY) << result;
      }
      // The record is as the answer says: changed whole, or not at all.
      const int32_t after = way == Way::kRemove ? -1 : n + 1;
      EXPECT_EQ(GroupOf(f, id), result > 0 ? after : before);
    }
    EXPECT_TRUE(ran_whole);
    EXPECT_GT(cut, 0);
  }
  // And the next write goes through at once.
  const Record last = Row(9000, 7);
  EXPECT_GT(QDK_ExtWrite(f, last.data(), last.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);
  EXPECT_EQ(GroupOf(f, 9000), 7);
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
  EXPECT_EQ(tmbtest::Problems(dir.File("users.tmb")), "");
}

// Opening a file in a second environment and reading by key, cut at each
// allocation in turn: a clean failure each time, nothing held (the sanitizer
// build finds what leaked), and the environment works on.
TEST(OutOfMemory, OpensAndReadsThatRunOutFailCleanly) {
  tmbtest::ScratchDir dir;
  tmbtest::MakeFile(dir.path(), "users", kSchema);
  TMBEnvironment* env = tmbtest::NewEnv(dir.path());
  TMBFile* writer = tmbtest::Open(env, "users");
  ASSERT_NE(writer, nullptr);
  const Record r = Row(42, 5);
  ASSERT_GT(QDK_ExtWrite(writer, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);

  TMBEnvironment* other = tmbtest::NewEnv(dir.path());
  bool opened_whole = false;
  int32_t opens_cut = 0;
  for (int32_t n = 0; n < 1000 && !opened_whole; ++n) {
    SCOPED_TRACE("open, allocation " + std::to_string(n));
    int32_t error = 0;
    TMBFile* f = nullptr;
    opened_whole = RunsWhole(n, [&] { f = QDK_OpenExt(other, "users", nullptr, 0, 0, &error); });
    if (!opened_whole) ++opens_cut;
    if (f == nullptr) {
      EXPECT_FALSE(opened_whole);
      EXPECT_EQ(error, -TMBIO_NO_MEMORY);  // the error word: the status without its sign
      continue;
    }
    // A handle that opened is whole: it reads.
    EXPECT_EQ(GroupOf(f, 42), 5);
    EXPECT_GE(QDK_close(f), 0);
  }
  EXPECT_TRUE(opened_whole);
  EXPECT_GT(opens_cut, 0);

  TMBFile* reader = tmbtest::Open(other, "users");
  ASSERT_NE(reader, nullptr);
  bool read_whole = false;
  int32_t reads_cut = 0;
  for (int32_t n = 0; n < 1000 && !read_whole; ++n) {
    SCOPED_TRACE("read, allocation " + std::to_string(n));
    uint8_t rec[24];
    uint8_t key[256];
    uint8_t key_length = 0;
    int32_t value = 0;
    const int32_t id = 42;
    int32_t got = 0;
    read_whole = RunsWhole(n, [&] {
      QD_BeginRequest();
      got = QDK_read_FIRST(reader, rec, sizeof rec, TMBIO_SEEK_EQUAL, key, &key_length, &value,
                           nullptr, 0, &id, 4);
      QD_EndRequest();
    });
    if (!read_whole) ++reads_cut;
    if (read_whole) {
      EXPECT_EQ(got, 24);
    } else {
      EXPECT_TRUE(got == 24 || got == TMBIO_NO_MEMORY) << got;
    }
    if (got == 24) {
      EXPECT_EQ(tmbtest::ReadInt(rec + 20, 4), 5);
    }
  }
  EXPECT_TRUE(read_whole);
  EXPECT_GT(reads_cut, 0);  // the first read of a handle prepares its statement
  EXPECT_EQ(GroupOf(reader, 42), 5);
  EXPECT_EQ(QDK_DeAllocEnv(other), 0);
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
}

// A transaction over two files whose commit runs out of memory, cut at each
// allocation in turn: the files agree, both with its records or neither,
// once they are opened again (a part that could not commit is applied from
// the commit record at the latest then); a commit that answered 0 is in
// both; and the files write on.
TEST(OutOfMemory, ACommitOverTwoFilesThatRunsOutLeavesThemAgreeing) {
  tmbtest::ScratchDir dir;
  tmbtest::MakeFile(dir.path(), "users", kSchema);
  tmbtest::MakeFile(dir.path(), "orders", kSchema);
  bool whole = false;
  int32_t cut = 0;
  for (int32_t n = 0; n < 1000 && !whole; ++n) {
    SCOPED_TRACE("commit, allocation " + std::to_string(n));
    TMBEnvironment* env = tmbtest::NewEnv(dir.path());
    QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 200);
    TMBFile* users = tmbtest::Open(env, "users");
    TMBFile* orders = tmbtest::Open(env, "orders");
    ASSERT_TRUE(users != nullptr && orders != nullptr);
    const Record r = Row(100 + n, n + 1);
    ASSERT_EQ(QDK_BeginTX(env), 0);
    ASSERT_GT(QDK_ExtWrite(users, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);
    ASSERT_GT(QDK_ExtWrite(orders, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);
    int32_t committed = 0;
    whole = RunsWhole(n, [&] { committed = QDK_CommitTX(env); });
    if (!whole) ++cut;
    if (whole) {
      EXPECT_EQ(committed, 0);
    } else {
      EXPECT_TRUE(committed == 0 || committed == TMBIO_NO_MEMORY) << committed;
    }
    // The transaction is over either way, and the files take writes.
    EXPECT_EQ(QDK_RollbackTX(env), TMBIO_TX_STATE);
    const Record next = Row(5000 + n, 1);
    EXPECT_GT(QDK_ExtWrite(users, next.data(), next.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);
    EXPECT_EQ(QDK_DeAllocEnv(env), 0);

    TMBEnvironment* again = tmbtest::NewEnv(dir.path());
    TMBFile* users_again = tmbtest::Open(again, "users");
    TMBFile* orders_again = tmbtest::Open(again, "orders");
    ASSERT_TRUE(users_again != nullptr && orders_again != nullptr);
    const int32_t in_users = GroupOf(users_again, 100 + n);
    EXPECT_EQ(in_users, GroupOf(orders_again, 100 + n));
    if (committed == 0) {
      EXPECT_EQ(in_users, n + 1);
    }
    EXPECT_EQ(QDK_DeAllocEnv(again), 0);
  }
  EXPECT_TRUE(whole);
  EXPECT_GT(cut, 0);
  EXPECT_EQ(tmbtest::Problems(dir.File("users.tmb")), "");
  EXPECT_EQ(tmbtest::Problems(dir.File("orders.tmb")), "");
}

}  // namespace
