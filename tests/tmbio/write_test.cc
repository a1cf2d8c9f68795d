// Writes and their guarantees: every operation, unique keys refused without
// a trace, transactions over two files, record locks between environments,
// data that outlives the library's handles, and two environments writing
// one file from two threads.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/tmbio/test_util.h"
#include "tmbio/tmbio.h"

namespace {

using tmbtest::Record;

// id int4 @0 (unique), email char16 @4 (unique, ignoring case), group
// uint2 @20 (duplicates), counter int4 @22 (autoinc, unique); 32 bytes
// fixed and up to 16 more.
const char* kSchema = R"({
  "record_length": 32, "variable_length": 16,
  "fields": [
    {"name": "id", "type": "int", "offset": 0, "length": 4},
    {"name": "email", "type": "char", "offset": 4, "length": 16},
    {"name": "grp", "type": "uint", "offset": 20, "length": 2},
    {"name": "counter", "type": "int", "offset": 22, "length": 4}
  ],
  "keys": [
    {"name": "by_id", "segments": [{"field": "id"}]},
    {"name": "by_email", "segments": [{"field": "email", "nocase": true}]},
    {"name": "by_group", "unique": false, "segments": [{"field": "grp"}, {"field": "id", "descending": true}]},
    {"name": "by_counter", "segments": [{"field": "counter", "autoinc": true}]}
  ]})";

Record Row(int32_t id, const std::string& email, uint16_t group, int32_t counter = 0) {
  Record r(32);
  r.Int(0, id, 4).Text(4, email, 16).Int(20, group, 2).Int(22, counter, 4);
  return r;
}

class WriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmbtest::MakeFile(dir_.path(), "users", kSchema);
    tmbtest::MakeFile(dir_.path(), "orders", kSchema);
    env_ = tmbtest::NewEnv(dir_.path());
    file_ = tmbtest::Open(env_, "users");
    ASSERT_NE(file_, nullptr);
  }
  void TearDown() override {
    if (env_ != nullptr) {
      EXPECT_EQ(QDK_DeAllocEnv(env_), 0);
    }
    EXPECT_EQ(tmbtest::Problems(dir_.File("users.tmb")), "");
    EXPECT_EQ(tmbtest::Problems(dir_.File("orders.tmb")), "");
  }

  static int32_t Insert(TMBFile* f, const Record& r) {
    return QDK_ExtWrite(f, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0);
  }

  // Every key's order as (position list), to compare indexes before and after.
  static std::vector<std::vector<int32_t>> Orders(TMBFile* f) {
    std::vector<std::vector<int32_t>> all;
    const int32_t keep = f->current_key;
    for (int key = 1; key <= f->key_count; ++key) {
      QDK_keyadjust(f, nullptr, 0, key);
      std::vector<int32_t> order;
      for (int32_t s = QDK_read(f, nullptr, 0, TMBIO_READ_FIRST); s >= 0;
           s = QDK_read(f, nullptr, 0, TMBIO_READ_NEXT)) {
        order.push_back(QDK_getpos(f));
      }
      all.push_back(order);
    }
    QDK_keyadjust(f, nullptr, 0, keep);
    return all;
  }

  // The id of the record read, or the status.
  static int32_t ReadId(TMBFile* f, int32_t mode) {
    uint8_t buf[64];
    int32_t n = QDK_read(f, buf, sizeof buf, mode);
    return n < 0 ? n : static_cast<int32_t>(tmbtest::ReadInt(buf, 4));
  }

  tmbtest::ScratchDir dir_;
  TMBEnvironment* env_ = nullptr;
  TMBFile* file_ = nullptr;
};

TEST_F(WriteTest, OperationsLengthsAndAutoincrement) {
  const int32_t p1 = Insert(file_, Row(1, "a@x", 1));
  const int32_t p2 = Insert(file_, Row(2, "b@x", 1));
  EXPECT_EQ(p1, 1);
  EXPECT_EQ(p2, 2);
  // A zero counter was given the next value; a given one is kept, and the
  // next zero goes above it.
  EXPECT_EQ(Insert(file_, Row(3, "c@x", 2, 40)), 3);
  EXPECT_EQ(Insert(file_, Row(4, "d@x", 2)), 4);
  uint8_t buf[64];
  std::vector<uint8_t> key = {2, 0, 0, 0};
  ASSERT_EQ(QDK_seek(file_, key.data(), 4, TMBIO_SEEK_EQUAL), 1);
  ASSERT_EQ(QDK_read(file_, buf, sizeof buf, TMBIO_READ_POSITIONED), 32);
  EXPECT_EQ(tmbtest::ReadInt(buf + 22, 4), 2);
  key = {4, 0, 0, 0};
  ASSERT_EQ(QDK_seek(file_, key.data(), 4, TMBIO_SEEK_EQUAL), 1);
  ASSERT_EQ(QDK_read(file_, buf, sizeof buf, TMBIO_READ_POSITIONED), 32);
  EXPECT_EQ(tmbtest::ReadInt(buf + 22, 4), 41);

  // Short records are padded with zero bytes, long ones carry a variable part.
  Record shortr = Row(5, "e@x", 3);
  EXPECT_EQ(QDK_ExtWrite(file_, shortr.data(), 22, nullptr, 0, TMBIO_WRITE_INSERT, 0), 5);
  EXPECT_EQ(QDK_read(file_, buf, sizeof buf, TMBIO_READ_POSITIONED), 32);
  Record longr(48);
  longr.Int(0, 6, 4).Text(4, "f@x", 16).Text(32, "variable part!!!", 16);
  EXPECT_EQ(QDK_ExtWrite(file_, longr.data(), 48, nullptr, 0, TMBIO_WRITE_INSERT, 0), 6);
  EXPECT_EQ(QDK_read(file_, buf, sizeof buf, TMBIO_READ_POSITIONED), 48);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf + 32), 16), "variable part!!!");
  EXPECT_EQ(QDK_ExtWrite(file_, longr.data(), 49, nullptr, 0, TMBIO_WRITE_INSERT, 0), TMBIO_BAD_LENGTH);
  EXPECT_EQ(QDK_ExtWrite(file_, longr.data(), -1, nullptr, 0, TMBIO_WRITE_INSERT, 0), TMBIO_BAD_LENGTH);
  EXPECT_EQ(QDK_ExtWrite(file_, longr.data(), 32, nullptr, 0, 4, 0), TMBIO_INVALID);
  EXPECT_EQ(QDK_ExtWrite(file_, longr.data(), 32, nullptr, 0, TMBIO_WRITE_INSERT, 2), TMBIO_INVALID);
  EXPECT_EQ(QDK_geterrno(file_), 3);

  // Update over the current record (6): its keys move with it.
  Record r6 = Row(60, "F@X", 9, 43);  // updates give no counter: it is kept as sent
  EXPECT_EQ(QDK_ExtWrite(file_, r6.data(), r6.size(), nullptr, 0, TMBIO_WRITE_UPDATE, 0), 6);
  EXPECT_EQ(QDK_geterrno(file_), 0);
  EXPECT_EQ(ReadId(file_, TMBIO_READ_POSITIONED), 60);
  EXPECT_EQ(ReadId(file_, TMBIO_READ_PREVIOUS), 5);
  // Update by key: the record whose current key (id) equals.
  Record r3 = Row(3, "c2@x", 7, 40);
  key = {3, 0, 0, 0};
  EXPECT_EQ(QDK_ExtWrite(file_, r3.data(), r3.size(), key.data(), 4, TMBIO_WRITE_UPDATE_KEY, 0), 3);
  // Its email and group changed, its id did not: each key finds it by its
  // new value and none by an old one.
  const Record old3 = Row(3, "c@x", 2);
  QDK_keyadjust(file_, nullptr, 0, 2);
  EXPECT_EQ(QDK_seek(file_, r3.data() + 4, 16, TMBIO_SEEK_EQUAL), 1);
  EXPECT_EQ(QDK_getpos(file_), 3);
  EXPECT_NE(QDK_seek(file_, old3.data() + 4, 16, TMBIO_SEEK_EQUAL), 1);
  QDK_keyadjust(file_, nullptr, 0, 3);
  const std::vector<uint8_t> group_now = {7, 0, 3, 0, 0, 0}, group_before = {2, 0, 3, 0, 0, 0};
  EXPECT_EQ(QDK_seek(file_, group_now.data(), 6, TMBIO_SEEK_EQUAL), 1);
  EXPECT_NE(QDK_seek(file_, group_before.data(), 6, TMBIO_SEEK_EQUAL), 1);
  QDK_keyadjust(file_, nullptr, 0, 1);
  EXPECT_EQ(QDK_seek(file_, key.data(), 4, TMBIO_SEEK_EQUAL), 1);
  EXPECT_EQ(QDK_getpos(file_), 3);
  key = {33, 0, 0, 0};
  EXPECT_EQ(QDK_ExtWrite(file_, r3.data(), r3.size(), key.data(), 4, TMBIO_WRITE_UPDATE_KEY, 0), TMBIO_END);
  EXPECT_EQ(QDK_ExtWrite(file_, r3.data(), r3.size(), nullptr, 0, TMBIO_WRITE_UPDATE_KEY, 0), TMBIO_INVALID);
  // Upsert: over the record when there is one, else a new one.
  Record r7 = Row(7, "g@x", 7);
  key = {7, 0, 0, 0};
  EXPECT_EQ(QDK_ExtWrite(file_, r7.data(), r7.size(), key.data(), 4, TMBIO_WRITE_UPSERT, 0), 7);
  r7 = Row(7, "g2@x", 8, 500);
  EXPECT_EQ(QDK_ExtWrite(file_, r7.data(), r7.size(), key.data(), 4, TMBIO_WRITE_UPSERT, 0), 7);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_RECORDS), 7);
  // An update sending a counter of 0 keeps 0, which record 6 cannot share.
  Record zero = Row(3, "c3@x", 7, 0);
  key = {3, 0, 0, 0};
  EXPECT_EQ(QDK_ExtWrite(file_, zero.data(), zero.size(), key.data(), 4, TMBIO_WRITE_UPDATE_KEY, 0), 3);
  key = {60, 0, 0, 0};
  Record zero6 = Row(60, "F@X", 9, 0);
  EXPECT_EQ(QDK_ExtWrite(file_, zero6.data(), zero6.size(), key.data(), 4, TMBIO_WRITE_UPDATE_KEY, 0),
            TMBIO_DUPLICATE);
  key = {7, 0, 0, 0};
  // A removed record's position is never given again.
  EXPECT_EQ(QDK_remove(file_, key.data(), 4), 1);
  EXPECT_EQ(Insert(file_, Row(8, "h@x", 7)), 8);
}

TEST_F(WriteTest, ADuplicateOfAUniqueKeyChangesNothing) {
  for (int i = 1; i <= 20; ++i) {
    ASSERT_GT(Insert(file_, Row(i, "user" + std::to_string(i) + "@x", static_cast<uint16_t>(i % 3))), 0);
  }
  const auto before = Orders(file_);
  const intptr_t count = QDGetEnvMode(file_, TMBIO_FILE_RECORDS);
  // Same id; same email in other case; an update onto another's email.
  EXPECT_EQ(Insert(file_, Row(5, "new@x", 1)), TMBIO_DUPLICATE);
  EXPECT_EQ(QDK_geterrno(file_), 5);
  EXPECT_EQ(Insert(file_, Row(99, "USER7@X", 1)), TMBIO_DUPLICATE);
  std::vector<uint8_t> key = {4, 0, 0, 0};
  Record onto = Row(4, "user9@x", 2);
  EXPECT_EQ(QDK_ExtWrite(file_, onto.data(), onto.size(), key.data(), 4, TMBIO_WRITE_UPDATE_KEY, 0),
            TMBIO_DUPLICATE);
  // Also inside a transaction, which goes on afterwards.
  ASSERT_EQ(QDK_BeginTX(env_), 0);
  EXPECT_EQ(Insert(file_, Row(30, "x@x", 1)), 21);
  EXPECT_EQ(Insert(file_, Row(30, "y@x", 1)), TMBIO_DUPLICATE);
  EXPECT_EQ(QDK_RollbackTX(env_), 0);

  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_RECORDS), count);
  EXPECT_EQ(Orders(file_), before);
  ASSERT_EQ(QDK_seek(file_, key.data(), 4, TMBIO_SEEK_EQUAL), 1);
  uint8_t buf[64];
  ASSERT_EQ(QDK_read(file_, buf, sizeof buf, TMBIO_READ_POSITIONED), 32);
  EXPECT_EQ(tmbtest::ReadText(buf + 4, 16), "user4@x");
  EXPECT_EQ(tmbtest::Problems(dir_.File("users.tmb")), "");
}

TEST_F(WriteTest, RollbackRestoresTwoFilesAndOthersSeeNothingBefore) {
  TMBFile* orders = tmbtest::Open(env_, "orders");
  for (int i = 1; i <= 5; ++i) {
    ASSERT_GT(Insert(file_, Row(i, "u" + std::to_string(i), 1)), 0);
    ASSERT_GT(Insert(orders, Row(i, "o" + std::to_string(i), 1)), 0);
  }
  const auto users_before = Orders(file_);
  const auto orders_before = Orders(orders);
  TMBEnvironment* other = tmbtest::NewEnv(dir_.path());
  TMBFile* peek = tmbtest::Open(other, "users");

  ASSERT_EQ(QDK_BeginTX(env_), 0);
  ASSERT_GT(Insert(file_, Row(6, "u6", 2)), 0);
  ASSERT_GT(Insert(orders, Row(6, "o6", 2)), 0);
  std::vector<uint8_t> key = {2, 0, 0, 0};
  Record changed = Row(2, "changed", 3);
  ASSERT_EQ(QDK_ExtWrite(file_, changed.data(), changed.size(), key.data(), 4, TMBIO_WRITE_UPDATE_KEY, 0), 2);
  ASSERT_EQ(QDK_remove(orders, key.data(), 4), 1);
  // The environment sees its changes, another one does not.
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_RECORDS), 6);
  EXPECT_EQ(QDGetEnvMode(orders, TMBIO_FILE_RECORDS), 5);
  EXPECT_EQ(QDGetEnvMode(peek, TMBIO_FILE_RECORDS), 5);
  EXPECT_EQ(Orders(peek), users_before);
  EXPECT_EQ(QDK_RollbackTX(env_), 0);

  EXPECT_EQ(Orders(file_), users_before);
  EXPECT_EQ(Orders(orders), orders_before);
  ASSERT_EQ(QDK_seek(file_, key.data(), 4, TMBIO_SEEK_EQUAL), 1);
  uint8_t buf[64];
  ASSERT_EQ(QDK_read(file_, buf, sizeof buf, TMBIO_READ_POSITIONED), 32);
  EXPECT_EQ(tmbtest::ReadText(buf + 4, 16), "u2");

  // The same, committed: both files keep it, and the other sees it.
  ASSERT_EQ(QDK_BeginTX(env_), 0);
  ASSERT_GT(Insert(file_, Row(6, "u6", 2)), 0);
  ASSERT_EQ(QDK_remove(orders, key.data(), 4), 1);
  EXPECT_EQ(QDK_CommitTX(env_), 0);
  EXPECT_EQ(QDGetEnvMode(peek, TMBIO_FILE_RECORDS), 6);
  EXPECT_EQ(QDGetEnvMode(orders, TMBIO_FILE_RECORDS), 4);
  EXPECT_EQ(QDK_DeAllocEnv(other), 0);
}

// A statement's mark: undo takes both files back to it, a file first
// written after the mark goes back whole, and the transaction goes on to
// commit what came before (across the two files' commit record).
TEST_F(WriteTest, AStatementMarkUndoesOneStatementAndTheTransactionGoesOn) {
  TMBFile* orders = tmbtest::Open(env_, "orders");
  for (int i = 1; i <= 3; ++i) ASSERT_GT(Insert(file_, Row(i, "u" + std::to_string(i), 1)), 0);
  EXPECT_EQ(QDSetEnvMode(env_, TMBIO_ENV_STATEMENT, TMBIO_STATEMENT_MARK), TMBIO_TX_STATE);

  ASSERT_EQ(QDK_BeginTX(env_), 0);
  ASSERT_GT(Insert(file_, Row(10, "kept", 1)), 0);
  ASSERT_EQ(QDSetEnvMode(env_, TMBIO_ENV_STATEMENT, TMBIO_STATEMENT_MARK), 0);
  EXPECT_EQ(QDGetEnvMode(env_, TMBIO_ENV_STATEMENT), 1);
  ASSERT_GT(Insert(file_, Row(11, "undone", 1)), 0);
  std::vector<uint8_t> key = {2, 0, 0, 0};
  ASSERT_EQ(QDK_remove(file_, key.data(), 4), 1);
  ASSERT_GT(Insert(orders, Row(11, "undone", 1)), 0);  // this file's part begins after the mark
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_RECORDS), 4);
  ASSERT_EQ(QDSetEnvMode(env_, TMBIO_ENV_STATEMENT, TMBIO_STATEMENT_UNDO), 0);
  EXPECT_EQ(QDGetEnvMode(env_, TMBIO_ENV_STATEMENT), 0);
  EXPECT_EQ(QDSetEnvMode(env_, TMBIO_ENV_STATEMENT, TMBIO_STATEMENT_UNDO), TMBIO_TX_STATE);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_RECORDS), 4);
  EXPECT_EQ(QDGetEnvMode(orders, TMBIO_FILE_RECORDS), 0);
  EXPECT_EQ(QDK_seek(file_, key.data(), 4, TMBIO_SEEK_EQUAL), 1);

  // A later statement marks again (the released mark is replaced), writes
  // both files and keeps its writes; the commit holds everything but the
  // undone statement.
  ASSERT_EQ(QDSetEnvMode(env_, TMBIO_ENV_STATEMENT, TMBIO_STATEMENT_MARK), 0);
  ASSERT_GT(Insert(file_, Row(12, "second", 1)), 0);
  ASSERT_EQ(QDSetEnvMode(env_, TMBIO_ENV_STATEMENT, TMBIO_STATEMENT_MARK), 0);
  ASSERT_GT(Insert(orders, Row(12, "second", 1)), 0);
  EXPECT_EQ(QDSetEnvMode(env_, TMBIO_ENV_STATEMENT, 7), TMBIO_INVALID);
  ASSERT_EQ(QDSetEnvMode(env_, TMBIO_ENV_STATEMENT, TMBIO_STATEMENT_RELEASE), 0);
  ASSERT_EQ(QDK_CommitTX(env_), 0);
  EXPECT_EQ(QDGetEnvMode(env_, TMBIO_ENV_STATEMENT), 0);

  TMBEnvironment* other = tmbtest::NewEnv(dir_.path());
  TMBFile* users = tmbtest::Open(other, "users");
  TMBFile* peek = tmbtest::Open(other, "orders");
  std::vector<int32_t> ids;
  for (int32_t id = ReadId(users, TMBIO_READ_FIRST); id >= 0; id = ReadId(users, TMBIO_READ_NEXT)) {
    ids.push_back(id);
  }
  EXPECT_EQ(ids, (std::vector<int32_t>{1, 2, 3, 10, 12}));
  EXPECT_EQ(ReadId(peek, TMBIO_READ_FIRST), 12);
  EXPECT_EQ(ReadId(peek, TMBIO_READ_NEXT), TMBIO_READ_END);
  EXPECT_EQ(QDK_DeAllocEnv(other), 0);
}

TEST_F(WriteTest, ADisconnectRollsBackAndAFileClosedInATransactionStaysInIt) {
  ASSERT_GT(Insert(file_, Row(1, "kept", 1)), 0);
  TMBEnvironment* client = tmbtest::NewEnv(dir_.path());
  TMBSetEnvironmentOwner(client, 77);
  TMBFile* f = tmbtest::Open(client, "users");
  ASSERT_EQ(QDK_BeginTX(client), 0);
  ASSERT_GT(Insert(f, Row(2, "gone", 1)), 0);
  EXPECT_EQ(QDK_close(f), 0);  // still part of the transaction
  f = tmbtest::Open(client, "users");
  EXPECT_EQ(QDGetEnvMode(f, TMBIO_FILE_RECORDS), 2);
  QD_SocketClosed(77);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_RECORDS), 1);
  // And the file is free for others at once.
  EXPECT_GT(Insert(file_, Row(3, "next", 1)), 0);
}

TEST_F(WriteTest, ALockHeldByOneEnvironmentStopsAnother) {
  for (int i = 1; i <= 3; ++i) ASSERT_GT(Insert(file_, Row(i, "u" + std::to_string(i), 1)), 0);
  TMBEnvironment* holder = tmbtest::NewEnv(dir_.path());
  TMBSetEnvironmentOwner(holder, 91);
  TMBFile* h = tmbtest::Open(holder, "users");
  std::vector<uint8_t> key = {2, 0, 0, 0};
  ASSERT_EQ(QDK_seek(h, key.data(), 4, TMBIO_SEEK_EQUAL), 1);
  uint8_t buf[64];
  ASSERT_EQ(QDK_read(h, buf, sizeof buf, TMBIO_READ_POSITIONED | TMBIO_READ_LOCK), 32);
  EXPECT_EQ(QDGetEnvMode(holder, TMBIO_ENV_LOCKS), 1);

  // Others: update, update by key, remove and lock get -6; reads do not.
  Record r = Row(2, "mine", 5);
  ASSERT_EQ(QDK_seek(file_, key.data(), 4, TMBIO_SEEK_EQUAL), 1);
  ASSERT_EQ(QDK_read(file_, buf, sizeof buf, TMBIO_READ_POSITIONED), 32);
  EXPECT_EQ(QDK_ExtWrite(file_, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_UPDATE, 0), TMBIO_LOCKED);
  EXPECT_EQ(QDK_ExtWrite(file_, r.data(), r.size(), key.data(), 4, TMBIO_WRITE_UPSERT, 0), TMBIO_LOCKED);
  EXPECT_EQ(QDK_remove(file_, nullptr, 0), TMBIO_LOCKED);
  EXPECT_EQ(QDK_read(file_, buf, sizeof buf, TMBIO_READ_POSITIONED | TMBIO_READ_LOCK), TMBIO_LOCKED);
  EXPECT_EQ(QDK_ExtReadDirect(file_, buf, sizeof buf, TMBIO_OPTION_LOCK, 2, 0), TMBIO_LOCKED);
  EXPECT_EQ(QDK_ExtReadDirect(file_, buf, sizeof buf, 0, 2, 0), 32);
  // A refused lock leaves the reader where it was.
  ASSERT_EQ(QDK_setpos(file_, 1), 1);
  ASSERT_EQ(QDK_read(file_, buf, sizeof buf, TMBIO_READ_POSITIONED), 32);
  EXPECT_EQ(QDK_read(file_, buf, sizeof buf, TMBIO_READ_NEXT | TMBIO_READ_LOCK), TMBIO_LOCKED);
  EXPECT_EQ(ReadId(file_, TMBIO_READ_POSITIONED), 1);
  // The holder writes its own locked record.
  EXPECT_EQ(QDK_ExtWrite(h, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_UPDATE | 0, TMBIO_WRITE_KEEP_LOCK), 2);

  // Unlocks: by position, all, and the socket close.
  EXPECT_EQ(QDK_UnlockRecord(h, 3), 0);
  EXPECT_EQ(QDK_ExtReadDirect(h, buf, sizeof buf, TMBIO_OPTION_LOCK, 3, 0), 32);
  EXPECT_EQ(QDGetEnvMode(holder, TMBIO_ENV_LOCKS), 2);
  EXPECT_EQ(QDK_UnlockRecord(h, 3), 1);
  EXPECT_EQ(QDK_UnlockRecord(h, 3), 0);
  EXPECT_EQ(QDK_UnlockRecord(h, -2), TMBIO_INVALID);
  QD_SocketClosed(91);
  ASSERT_EQ(QDK_setpos(file_, 2), 1);
  ASSERT_EQ(QDK_read(file_, buf, sizeof buf, TMBIO_READ_POSITIONED | TMBIO_READ_LOCK), 32);
  EXPECT_EQ(QDK_ExtWrite(file_, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_UPDATE, 0), 2);
  EXPECT_EQ(QDK_UnlockRecord(file_, TMBIO_UNLOCK_ALL), 1);
}

TEST_F(WriteTest, ATransactionReservesTheFileForItsLockWait) {
  TMBEnvironment* other = tmbtest::NewEnv(dir_.path());
  TMBFile* o = tmbtest::Open(other, "users");
  QDSetEnvMode(other, TMBIO_ENV_LOCK_WAIT, 100);
  ASSERT_EQ(QDK_BeginTX(env_), 0);
  ASSERT_GT(Insert(file_, Row(1, "a", 1)), 0);
  EXPECT_EQ(Insert(o, Row(2, "b", 1)), TMBIO_BUSY);
  EXPECT_EQ(QDK_geterrno(o), 7);
  EXPECT_EQ(QDK_CommitTX(env_), 0);
  EXPECT_GT(Insert(o, Row(2, "b", 1)), 0);
  // Locks end with the transaction.
  ASSERT_EQ(QDK_BeginTX(env_), 0);
  ASSERT_EQ(QDK_ExtReadDirect(file_, nullptr, 0, TMBIO_OPTION_LOCK, 1, 0), TMBIO_FILLED);
  EXPECT_EQ(QDGetEnvMode(env_, TMBIO_ENV_LOCKS), 1);
  EXPECT_EQ(QDK_CommitTX(env_), 0);
  EXPECT_EQ(QDGetEnvMode(env_, TMBIO_ENV_LOCKS), 0);
  EXPECT_EQ(QDK_DeAllocEnv(other), 0);
}

TEST_F(WriteTest, DataOutlivesEveryHandle) {
  for (int i = 1; i <= 50; ++i) {
    ASSERT_GT(Insert(file_, Row(i, "p" + std::to_string(i), static_cast<uint16_t>(i % 4))), 0);
  }
  ASSERT_EQ(QDK_BeginTX(env_), 0);
  for (int i = 51; i <= 60; ++i) ASSERT_GT(Insert(file_, Row(i, "p" + std::to_string(i), 1)), 0);
  ASSERT_EQ(QDK_CommitTX(env_), 0);
  const auto before = Orders(file_);
  EXPECT_EQ(QDK_DeAllocEnv(env_), 0);
  env_ = nullptr;
  EXPECT_EQ(GetNumOpenFiles(), 0);

  env_ = tmbtest::NewEnv(dir_.path());
  file_ = tmbtest::Open(env_, "users", TMBIO_OPEN_READ_ONLY);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_RECORDS), 60);
  EXPECT_EQ(Orders(file_), before);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_FLAGS), TMBIO_FILE_FLAG_VARIABLE | TMBIO_FILE_FLAG_READ_ONLY);
  EXPECT_EQ(Insert(file_, Row(61, "no", 1)), TMBIO_DENIED);
}

TEST_F(WriteTest, ExclusiveOpensAndMissingFiles) {
  int32_t error = 0;
  EXPECT_EQ(QDK_OpenExt(env_, "users", nullptr, 0, TMBIO_OPEN_EXCLUSIVE, &error), nullptr);
  EXPECT_EQ(error, 9);
  EXPECT_EQ(QDK_OpenExt(env_, "nothere", nullptr, 0, 0, &error), nullptr);
  EXPECT_EQ(error, 13);
  EXPECT_EQ(QDK_OpenExt(env_, "users", nullptr, 0, 8, &error), nullptr);
  EXPECT_EQ(error, 3);
  TMBFile* o = tmbtest::Open(env_, "orders", TMBIO_OPEN_EXCLUSIVE);
  TMBEnvironment* other = tmbtest::NewEnv(dir_.path());
  EXPECT_EQ(QDK_OpenExt(other, "orders", nullptr, 0, 0, &error), nullptr);
  EXPECT_EQ(error, 9);
  EXPECT_EQ(QDK_close(o), 0);
  EXPECT_NE(tmbtest::Open(other, "orders"), nullptr);
  // Something that is no data file.
  { FILE* junk = fopen(dir_.File("junk.tmb").c_str(), "w"); fputs("not a database, not at all", junk); fclose(junk); }
  EXPECT_EQ(QDK_OpenExt(other, "junk", nullptr, 0, 0, &error), nullptr);
  EXPECT_EQ(error, 14);
  EXPECT_EQ(QDK_DeAllocEnv(other), 0);
}

TEST_F(WriteTest, TwoThreadsWritingOneFileLoseNothing) {
  constexpr int kPerThread = 10000;
  constexpr int kBatch = 100;
  std::atomic<int> failures{0};
  auto writer = [&](int thread) {
    TMBEnvironment* env = tmbtest::NewEnv(dir_.path());
    QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 30000);
    TMBFile* f = tmbtest::Open(env, "orders");
    for (int b = 0; b < kPerThread / kBatch; ++b) {
      // Transactions of a hundred records; in every tenth batch the first
      // ten records are written alone, so that lone writes meet the other
      // thread's transactions too.
      const int alone = b % 10 == 9 ? 10 : 0;
      for (int i = 0; i < kBatch; ++i) {
        if (i == alone && QDK_BeginTX(env) != 0) ++failures;
        const int id = thread * kPerThread + b * kBatch + i + 1;
        if (Insert(f, Row(id, "t" + std::to_string(id), static_cast<uint16_t>(id % 7))) <= 0) ++failures;
      }
      if (QDK_CommitTX(env) != 0) ++failures;
    }
    EXPECT_EQ(QDK_DeAllocEnv(env), 0);
  };
  std::thread a(writer, 0), b(writer, 1);
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0);
  TMBFile* f = tmbtest::Open(env_, "orders");
  EXPECT_EQ(QDGetEnvMode(f, TMBIO_FILE_RECORDS), 2 * kPerThread);
  EXPECT_EQ(tmbtest::Problems(dir_.File("orders.tmb")), "");
}

// Writes committed alone by many environments at once are made durable in
// groups: each returns after a sync that covers it, a refused write leaves
// the others of its group as they were, and each environment's writes land
// in the order it made them; a transaction beside them commits whole.
TEST_F(WriteTest, WritesCommittedAloneAtOnceShareSyncsAndFailAlone) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 40;
  TMBFile* orders = tmbtest::Open(env_, "orders");
  ASSERT_NE(orders, nullptr);
  // A lone writer leads its own sync for every write: nothing to share.
  const int64_t lone_before = GetNumLogSyncs();
  for (int i = 1; i <= 3; ++i) ASSERT_GT(Insert(orders, Row(50000 + i, "taken" + std::to_string(i), 9)), 0);
  EXPECT_EQ(GetNumLogSyncs() - lone_before, 3);

  std::atomic<int> failures{0};
  std::vector<std::vector<int32_t>> acknowledged(kThreads);
  const int64_t before = GetNumLogSyncs();
  auto writer = [&](int thread) {
    TMBEnvironment* env = tmbtest::NewEnv(dir_.path());
    QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 60000);
    TMBFile* f = tmbtest::Open(env, "orders");
    for (int i = 0; f != nullptr && i < kPerThread; ++i) {
      const int32_t id = thread * 1000 + i + 1;
      // Every eighth write takes an address already taken: refused alone.
      const bool refused = i % 8 == 5;
      const std::string email = refused ? "TAKEN" + std::to_string(1 + i % 3) : "w" + std::to_string(id);
      const int32_t status = Insert(f, Row(id, email, static_cast<uint16_t>(thread)));
      if (refused ? status != TMBIO_DUPLICATE : status <= 0) ++failures;
      if (status > 0) acknowledged[static_cast<size_t>(thread)].push_back(id);
    }
    EXPECT_EQ(QDK_DeAllocEnv(env), 0);
  };
  auto transactions = [&] {
    TMBEnvironment* env = tmbtest::NewEnv(dir_.path());
    QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 60000);
    TMBFile* f = tmbtest::Open(env, "orders");
    for (int b = 0; f != nullptr && b < 10; ++b) {
      if (QDK_BeginTX(env) != 0) ++failures;
      for (int i = 0; i < 5; ++i) {
        const int32_t id = 100000 + b * 10 + i;
        if (Insert(f, Row(id, "x" + std::to_string(id), 99)) <= 0) ++failures;
      }
      if (QDK_CommitTX(env) != 0) ++failures;
    }
    EXPECT_EQ(QDK_DeAllocEnv(env), 0);
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(writer, t);
  threads.emplace_back(transactions);
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  const int64_t syncs = GetNumLogSyncs() - before;
  size_t alone = 0;
  for (const auto& ids : acknowledged) alone += ids.size();
  EXPECT_EQ(alone, static_cast<size_t>(kThreads * (kPerThread - kPerThread / 8)));
  // At least one sync, and never more than one per write.
  EXPECT_GE(syncs, 1);
  EXPECT_LE(syncs, static_cast<int64_t>(alone));

  // In position order (the order of the commits), each thread's ids rise.
  QDK_RawReadMode(orders, 1);
  std::vector<std::vector<int32_t>> landed(kThreads);
  size_t total = 0;
  for (int32_t s = ReadId(orders, TMBIO_READ_FIRST); s != TMBIO_END; s = ReadId(orders, TMBIO_READ_NEXT)) {
    ASSERT_GT(s, 0);
    ++total;
    if (s < kThreads * 1000) landed[static_cast<size_t>(s / 1000)].push_back(s);
  }
  EXPECT_EQ(total, 3 + alone + 50);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(landed[static_cast<size_t>(t)], acknowledged[static_cast<size_t>(t)]) << "thread " << t;
  }
}

// A file set back to a rollback journal with the sqlite3 tool has no log to
// sync: its writes committed alone still succeed, and land.
TEST_F(WriteTest, AFileWithoutAWriteAheadLogTakesWritesCommittedAlone) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir_.File("orders.tmb").c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  TMBFile* f = tmbtest::Open(env_, "orders");
  ASSERT_NE(f, nullptr);
  for (int id = 1; id <= 3; ++id) {
    EXPECT_GT(Insert(f, Row(id, "j" + std::to_string(id), 1)), 0) << id;
  }
  EXPECT_EQ(QDGetEnvMode(f, TMBIO_FILE_RECORDS), 3);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("orders.tmb-wal")));
}

TEST_F(WriteTest, ManySessionsComeAndGoAtOnce) {
  // Sessions as the server runs them: each thread opens an environment,
  // reads, writes and locks, looks objects up by id, and ends with a socket
  // close, while the others do the same on the same file.
  constexpr int kThreads = 4;
  constexpr int kRounds = 15;
  std::atomic<int> failures{0};
  std::atomic<int> written{0};
  auto session = [&](int thread) {
    for (int round = 0; round < kRounds; ++round) {
      const uint64_t socket = 1000 + static_cast<uint64_t>(thread * kRounds + round);
      TMBEnvironment* env = tmbtest::NewEnv(dir_.path());
      TMBSetEnvironmentOwner(env, socket);
      QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 30000);
      if (GetLocalEnvironmentById(env->id) != env) ++failures;
      TMBFile* f = tmbtest::Open(env, "orders");
      if (f == nullptr || GetLocalFileById(f->id) != f) {
        ++failures;
        QD_SocketClosed(socket);
        continue;
      }
      const int id = thread * 10000 + round * 10;
      const bool tx = round % 2 == 0;
      if (tx) QDK_BeginTX(env);
      for (int i = 0; i < 3; ++i) {
        if (Insert(f, Row(id + i, "s" + std::to_string(id + i), 1)) > 0) ++written; else ++failures;
      }
      // A lock on the first of them, and reads in both directions.
      uint8_t buf[64];
      std::vector<uint8_t> key = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8),
                                  static_cast<uint8_t>(id >> 16), 0};
      if (QDK_seek(f, key.data(), 4, TMBIO_SEEK_EQUAL) != 1 ||
          QDK_read(f, buf, sizeof buf, TMBIO_READ_POSITIONED | TMBIO_READ_LOCK) != 32) {
        ++failures;
      }
      for (int i = 0; i < 20 && QDK_read(f, buf, sizeof buf, TMBIO_READ_NEXT) > 0; ++i) {
      }
      for (int i = 0; i < 20 && QDK_read(f, buf, sizeof buf, TMBIO_READ_PREVIOUS) > 0; ++i) {
      }
      if (GetNumConnections() < 1 || GetNumOpenFiles() < 1) ++failures;
      if (!tx && round % 3 == 0) QDK_BeginTX(env);  // left open: the close rolls it back
      if (tx) QDK_CommitTX(env);
      QD_SocketClosed(socket);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(session, t);
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  TMBFile* f = tmbtest::Open(env_, "orders");
  EXPECT_EQ(QDGetEnvMode(f, TMBIO_FILE_RECORDS), written.load());
  EXPECT_EQ(QDGetEnvMode(env_, TMBIO_ENV_LOCKS), 0);
}

}  // namespace
