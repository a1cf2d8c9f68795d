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

TEST(OutOfMemory, AWriteCommittedAloneThatRunsOutFailsAloneAndTheFileWritesOn) {
  tmbtest::ScratchDir dir;
  tmbtest::MakeFile(dir.path(), "users", kSchema);
  TMBEnvironment* env = tmbtest::NewEnv(dir.path());
  // A write right or a lead left behind shows as BUSY after this wait.
  QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 200);
  TMBFile* f = tmbtest::Open(env, "users");
  ASSERT_NE(f, nullptr);
  const Record first = Row(1, 0);
  ASSERT_GT(QDK_ExtWrite(f, first.data(), first.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);

  // Fails the first allocation, then the second, and so on, until a write
  // runs whole: each way through an insert and an update by key is cut.
  for (int32_t op : {TMBIO_WRITE_INSERT, TMBIO_WRITE_UPDATE_KEY}) {
    bool ran_whole = false;
    int64_t cut = 0;
    for (int32_t n = 0; n < 1000 && !ran_whole; ++n) {
      const int32_t id = op == TMBIO_WRITE_INSERT ? 100 + n : 1;
      const int32_t before = GroupOf(f, id);
      const Record r = Row(id, n + 1);
      t_refused = 0;
      t_allocations_left = n;
      const bool by_key = op == TMBIO_WRITE_UPDATE_KEY;
      const int32_t result =
          QDK_ExtWrite(f, r.data(), r.size(), by_key ? r.data() : nullptr, by_key ? 4 : 0, op, 0);
      t_allocations_left = -1;
      ran_whole = t_refused == 0;
      if (!ran_whole) ++cut;
      SCOPED_TRACE("operation " + std::to_string(op) + ", allocation " + std::to_string(n));
      if (ran_whole) {
        EXPECT_GT(result, 0);
      } else {
        EXPECT_TRUE(result > 0 || result == TMBIO_NO_MEMORY) << result;
      }
      // The record is as the answer says: written whole, or not at all.
      EXPECT_EQ(GroupOf(f, id), result > 0 ? n + 1 : before);
    }
    EXPECT_TRUE(ran_whole);
    EXPECT_GT(cut, 0);
  }
  // And the next write goes through at once.
  const Record last = Row(5000, 7);
  EXPECT_GT(QDK_ExtWrite(f, last.data(), last.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);
  EXPECT_EQ(GroupOf(f, 5000), 7);
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
  EXPECT_EQ(tmbtest::Problems(dir.File("users.tmb")), "");
}

}  // namespace
