// The other reads: restricted reads with conditions, bounds and scan limits,
// first reads, direct reads, the dictionary and the block-read modes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/tmbio/test_util.h"
#include "tmbio/tmbio.h"

namespace {

using tmbtest::Record;

// id int4 @0, city char10 @4, amount int4 @14, flags uint1 @18; 20 bytes.
const char* kSchema = R"({
  "record_length": 20,
  "fields": [
    {"name": "id", "type": "int", "offset": 0, "length": 4},
    {"name": "city", "type": "char", "offset": 4, "length": 10},
    {"name": "amount", "type": "int", "offset": 14, "length": 4},
    {"name": "flags", "type": "uint", "offset": 18, "length": 1}
  ],
  "keys": [
    {"name": "by_id", "segments": [{"field": "id"}]},
    {"name": "by_city", "unique": false, "segments": [{"field": "city", "nocase": true}, {"field": "id"}]}
  ]})";

const char* kCities[] = {"Paris", "Lyon", "paris", "Nice", "Lille", "PARIS", "Nantes", "Lyon"};

class ReadModesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmbtest::MakeFile(dir_.path(), "sales", kSchema);
    env_ = tmbtest::NewEnv(dir_.path());
    file_ = tmbtest::Open(env_, "sales");
    ASSERT_NE(file_, nullptr);
    // ids 1..40; amount = id * 10 - 200 (negative for the first 19).
    for (int id = 1; id <= 40; ++id) {
      Record r(20);
      r.Int(0, id, 4).Text(4, kCities[id % 8], 10).Int(14, id * 10 - 200, 4).Int(18, id % 3, 1);
      ASSERT_EQ(QDK_ExtWrite(file_, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0), id);
    }
  }
  void TearDown() override { EXPECT_EQ(QDK_DeAllocEnv(env_), 0); }

  int32_t Condition(int32_t offset, int32_t length, int32_t op, int32_t cmp, const std::string& text) {
    TMBRestriction r{};
    r.value1 = offset;
    r.value2 = length;
    r.value3 = op;
    r.value4 = cmp;
    r.text = text.c_str();
    r.text_length = static_cast<int32_t>(text.size());
    return QDK_PutRestrictInfo(file_, TMBIO_RESTRICT_ADD, &r);
  }

  int32_t ScanLimit(int32_t n) {
    TMBRestriction r{};
    r.value1 = n;
    return QDK_PutRestrictInfo(file_, TMBIO_RESTRICT_SCAN_LIMIT, &r);
  }

  // Ids that restricted reads give, from `mode` then on in its direction.
  std::vector<int32_t> Restricted(int32_t mode, const std::vector<uint8_t>& bound = {},
                                  int32_t* last_status = nullptr) {
    std::vector<int32_t> ids;
    uint8_t rec[20], key[256];
    uint8_t key_length = 0;
    int32_t value = 0;
    const int32_t next = (mode == TMBIO_READ_PREVIOUS || mode == TMBIO_READ_LAST) ? TMBIO_READ_PREVIOUS
                                                                                  : TMBIO_READ_NEXT;
    int32_t s;
    for (s = QDK_RestrictedRead(file_, rec, 20, mode, key, &key_length, &value, bound.data(),
                                static_cast<uint8_t>(bound.size()), 0);
         s > 0; s = QDK_RestrictedRead(file_, rec, 20, next, key, &key_length, &value, bound.data(),
                                       static_cast<uint8_t>(bound.size()), 0)) {
      EXPECT_EQ(s, 20);
      const int32_t id = static_cast<int32_t>(tmbtest::ReadInt(rec, 4));
      EXPECT_EQ(value, id);  // positions follow ids here
      EXPECT_EQ(key_length, file_->current_key == 1 ? 4 : 14);
      ids.push_back(id);
    }
    if (last_status != nullptr) *last_status = s;
    return ids;
  }

  tmbtest::ScratchDir dir_;
  TMBEnvironment* env_ = nullptr;
  TMBFile* file_ = nullptr;
};

TEST_F(ReadModesTest, ConditionsOfEveryComparison) {
  // Signed: amount > 100 and amount <= 150 gives ids 31..35.
  EXPECT_EQ(Condition(14, 4, TMBIO_OP_GREATER, TMBIO_CMP_SIGNED, "100"), 1);
  EXPECT_EQ(Condition(14, 4, TMBIO_OP_LESS_EQUAL, TMBIO_CMP_SIGNED, " 150 "), 2);
  EXPECT_EQ(Restricted(TMBIO_READ_FIRST), (std::vector<int32_t>{31, 32, 33, 34, 35}));
  EXPECT_EQ(Restricted(TMBIO_READ_LAST), (std::vector<int32_t>{35, 34, 33, 32, 31}));
  // Negative numbers compare as numbers.
  EXPECT_EQ(QDK_PutRestrictInfo(file_, TMBIO_RESTRICT_CLEAR, nullptr), 0);
  EXPECT_EQ(Condition(14, 4, TMBIO_OP_LESS, TMBIO_CMP_SIGNED, "-170"), 1);
  EXPECT_EQ(Restricted(TMBIO_READ_FIRST), (std::vector<int32_t>{1, 2}));
  // Unsigned byte, not equal.
  EXPECT_EQ(QDK_PutRestrictInfo(file_, TMBIO_RESTRICT_CLEAR, nullptr), 0);
  EXPECT_EQ(Condition(18, 1, TMBIO_OP_EQUAL, TMBIO_CMP_UNSIGNED, "0"), 1);
  EXPECT_EQ(Condition(0, 4, TMBIO_OP_NOT_EQUAL, TMBIO_CMP_SIGNED, "3"), 2);
  EXPECT_EQ(Restricted(TMBIO_READ_FIRST).front(), 6);
  // Text ignoring case and trailing blanks: every Paris.
  EXPECT_EQ(QDK_PutRestrictInfo(file_, TMBIO_RESTRICT_CLEAR, nullptr), 0);
  EXPECT_EQ(Condition(4, 10, TMBIO_OP_EQUAL, TMBIO_CMP_NOCASE, "PaRiS"), 1);
  EXPECT_EQ(Restricted(TMBIO_READ_FIRST).size(), 15u);  // id % 8 in {0, 2, 5}
  // Bytes: "Paris" exactly (padded to the field with zero bytes, so the
  // blanks of the record must be sent).
  EXPECT_EQ(QDK_PutRestrictInfo(file_, TMBIO_RESTRICT_CLEAR, nullptr), 0);
  EXPECT_EQ(Condition(4, 10, TMBIO_OP_EQUAL, TMBIO_CMP_BYTES, "Paris     "), 1);
  EXPECT_EQ(Restricted(TMBIO_READ_FIRST), (std::vector<int32_t>{8, 16, 24, 32, 40}));
  // Contains and begins with.
  EXPECT_EQ(QDK_PutRestrictInfo(file_, TMBIO_RESTRICT_CLEAR, nullptr), 0);
  EXPECT_EQ(Condition(4, 10, TMBIO_OP_CONTAINS, TMBIO_CMP_NOCASE, "ANT"), 1);
  EXPECT_EQ(Restricted(TMBIO_READ_FIRST), (std::vector<int32_t>{6, 14, 22, 30, 38}));
  EXPECT_EQ(QDK_PutRestrictInfo(file_, TMBIO_RESTRICT_CLEAR, nullptr), 0);
  EXPECT_EQ(Condition(4, 10, TMBIO_OP_BEGINS, TMBIO_CMP_BYTES, "Li"), 1);
  EXPECT_EQ(Restricted(TMBIO_READ_FIRST), (std::vector<int32_t>{4, 12, 20, 28, 36}));

  // Refused conditions, and the limit of 16.
  EXPECT_EQ(Condition(18, 4, TMBIO_OP_EQUAL, TMBIO_CMP_BYTES, "x"), TMBIO_INVALID);  // past the record
  EXPECT_EQ(Condition(14, 3, TMBIO_OP_EQUAL, TMBIO_CMP_SIGNED, "1"), TMBIO_INVALID);
  EXPECT_EQ(Condition(14, 4, TMBIO_OP_EQUAL, TMBIO_CMP_SIGNED, "1x"), TMBIO_INVALID);
  EXPECT_EQ(Condition(14, 4, TMBIO_OP_CONTAINS, TMBIO_CMP_SIGNED, "1"), TMBIO_INVALID);
  EXPECT_EQ(Condition(14, 4, 9, TMBIO_CMP_BYTES, "1"), TMBIO_INVALID);
  EXPECT_EQ(Condition(14, 4, TMBIO_OP_EQUAL, 4, "1"), TMBIO_INVALID);
  EXPECT_EQ(Condition(14, 0, TMBIO_OP_EQUAL, TMBIO_CMP_BYTES, "1"), TMBIO_INVALID);
  EXPECT_EQ(QDK_PutRestrictInfo(file_, 3, nullptr), TMBIO_INVALID);
  for (int i = 2; i <= 16; ++i) EXPECT_EQ(Condition(0, 4, TMBIO_OP_GREATER, TMBIO_CMP_SIGNED, "0"), i);
  EXPECT_EQ(Condition(0, 4, TMBIO_OP_GREATER, TMBIO_CMP_SIGNED, "0"), TMBIO_LIMIT);
}

TEST_F(ReadModesTest, BoundsAndScanLimitsStopTheRead) {
  // Key 2: city ignoring case, then id. Bound "LYON" on 4 bytes going forward
  // from the first: Lille x5, then Lyon x10, then Nantes passes the bound.
  ASSERT_EQ(QDK_keyadjust(file_, nullptr, 0, 2), 1);
  int32_t status = 0;
  std::vector<uint8_t> bound = {'L', 'Y', 'O', 'N'};
  std::vector<int32_t> ids = Restricted(TMBIO_READ_FIRST, bound, &status);
  EXPECT_EQ(status, TMBIO_STOP);
  EXPECT_EQ(ids.size(), 15u);
  // Backward from the last with bound "PARIS": every Paris, then Nice stops.
  bound = {'P', 'A', 'R', 'I', 'S'};
  ids = Restricted(TMBIO_READ_LAST, bound, &status);
  EXPECT_EQ(status, TMBIO_STOP);
  EXPECT_EQ(ids.size(), 15u);
  // A bound that nothing passes reads to the end.
  bound = {'Z'};
  ids = Restricted(TMBIO_READ_FIRST, bound, &status);
  EXPECT_EQ(status, TMBIO_END);
  EXPECT_EQ(ids.size(), 40u);

  // The scan limit counts records examined per read.
  ASSERT_EQ(QDK_keyadjust(file_, nullptr, 0, 1), 1);
  EXPECT_EQ(Condition(4, 10, TMBIO_OP_EQUAL, TMBIO_CMP_NOCASE, "nice"), 1);  // ids 3, 11, 19...
  EXPECT_EQ(ScanLimit(5), 5);
  ids = Restricted(TMBIO_READ_FIRST, {}, &status);
  // From 1: 1, 2, 3 finds 3; from 4 the next Nice (11) lies 8 records on.
  EXPECT_EQ(ids, (std::vector<int32_t>{3}));
  EXPECT_EQ(status, TMBIO_STOP);
  EXPECT_EQ(ScanLimit(8), 8);
  EXPECT_EQ(Restricted(TMBIO_READ_FIRST, {}, &status), (std::vector<int32_t>{3, 11, 19, 27, 35}));
  EXPECT_EQ(status, TMBIO_END);
  EXPECT_EQ(QDK_PutRestrictInfo(file_, TMBIO_RESTRICT_CLEAR, nullptr), 0);
  EXPECT_EQ(Restricted(TMBIO_READ_FIRST).size(), 40u);
}

TEST_F(ReadModesTest, FirstReadsSeekThenReadOnRestricted) {
  ASSERT_EQ(QDK_keyadjust(file_, nullptr, 0, 1), 1);
  uint8_t rec[20], key[256];
  uint8_t key_length = 0;
  int32_t value = 0;
  const uint8_t from[4] = {10, 0, 0, 0};
  EXPECT_EQ(Condition(18, 1, TMBIO_OP_EQUAL, TMBIO_CMP_UNSIGNED, "2"), 1);  // id % 3 == 2
  // Greater or equal 10: 10 is not id%3==2, 11 is.
  EXPECT_EQ(QDK_read_FIRST(file_, rec, 20, TMBIO_SEEK_GE, key, &key_length, &value, nullptr, 0, from, 4), 20);
  EXPECT_EQ(tmbtest::ReadInt(rec, 4), 11);
  EXPECT_EQ(key_length, 4);
  EXPECT_EQ(tmbtest::ReadInt(key, 4), 11);
  EXPECT_EQ(value, 11);
  EXPECT_EQ(QDK_getpos(file_), 11);
  // Less than 10, going backward: 8.
  EXPECT_EQ(QDK_read_FIRST(file_, rec, 20, TMBIO_SEEK_LT, key, &key_length, &value, nullptr, 0, from, 4), 20);
  EXPECT_EQ(tmbtest::ReadInt(rec, 4), 8);
  // No key: from the first or the last; a bound stops it (id 1 is not
  // past the bound 1, id 2 is, before any record met the condition).
  const uint8_t bound[4] = {1, 0, 0, 0};
  EXPECT_EQ(QDK_read_FIRST(file_, rec, 20, TMBIO_SEEK_FIRST, key, &key_length, &value, bound, 4, nullptr, 0),
            TMBIO_STOP);
  EXPECT_EQ(QDK_read_FIRST(file_, rec, 20, TMBIO_SEEK_FIRST, key, &key_length, &value, bound, 1, nullptr, 0),
            TMBIO_INVALID);  // half an integer
  EXPECT_EQ(QDK_read_FIRST(file_, rec, 20, TMBIO_SEEK_LAST, key, &key_length, &value, nullptr, 0, nullptr, 0), 20);
  EXPECT_EQ(tmbtest::ReadInt(rec, 4), 38);
  // Equal with nothing equal finds nothing; a small record buffer fills.
  const uint8_t none[4] = {99, 0, 0, 0};
  EXPECT_EQ(QDK_read_FIRST(file_, rec, 20, TMBIO_SEEK_EQUAL, key, &key_length, &value, nullptr, 0, none, 4),
            TMBIO_END);
  EXPECT_EQ(QDK_read_FIRST(file_, rec, 6, TMBIO_SEEK_GE, key, &key_length, &value, nullptr, 0, from, 4),
            TMBIO_FILLED);
  EXPECT_EQ(QDK_read_FIRST(file_, rec, 20, 8, key, &key_length, &value, nullptr, 0, from, 4), TMBIO_INVALID);
}

TEST_F(ReadModesTest, DirectReadsFromAnOffset) {
  uint8_t buf[32];
  EXPECT_EQ(QDK_ExtReadDirect(file_, buf, sizeof buf, 0, 7, 0), 20);
  EXPECT_EQ(tmbtest::ReadInt(buf, 4), 7);
  EXPECT_EQ(QDK_getpos(file_), 7);
  EXPECT_EQ(QDK_ExtReadDirect(file_, buf, sizeof buf, 0, 7, 14), 6);
  EXPECT_EQ(tmbtest::ReadInt(buf, 4), 7 * 10 - 200);
  EXPECT_EQ(QDK_ExtReadDirect(file_, buf, 4, 0, 7, 4), TMBIO_FILLED);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "Lyon");
  EXPECT_EQ(QDK_ExtReadDirect(file_, buf, sizeof buf, 0, 7, 20), 0);
  EXPECT_EQ(QDK_ExtReadDirect(file_, buf, sizeof buf, 0, 7, 21), TMBIO_INVALID);
  EXPECT_EQ(QDK_ExtReadDirect(file_, buf, sizeof buf, 0, 41, 0), TMBIO_END);
  EXPECT_EQ(QDK_ExtReadDirect(file_, buf, sizeof buf, 2, 7, 0), TMBIO_INVALID);
  EXPECT_EQ(QDK_ExtReadDirect(file_, nullptr, 0, 0, 9, 0), TMBIO_FILLED);
  // The record read directly is current, and reads go on from it.
  uint8_t rec[20];
  EXPECT_EQ(QDK_read(file_, rec, 20, TMBIO_READ_NEXT), 20);
  EXPECT_EQ(tmbtest::ReadInt(rec, 4), 10);
}

TEST_F(ReadModesTest, DictionaryEntries) {
  uint8_t buf[16];
  EXPECT_EQ(QDK_dict(file_, 3, buf, sizeof buf), TMBIO_END);
  EXPECT_EQ(QDK_dict_add(file_, 3, "hello", 5), 0);
  EXPECT_EQ(QDK_dict(file_, 3, buf, sizeof buf), 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "hello");
  EXPECT_EQ(QDK_dict(file_, 3, buf, 2), TMBIO_FILLED);
  EXPECT_EQ(QDK_dict_add(file_, 3, "bye", 3), 0);  // replaces
  EXPECT_EQ(QDK_dict(file_, 3, buf, sizeof buf), 3);
  EXPECT_EQ(QDK_dict_add(file_, 4, nullptr, 0), 0);  // empty entries exist
  EXPECT_EQ(QDK_dict(file_, 4, buf, sizeof buf), 0);
  EXPECT_EQ(QDK_dict_add(file_, -1, "x", 1), TMBIO_INVALID);
  EXPECT_EQ(QDK_dict_add(file_, 5, "x", -1), TMBIO_BAD_LENGTH);
  EXPECT_EQ(QDK_dict(file_, 3, nullptr, 5), TMBIO_INVALID);
  // A rolled-back transaction takes its entries with it.
  ASSERT_EQ(QDK_BeginTX(env_), 0);
  EXPECT_EQ(QDK_dict_add(file_, 9, "tx", 2), 0);
  EXPECT_EQ(QDK_dict(file_, 9, buf, sizeof buf), 2);
  ASSERT_EQ(QDK_RollbackTX(env_), 0);
  EXPECT_EQ(QDK_dict(file_, 9, buf, sizeof buf), TMBIO_END);
  TMBFileDescription d{};
  EXPECT_EQ(QDDescribeFile(file_, &d), 1);
  EXPECT_EQ(d.values[11], 2);
}

TEST_F(ReadModesTest, BlockReadModesAndTheCells) {
  // Key 2's value is 14 bytes, the longest key of the file.
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_KEY_ROOM), 14);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_SLOT_KEY_ROOM), 4);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_BLOCK_RECORDS), 256);  // 65536 / 27 > 256
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_RECORD_BASE), 20);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_RECORD_EXTRA), 0);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_NO_BLOCK_READS), 0);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_KEY_COUNT), 2);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_FLAGS), 0);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_KIND), 21);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_RECORDS), 40);
  EXPECT_EQ(QDSetEnvMode(file_, TMBIO_FILE_CURRENT_KEY, 2), 1);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_SLOT_KEY_ROOM), 14);
  EXPECT_EQ(QDSetEnvMode(file_, TMBIO_FILE_CURRENT_KEY, 3), TMBIO_INVALID);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_LAST_KEY_LENGTH), 0);
  uint8_t rec[20];
  ASSERT_EQ(QDK_read(file_, rec, 20, TMBIO_READ_FIRST), 20);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_LAST_KEY_LENGTH), 14);
  EXPECT_EQ(memcmp(reinterpret_cast<const void*>(QDGetEnvMode(file_, TMBIO_FILE_LAST_KEY)), "Lille", 5), 0);
  // The server's cell and the client's value are kept apart.
  void** cell = reinterpret_cast<void**>(QDGetEnvMode(file_, TMBIO_FILE_CELL));
  EXPECT_EQ(cell, &file_->server_cell);
  EXPECT_EQ(QDSetEnvMode(file_, TMBIO_FILE_CELL, 1234), 0);
  EXPECT_EQ(QDSetEnvMode(file_, TMBIO_FILE_CELL, 99), 1234);
  EXPECT_EQ(file_->server_cell, nullptr);
  EXPECT_EQ(QDGetEnvMode(file_, 5), TMBIO_UNKNOWN_MODE);
  EXPECT_EQ(QDSetEnvMode(file_, TMBIO_FILE_RECORDS, 1), TMBIO_UNKNOWN_MODE);

  // A file with a variable part refuses block reads and counts it in.
  tmbtest::MakeFile(dir_.path(), "notes", R"({"record_length": 100, "variable_length": 900,
      "keys": [{"name": "k", "segments": [{"offset": 0, "length": 8, "type": "uint"}]}]})");
  TMBFile* notes = tmbtest::Open(env_, "notes");
  EXPECT_EQ(QDGetEnvMode(notes, TMBIO_FILE_NO_BLOCK_READS), 1);
  EXPECT_EQ(QDGetEnvMode(notes, TMBIO_FILE_BLOCK_RECORDS), 65536 / (100 + 900 + 8 + 3));
  EXPECT_EQ(QDGetEnvMode(notes, TMBIO_FILE_FLAGS), TMBIO_FILE_FLAG_VARIABLE);
}

}  // namespace
