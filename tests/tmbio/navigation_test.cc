// Navigation: every key order forward and backward (duplicates, ignoring
// case, signed integers, descending and sparse segments), seeks with whole
// and partial keys, positions, current-key changes, raw order and the key
// tables of an open file.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "tests/tmbio/test_util.h"
#include "tmbio/tmbio.h"

namespace {

using tmbtest::Record;

// id int4 @0, name char12 @4, score int2 @16, code uint4 @18, tag char8 @22;
// record 32 bytes.
const char* kSchema = R"({
  "description": "People", "kind": 21, "record_length": 32,
  "fields": [
    {"name": "id", "type": "int", "offset": 0, "length": 4},
    {"name": "name", "type": "char", "offset": 4, "length": 12},
    {"name": "score", "type": "int", "offset": 16, "length": 2},
    {"name": "code", "type": "uint", "offset": 18, "length": 4},
    {"name": "tag", "type": "char", "offset": 22, "length": 8}
  ],
  "keys": [
    {"name": "by_id", "unique": true, "segments": [{"field": "id"}]},
    {"name": "by_name", "unique": false, "segments": [{"field": "name", "nocase": true}]},
    {"name": "by_score", "unique": false, "segments": [{"field": "score"}]},
    {"name": "by_score_desc", "unique": false,
     "segments": [{"field": "score", "descending": true}, {"field": "id"}]},
    {"name": "by_tag", "unique": false, "segments": [{"field": "tag", "sparse": true}]},
    {"name": "by_code", "unique": false, "segments": [{"field": "code"}]}
  ]})";

struct Person {
  int32_t id;
  std::string name;
  int16_t score;
  uint32_t code;
  std::string tag;
  int32_t pos = 0;
};

Record Make(const Person& p) {
  Record r(32);
  r.Int(0, p.id, 4).Text(4, p.name, 12).Int(16, p.score, 2).Int(18, p.code, 4).Text(22, p.tag, 8);
  return r;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

class NavigationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmbtest::MakeFile(dir_.path(), "people", kSchema);
    env_ = tmbtest::NewEnv(dir_.path());
    file_ = tmbtest::Open(env_, "people");
    ASSERT_NE(file_, nullptr);
    // Duplicates in every duplicate key, mixed case, negative scores, codes
    // above 2^31, records left out of the sparse key.
    people_ = {{5, "smith", -3, 7u, "red"},        {2, "Adams", 10, 3000000000u, ""},
               {9, "SMITH", 10, 7u, "blue"},       {1, "baker", -300, 1u, ""},
               {7, "Smith", 0, 4000000000u, "red"}, {3, "adams", -3, 2u, "green"},
               {8, "Zed", 32767, 0u, "blue"},      {4, "carter", -32768, 5u, ""}};
    for (Person& p : people_) {
      Record r = Make(p);
      p.pos = QDK_ExtWrite(file_, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0);
      ASSERT_GT(p.pos, 0);
    }
  }
  void TearDown() override { EXPECT_EQ(QDK_DeAllocEnv(env_), 0); }

  // Ids in the order of key `key` (the people the key holds).
  std::vector<int32_t> Expected(int key) const {
    std::vector<Person> v;
    for (const Person& p : people_) {
      if (key == 5 && p.tag.empty()) continue;
      v.push_back(p);
    }
    auto by = [key](const Person& p) {
      switch (key) {
        case 1:
          return std::make_tuple(std::string(), int64_t{p.id}, int64_t{0}, p.pos);
        case 2:
          return std::make_tuple(Upper(p.name), int64_t{0}, int64_t{0}, p.pos);
        case 3:
          return std::make_tuple(std::string(), int64_t{p.score}, int64_t{0}, p.pos);
        case 4:
          return std::make_tuple(std::string(), int64_t{-p.score}, int64_t{p.id}, p.pos);
        case 5:
          return std::make_tuple(p.tag, int64_t{0}, int64_t{0}, p.pos);
        default:
          return std::make_tuple(std::string(), int64_t{p.code}, int64_t{0}, p.pos);
      }
    };
    std::sort(v.begin(), v.end(), [&](const Person& a, const Person& b) { return by(a) < by(b); });
    std::vector<int32_t> ids;
    for (const Person& p : v) ids.push_back(p.id);
    return ids;
  }

  int32_t IdAt(int32_t mode) {
    uint8_t buf[64];
    int32_t n = QDK_read(file_, buf, sizeof buf, mode);
    if (n < 0) return n;
    EXPECT_EQ(n, 32);
    return static_cast<int32_t>(tmbtest::ReadInt(buf, 4));
  }

  std::vector<int32_t> Walk(bool forward) {
    std::vector<int32_t> ids;
    int32_t id = IdAt(forward ? TMBIO_READ_FIRST : TMBIO_READ_LAST);
    while (id > 0) {
      ids.push_back(id);
      id = IdAt(forward ? TMBIO_READ_NEXT : TMBIO_READ_PREVIOUS);
    }
    EXPECT_EQ(id, TMBIO_END);
    return ids;
  }

  int32_t Seek(const std::vector<uint8_t>& key, int32_t mode) {
    return QDK_seek(file_, key.data(), static_cast<int32_t>(key.size()), mode);
  }

  tmbtest::ScratchDir dir_;
  TMBEnvironment* env_ = nullptr;
  TMBFile* file_ = nullptr;
  std::vector<Person> people_;
};

std::vector<uint8_t> Le(int64_t v, size_t n) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
  return b;
}

std::vector<uint8_t> Padded(const std::string& s, size_t n) {
  std::vector<uint8_t> b(n, ' ');
  std::copy(s.begin(), s.end(), b.begin());
  return b;
}

TEST_F(NavigationTest, EveryKeyOrderForwardAndBackward) {
  for (int key = 1; key <= 6; ++key) {
    SCOPED_TRACE("key " + std::to_string(key));
    ASSERT_EQ(QDK_keyadjust(file_, nullptr, 0, key), 1);
    std::vector<int32_t> want = Expected(key);
    EXPECT_EQ(Walk(true), want);
    std::reverse(want.begin(), want.end());
    EXPECT_EQ(Walk(false), want);
  }
}

TEST_F(NavigationTest, DirectionChangesAndEndsOfTheOrder) {
  ASSERT_EQ(QDK_keyadjust(file_, nullptr, 0, 2), 1);
  const std::vector<int32_t> order = Expected(2);
  EXPECT_EQ(IdAt(TMBIO_READ_FIRST), order[0]);
  EXPECT_EQ(IdAt(TMBIO_READ_NEXT), order[1]);
  EXPECT_EQ(IdAt(TMBIO_READ_NEXT), order[2]);
  EXPECT_EQ(IdAt(TMBIO_READ_PREVIOUS), order[1]);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), order[1]);
  EXPECT_EQ(IdAt(TMBIO_READ_NEXT), order[2]);
  // Off the start: before the first, from where next gives the first.
  EXPECT_EQ(IdAt(TMBIO_READ_FIRST), order[0]);
  EXPECT_EQ(IdAt(TMBIO_READ_PREVIOUS), TMBIO_END);
  EXPECT_EQ(IdAt(TMBIO_READ_PREVIOUS), TMBIO_END);
  EXPECT_EQ(IdAt(TMBIO_READ_NEXT), order[0]);
  // Off the end: after the last, from where previous gives the last.
  EXPECT_EQ(IdAt(TMBIO_READ_LAST), order.back());
  EXPECT_EQ(IdAt(TMBIO_READ_NEXT), TMBIO_END);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), TMBIO_END);
  EXPECT_EQ(IdAt(TMBIO_READ_PREVIOUS), order.back());
  // Size 0 only moves; a small buffer gets the record's start and -2.
  EXPECT_EQ(QDK_read(file_, nullptr, 0, TMBIO_READ_FIRST), 0);
  uint8_t small[4];
  EXPECT_EQ(QDK_read(file_, small, 4, TMBIO_READ_NEXT), TMBIO_FILLED);
  EXPECT_EQ(tmbtest::ReadInt(small, 4), order[1]);
  EXPECT_EQ(QDK_read(file_, small, 4, 9), TMBIO_INVALID);
  EXPECT_EQ(QDK_read(file_, small, -1, TMBIO_READ_NEXT), TMBIO_INVALID);
  EXPECT_EQ(QDK_read(nullptr, small, 4, TMBIO_READ_NEXT), TMBIO_END);
}

TEST_F(NavigationTest, SeeksWithWholeAndPartialKeys) {
  // Key 2 (name, ignoring case): three SMITHs, two ADAMSes.
  ASSERT_EQ(QDK_keyadjust(file_, nullptr, 0, 2), 1);
  EXPECT_EQ(Seek(Padded("sMiTh", 12), TMBIO_SEEK_EQUAL), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 5);  // the first SMITH by position
  EXPECT_EQ(IdAt(TMBIO_READ_NEXT), 9);
  EXPECT_EQ(IdAt(TMBIO_READ_NEXT), 7);
  EXPECT_EQ(Seek(Padded("smith", 12), TMBIO_SEEK_GT), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 8);  // Zed
  EXPECT_EQ(Seek(Padded("smith", 12), TMBIO_SEEK_LT), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 4);  // carter
  EXPECT_EQ(Seek(Padded("smith", 12), TMBIO_SEEK_LE), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 7);  // the last SMITH
  EXPECT_EQ(IdAt(TMBIO_READ_PREVIOUS), 9);
  EXPECT_EQ(Seek(Padded("b", 12), TMBIO_SEEK_GE), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 1);  // baker
  // Partial keys compare on their length: "SM" finds the SMITHs, "CA" carter.
  EXPECT_EQ(Seek({'s', 'm'}, TMBIO_SEEK_EQUAL), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 5);
  EXPECT_EQ(Seek({'s', 'm'}, TMBIO_SEEK_GT), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 8);
  EXPECT_EQ(Seek({'s', 'm'}, TMBIO_SEEK_LE), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 7);
  EXPECT_EQ(Seek({'s', 'm'}, TMBIO_SEEK_LT), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 4);
  // A failed seek leaves the position where it was.
  EXPECT_EQ(Seek({'x'}, TMBIO_SEEK_EQUAL), TMBIO_END);
  EXPECT_EQ(Seek(Padded("zz", 12), TMBIO_SEEK_GE), TMBIO_END);
  EXPECT_EQ(Seek({'a'}, TMBIO_SEEK_LT), TMBIO_END);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 4);
  EXPECT_EQ(Seek(Padded("", 13), TMBIO_SEEK_EQUAL), TMBIO_BAD_LENGTH);
  EXPECT_EQ(Seek({}, TMBIO_SEEK_FIRST), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), Expected(2).front());
  EXPECT_EQ(QDK_seek(file_, nullptr, -1, TMBIO_SEEK_LAST), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), Expected(2).back());
  EXPECT_EQ(Seek({}, 8), TMBIO_INVALID);

  // Key 3 (signed score): negative values sort below positive ones.
  ASSERT_EQ(QDK_keyadjust(file_, nullptr, 0, 3), 1);
  EXPECT_EQ(Seek(Le(-3, 2), TMBIO_SEEK_EQUAL), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 5);
  EXPECT_EQ(Seek(Le(-4, 2), TMBIO_SEEK_LE), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 1);  // -300
  EXPECT_EQ(Seek(Le(1, 2), TMBIO_SEEK_GE), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 2);  // 10, first by position
  EXPECT_EQ(Seek({0x05}, TMBIO_SEEK_GE), TMBIO_INVALID);  // half an integer

  // Key 4 (score descending, then id): the highest score first.
  ASSERT_EQ(QDK_keyadjust(file_, nullptr, 0, 4), 1);
  std::vector<uint8_t> k = Le(10, 2);
  std::vector<uint8_t> id = Le(9, 4);
  k.insert(k.end(), id.begin(), id.end());
  EXPECT_EQ(Seek(k, TMBIO_SEEK_EQUAL), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 9);
  EXPECT_EQ(IdAt(TMBIO_READ_PREVIOUS), 2);
  EXPECT_EQ(IdAt(TMBIO_READ_PREVIOUS), 8);
  EXPECT_EQ(Seek(Le(11, 2), TMBIO_SEEK_GE), 1);  // the first score at or below 11
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 2);

  // Key 6 (unsigned code): codes above 2^31 sort last.
  ASSERT_EQ(QDK_keyadjust(file_, nullptr, 0, 6), 1);
  EXPECT_EQ(Seek(Le(3000000000LL, 4), TMBIO_SEEK_GT), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 7);
  // keyadjust with a key also seeks greater or equal.
  std::vector<uint8_t> code = Le(6, 4);
  EXPECT_EQ(QDK_keyadjust(file_, code.data(), 4, 6), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 5);
  code = Le(4000000001LL, 4);
  EXPECT_EQ(QDK_keyadjust(file_, code.data(), 4, 6), TMBIO_END);
  EXPECT_EQ(QDK_keyadjust(file_, nullptr, 0, 7), TMBIO_INVALID);
  EXPECT_EQ(QDK_keyadjust(file_, nullptr, 0, 0), TMBIO_INVALID);
}

TEST_F(NavigationTest, PositionsKeysAndTheCurrentRecord) {
  EXPECT_EQ(QDK_getpos(file_), people_.back().pos);  // the record written last
  EXPECT_EQ(QDK_setpos(file_, people_[0].pos), 1);   // id 5
  EXPECT_EQ(QDK_setpos(file_, 999), TMBIO_END);
  EXPECT_EQ(QDK_setpos(file_, 0), TMBIO_END);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), 5);
  EXPECT_EQ(QDK_getpos(file_), people_[0].pos);
  EXPECT_EQ(IdAt(TMBIO_READ_NEXT), 7);

  // Another current key keeps the position: in name order Smith (7) lies
  // between SMITH (9) and Zed (8).
  EXPECT_EQ(QDSetEnvMode(file_, TMBIO_FILE_CURRENT_KEY, 2), 1);
  EXPECT_EQ(file_->current_key, 2);
  EXPECT_EQ(IdAt(TMBIO_READ_NEXT), 8);
  EXPECT_EQ(IdAt(TMBIO_READ_PREVIOUS), 7);
  EXPECT_EQ(IdAt(TMBIO_READ_PREVIOUS), 9);

  // Key values of the current record (9), in client form.
  uint8_t key[256];
  EXPECT_EQ(QDK_GetKey(file_, key, sizeof key, 0), 12);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(key), 12), "SMITH       ");
  EXPECT_EQ(QDK_GetKey(file_, key, sizeof key, 1), 4);
  EXPECT_EQ(tmbtest::ReadInt(key, 4), 9);
  EXPECT_EQ(QDK_GetKey(file_, key, 2, 4), 6);  // cut to the room, full length told
  EXPECT_EQ(tmbtest::ReadInt(key, 2), 10);
  EXPECT_EQ(QDK_GetKey(file_, key, sizeof key, 7), TMBIO_INVALID);
  EXPECT_EQ(QDK_GetKey(file_, nullptr, 0, 0), 12);  // only the length
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_LAST_KEY_LENGTH), 12);
  EXPECT_EQ(memcmp(reinterpret_cast<const void*>(QDGetEnvMode(file_, TMBIO_FILE_LAST_KEY)), "SMITH", 5), 0);

  // Removing the current record leaves the position between its neighbours.
  EXPECT_EQ(QDK_remove(file_, nullptr, 0), 1);
  EXPECT_EQ(QDK_getpos(file_), TMBIO_END);
  EXPECT_EQ(QDK_GetKey(file_, key, sizeof key, 0), TMBIO_NO_CURRENT);
  EXPECT_EQ(QDK_remove(file_, nullptr, 0), TMBIO_NO_CURRENT);
  EXPECT_EQ(IdAt(TMBIO_READ_POSITIONED), TMBIO_END);
  EXPECT_EQ(IdAt(TMBIO_READ_NEXT), 7);
  EXPECT_EQ(QDK_remove(file_, nullptr, 0), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_PREVIOUS), 5);
  // By key: the first record whose key equals (here "ADAMS": id 2).
  std::vector<uint8_t> adams = Padded("ADAMS", 12);
  EXPECT_EQ(QDK_remove(file_, adams.data(), 12), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_NEXT), 3);
  EXPECT_EQ(QDK_remove(file_, Padded("nobody", 12).data(), 12), TMBIO_END);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_RECORDS), 5);

  // Raw read mode follows record numbers.
  EXPECT_EQ(QDK_RawReadMode(file_, 1), 0);
  EXPECT_EQ(QDGetEnvMode(file_, TMBIO_FILE_RAW_MODE), 1);
  EXPECT_EQ(Walk(true), (std::vector<int32_t>{5, 1, 3, 8, 4}));
  EXPECT_EQ(Walk(false), (std::vector<int32_t>{4, 8, 3, 1, 5}));
  EXPECT_EQ(QDK_RawReadMode(file_, 0), 1);
  EXPECT_EQ(Walk(true), (std::vector<int32_t>{3, 1, 4, 5, 8}));
}

TEST_F(NavigationTest, KeyTablesOfTheOpenFileCarryTheSchemaFlags) {
  ASSERT_EQ(file_->kind, 21);
  ASSERT_EQ(file_->key_count, 6);
  ASSERT_EQ(file_->segment_total, 7);
  auto flags = [&](int key, int seg) {
    const TMBFileKey& k = file_->keys[key - 1];
    EXPECT_LT(seg, k.segment_count);
    return file_->segments[k.first_segment + seg].flags;
  };
  EXPECT_EQ(file_->keys[3].segment_count, 2);
  EXPECT_EQ(flags(1, 0), TMBIO_SEG_SIGNED);
  EXPECT_EQ(flags(2, 0), TMBIO_SEG_DUPLICATES | TMBIO_SEG_NOCASE);
  EXPECT_EQ(flags(3, 0), TMBIO_SEG_DUPLICATES | TMBIO_SEG_SIGNED);
  EXPECT_EQ(flags(4, 0), TMBIO_SEG_DUPLICATES | TMBIO_SEG_DESCENDING | TMBIO_SEG_SIGNED | TMBIO_SEG_MORE);
  EXPECT_EQ(flags(4, 1), TMBIO_SEG_DUPLICATES | TMBIO_SEG_SIGNED);
  EXPECT_EQ(flags(5, 0), TMBIO_SEG_DUPLICATES | TMBIO_SEG_SPARSE);
  EXPECT_EQ(flags(6, 0), TMBIO_SEG_DUPLICATES | TMBIO_SEG_UNSIGNED);
  for (int i = 0; i < file_->segment_total; ++i) {
    EXPECT_EQ(file_->segments[i].attribute, 0);
    EXPECT_EQ(file_->segments[i].flags & 0x0080, 0);
  }
}

TEST_F(NavigationTest, ASparseKeyTakesRecordsInAndOutAsTheyChange) {
  ASSERT_EQ(QDK_keyadjust(file_, nullptr, 0, 5), 1);
  const size_t held = Expected(5).size();
  EXPECT_EQ(Walk(true).size(), held);
  // id 1 has no tag: give it one, and it joins the key in its place.
  ASSERT_EQ(QDK_setpos(file_, people_[3].pos), 1);
  ASSERT_EQ(IdAt(TMBIO_READ_POSITIONED), 1);
  Person p = people_[3];
  p.tag = "amber";
  Record r = Make(p);
  EXPECT_EQ(QDK_ExtWrite(file_, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_UPDATE, 0), p.pos);
  EXPECT_EQ(Walk(true).front(), 1);
  EXPECT_EQ(Walk(true).size(), held + 1);
  // And out again when its tag is blanked.
  p.tag = "";
  r = Make(p);
  ASSERT_EQ(QDK_setpos(file_, p.pos), 1);
  ASSERT_EQ(IdAt(TMBIO_READ_POSITIONED), 1);
  EXPECT_EQ(QDK_ExtWrite(file_, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_UPDATE, 0), p.pos);
  EXPECT_EQ(Walk(true).size(), held);
  // From a record the key leaves out, next starts at the first record.
  ASSERT_EQ(QDK_setpos(file_, p.pos), 1);
  EXPECT_EQ(IdAt(TMBIO_READ_NEXT), Expected(5).front());
}

TEST_F(NavigationTest, ARequestKeepsItsReadsOnOneStatementAndItsEndLetsOtherWritesShow) {
  ASSERT_EQ(QDK_keyadjust(file_, nullptr, 0, 1), 1);
  const std::vector<int32_t> by_id = Expected(1);
  // Inside requests the walk is the same as outside them.
  QD_BeginRequest();
  std::vector<int32_t> walked;
  for (int32_t id = IdAt(TMBIO_READ_FIRST); id > 0; id = IdAt(TMBIO_READ_NEXT)) {
    walked.push_back(id);
    if (walked.size() == by_id.size()) break;  // on the last record, not past it
  }
  QD_EndRequest();
  EXPECT_EQ(walked, by_id);

  // Another environment adds a record past the reader's last one. The
  // reader's statement ended with its request, so its next read, in the
  // next request, sees the record rather than the end of an old snapshot.
  TMBEnvironment* other = tmbtest::NewEnv(dir_.path());
  TMBFile* writer = tmbtest::Open(other, "people");
  Record r(32);
  r.Int(0, by_id.back() + 1, 4).Text(4, "late", 12);
  ASSERT_GT(QDK_ExtWrite(writer, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);
  QD_BeginRequest();
  EXPECT_EQ(IdAt(TMBIO_READ_NEXT), by_id.back() + 1);
  // A file closed inside a request is no concern of the request's end.
  TMBFile* second = tmbtest::Open(env_, "people");
  uint8_t buf[64];
  EXPECT_EQ(QDK_read(second, buf, sizeof buf, TMBIO_READ_FIRST), 32);
  EXPECT_EQ(QDK_close(second), 0);
  QD_EndRequest();
  EXPECT_EQ(QDK_DeAllocEnv(other), 0);
}

TEST_F(NavigationTest, LongRunsInterleavedWithWritesSeeEveryRecordOnce) {
  // Reads run on a kept statement; writes between them must show.
  Record r(32);
  for (int i = 0; i < 300; ++i) {
    r.Int(0, 1000 + i, 4).Text(4, "run", 12);
    ASSERT_GT(QDK_ExtWrite(file_, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);
  }
  ASSERT_EQ(QDK_keyadjust(file_, nullptr, 0, 1), 1);
  TMBEnvironment* other = tmbtest::NewEnv(dir_.path());
  TMBFile* writer = tmbtest::Open(other, "people");
  int32_t last = 0, seen = 0, added = 0;
  for (int32_t id = IdAt(TMBIO_READ_FIRST); id > 0; id = IdAt(TMBIO_READ_NEXT)) {
    EXPECT_GT(id, last);
    last = id;
    ++seen;
    if (id >= 1000 && id < 2000 && id % 50 == 0) {
      // Another environment adds a record ahead of the reader, this one
      // one behind it.
      r.Int(0, 5000 + id, 4);
      ASSERT_GT(QDK_ExtWrite(writer, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);
      r.Int(0, id - 1000 + 100, 4);
      ASSERT_GT(QDK_ExtWrite(file_, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);
      // Its own write moved the reader onto the new record: back it goes.
      std::vector<uint8_t> k = Le(id, 4);
      ASSERT_EQ(QDK_seek(file_, k.data(), 4, TMBIO_SEEK_EQUAL), 1);
      added += 1;
    }
  }
  EXPECT_EQ(seen, 8 + 300 + added);
  EXPECT_EQ(QDK_DeAllocEnv(other), 0);
  EXPECT_EQ(tmbtest::Problems(dir_.File("people.tmb")), "");
}

}  // namespace
