// End-to-end: file and index descriptions and the SQL catalog records, byte
// for byte, on real data files.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/data_fixture.h"
#include "tmbio/tmbio.h"

namespace tmb::test {
namespace {

constexpr uint8_t kDescribeFile = 43;
constexpr uint8_t kDescribeIndex = 44;
constexpr uint8_t kGetTables = 55;
constexpr uint8_t kGetColumns = 56;
constexpr uint8_t kFetchTable = 57;
constexpr uint8_t kFetchColumn = 58;
constexpr uint8_t kRequestHandle = 59;

constexpr size_t kColumnRecord = 995;    // no blobs
constexpr size_t kTableRecord = 718;     // no blobs, no extension
constexpr size_t kTableExtension = 2056;

Schema People(const std::string& description = "people") {
  Schema s;
  s.description = description;
  s.record_length = 36;
  s.Field("id", "int", 0, 4).Field("name", "char", 4, 24, true).Field("born", "date", 28, 8);
  s.Key("by_id", "id", 0x0800);
  s.Key("by_name", "name", 0x0002, false);
  return s;
}

class MetadataTest : public DataServerTest {
 protected:
  int32_t Handle(DataConnection& c) {
    int32_t handle = 0, handle_error = 0;
    std::string error;
    EXPECT_TRUE(CallRequestHandle(c.client(), c.env(), &handle, &handle_error, &error)) << error;
    EXPECT_NE(handle, 0) << handle_error;
    return handle;
  }
  static Bytes GetTablesRaw(DataConnection& c, int32_t handle, const std::string& table) {
    return c.Raw(kGetTables, [&](MessageBuffer& b) {
      PutInt32(b, handle);
      PutInt32(b, 0);
      PutInt32(b, 0);
      PutInt32(b, 1);
      PutText(b, table.c_str());
      PutInt32(b, 0);
    });
  }
  static Bytes FetchTables(DataConnection& c, int32_t handle, int32_t count,
                           bool* closed = nullptr) {
    return c.Raw(kFetchTable, [&](MessageBuffer& b) {
      PutInt32(b, handle);
      PutInt32(b, count);
      PutInt32(b, 0);
    }, closed);
  }
};

TEST_F(MetadataTest, FileDescriptionIsFiftyFourBytes) {
  CreateFile("people.tmb", People());
  auto c = Connect();
  const int32_t file = c->Open("people.tmb");
  const Bytes reply = c->Raw(kDescribeFile, [&](MessageBuffer& b) { PutInt32(b, file); });
  ASSERT_EQ(reply.size(), 4u + 54u);
  EXPECT_EQ(Int32At(reply, 0), 1);
  EXPECT_EQ(Int32At(reply, 4), 36);      // record length
  EXPECT_EQ(Int32At(reply, 4 + 8), 2);   // keys
  EXPECT_EQ(Int32At(reply, 4 + 32), 3);  // fields
  // A file that is not open: a status other than 1 and nothing else.
  const Bytes none = c->Raw(kDescribeFile, [&](MessageBuffer& b) { PutInt32(b, 987654); });
  ASSERT_EQ(none.size(), 4u);
  EXPECT_NE(Int32At(none, 0), 1);
}

TEST_F(MetadataTest, IndexEntriesAndCountsLoweredByTheLibrary) {
  CreateFile("people.tmb", People());
  auto c = Connect();
  const int32_t file = c->Open("people.tmb");
  const auto describe = [&](int32_t start, int32_t end, int32_t segments, uint8_t want_keys,
                            uint8_t want_segments, bool* closed = nullptr) {
    return c->Raw(kDescribeIndex, [&](MessageBuffer& b) {
      PutInt32(b, file);
      PutInt32(b, start);
      PutInt32(b, end);
      PutInt32(b, segments);
      PutByte(b, want_keys);
      PutByte(b, want_segments);
    }, closed);
  };
  // Ten keys and ten segments asked, two of each there.
  const Bytes both = describe(0, 10, 10, 1, 1);
  ASSERT_EQ(both.size(), 4u + 4u + 2 * 42u + 4u + 2 * 14u);
  EXPECT_EQ(Int32At(both, 0), 2);
  EXPECT_EQ(Int32At(both, 4), 2);  // end, lowered
  // Key 2: number, segments, length, duplicates byte, name as width 25.
  const size_t key2 = 8 + 42;
  EXPECT_EQ(Int32At(both, key2), 2);
  EXPECT_EQ(Int32At(both, key2 + 4), 1);
  EXPECT_EQ(Int32At(both, key2 + 8), 24);
  EXPECT_EQ(both[key2 + 12], 1);
  EXPECT_EQ(Bytes(both.begin() + key2 + 13, both.begin() + key2 + 42), FixedField("by_name", 25));
  const size_t segs = 8 + 2 * 42;
  EXPECT_EQ(Int32At(both, segs), 2);
  // Segment 1 of key 2: key, segment, then flags before offset and length.
  const size_t seg2 = segs + 4 + 14;
  EXPECT_EQ(both[seg2], 2);
  EXPECT_EQ(both[seg2 + 1], 1);
  EXPECT_EQ(Int32At(both, seg2 + 2) & 0x3FFF, 0x0003);  // no case, duplicates
  EXPECT_EQ(Int32At(both, seg2 + 6), 4);
  EXPECT_EQ(Int32At(both, seg2 + 10), 24);

  // Without keys: the end, then directly the segment count.
  const Bytes segments_only = describe(0, 10, 1, 0, 1);
  ASSERT_EQ(segments_only.size(), 4u + 4u + 4u + 14u);
  EXPECT_EQ(Int32At(segments_only, 8), 1);
  // Neither array: status, end, count.
  EXPECT_EQ(describe(1, 2, 0, 0, 0).size(), 12u);
  // Past the last key: status 0 and nothing more.
  EXPECT_EQ(describe(5, 10, 4, 1, 1), (Bytes{0, 0, 0, 0}));
  // A start past every possible key describes none, even the largest.
  EXPECT_EQ(describe(0x7FFFFFFF, 0x7FFFFFFF, 4, 1, 1), (Bytes{0, 0, 0, 0}));
  // A refused call sends no entries: the end equal to the start and count 0,
  // however many the request had room for (not that many zeroed entries).
  const Bytes invalid_start = describe(-1, 1000, 1000, 1, 1);
  ASSERT_EQ(invalid_start.size(), 12u);
  EXPECT_EQ(Int32At(invalid_start, 0), TMBIO_INVALID);
  EXPECT_EQ(Int32At(invalid_start, 4), -1);
  EXPECT_EQ(Int32At(invalid_start, 8), 0);
  const Bytes no_file = c->Raw(kDescribeIndex, [&](MessageBuffer& b) {
    PutInt32(b, 987654);
    PutInt32(b, 0);
    PutInt32(b, 1000000);
    PutInt32(b, 1000000);
    PutByte(b, 1);
    PutByte(b, 1);
  });
  ASSERT_EQ(no_file.size(), 12u);
  EXPECT_EQ(Int32At(no_file, 0), TMBIO_INVALID);
  EXPECT_EQ(Int32At(no_file, 4), 0);
  EXPECT_EQ(Int32At(no_file, 8), 0);
  // A span or segment count no message could carry ends the connection.
  bool closed = false;
  describe(0, 0x7FFFFFFF, 0, 1, 0, &closed);
  EXPECT_TRUE(closed);
}

TEST_F(MetadataTest, TableRecordsWithAndWithoutTheExtension) {
  CreateFile("people.tmb", People());
  // Descriptions long enough that the schema no longer fits 2048 bytes.
  Schema wordy = People(std::string(900, 'w'));
  for (tmbio::FieldDef& f : wordy.fields) f.description = std::string(900, 'd');
  CreateFile("wordy.tmb", wordy);
  auto c = Connect();
  const int32_t handle = Handle(*c);

  const Bytes tables = GetTablesRaw(*c, handle, "people");
  ASSERT_EQ(tables.size(), 12u);
  EXPECT_EQ(Int32At(tables, 0), 0);
  EXPECT_EQ(Int32At(tables, 4), 1);
  EXPECT_EQ(Int32At(tables, 8), 3);
  const Bytes with = FetchTables(*c, handle, 5);
  ASSERT_EQ(with.size(), 4u + kTableRecord + kTableExtension);
  EXPECT_EQ(Int32At(with, 0), 1);
  EXPECT_EQ(Bytes(with.begin() + 4, with.begin() + 4 + 69), FixedField("people", 65));
  EXPECT_EQ(Bytes(with.begin() + 4 + 687, with.begin() + 4 + 699), FixedField("TMB", 8));
  EXPECT_EQ(Int32At(with, 4 + 699), 0);  // no blob 1
  EXPECT_EQ(Int32At(with, 4 + 703), 0);  // no blob 2
  EXPECT_EQ(Int32At(with, 4 + 707), 36);  // record length
  EXPECT_EQ(with[4 + 711], 2);             // keys
  EXPECT_EQ(with[4 + 712], 21);            // kind
  EXPECT_EQ(with[4 + 713], 1);             // present flag
  const int32_t json_length = Int32At(with, 4 + 714);
  EXPECT_GT(json_length, 0);
  EXPECT_LE(json_length, 2048);
  EXPECT_EQ(Int32At(with, 4 + 718), 2048);
  EXPECT_EQ(with[4 + 722], '{');
  EXPECT_EQ(Int32At(with, 4 + 714 + 2056), 0);  // records
  // The query is used up.
  EXPECT_EQ(FetchTables(*c, handle, 5), (Bytes{0, 0, 0, 0}));

  ASSERT_EQ(Int32At(GetTablesRaw(*c, handle, "wordy"), 4), 1);
  const Bytes without = FetchTables(*c, handle, 5);
  ASSERT_EQ(without.size(), 4u + kTableRecord);
  EXPECT_EQ(without[4 + 713], 0);

  // Count 0 still asks the library and sends its answer alone.
  ASSERT_EQ(Int32At(GetTablesRaw(*c, handle, "%"), 4), 2);
  EXPECT_EQ(FetchTables(*c, handle, 0).size(), 4u);
  // Both tables in one reply.
  EXPECT_EQ(FetchTables(*c, handle, 2).size(), 4u + 2 * kTableRecord + kTableExtension);
  bool closed = false;
  FetchTables(*c, handle, -1, &closed);
  EXPECT_TRUE(closed);
}

TEST_F(MetadataTest, ColumnRecordsNinetyFiveAndNineHundredBytes) {
  CreateFile("people.tmb", People());
  auto c = Connect();
  const int32_t handle = Handle(*c);
  const Bytes columns = c->Raw(kGetColumns, [&](MessageBuffer& b) {
    PutInt32(b, handle);
    PutInt32(b, 0);
    PutInt32(b, -1);  // a negative flag brings no text here
    PutInt32(b, 1);
    PutText(b, "people");
    PutInt32(b, 0);
  });
  ASSERT_EQ(columns.size(), 8u);
  EXPECT_EQ(Int32At(columns, 0), 0);
  EXPECT_EQ(Int32At(columns, 4), 3);

  const auto fetch = [&](int32_t count) {
    return c->Raw(kFetchColumn, [&](MessageBuffer& b) {
      PutInt32(b, handle);
      PutInt32(b, count);
    });
  };
  EXPECT_EQ(fetch(0), (Bytes{0, 0, 0, 0}));
  const Bytes rows = fetch(10);
  ASSERT_EQ(rows.size(), 4u + 3 * kColumnRecord);
  EXPECT_EQ(Int32At(rows, 0), 3);
  const auto row = [&](int i) { return 4 + static_cast<size_t>(i) * kColumnRecord; };
  EXPECT_EQ(Bytes(rows.begin() + row(0) + 172, rows.begin() + row(0) + 257), FixedField("id", 81));
  EXPECT_EQ(Bytes(rows.begin() + row(0) + 257, rows.begin() + row(0) + 272),
            FixedField("INTEGER", 11));
  // After the two empty blobs: int1, int2, int3, then int5 before int4.
  const size_t ints = row(0) + 946 + 8;
  EXPECT_EQ(Int32At(rows, ints), 4);          // SQL INTEGER
  EXPECT_EQ(Int32At(rows, ints + 12), 10);    // int5: radix
  EXPECT_EQ(Int32At(rows, ints + 16), 0);     // int4: decimal digits
  EXPECT_EQ(Int32At(rows, ints + 24), 1);     // int7: ordinal
  // The flag byte: the library's 0 goes out as '0', its 1 unchanged.
  EXPECT_EQ(rows[row(0) + 994], '0');
  EXPECT_EQ(rows[row(1) + 994], 1);
  EXPECT_EQ(Int32At(rows, row(2) + 946 + 8 + 28), 28);  // int8: offset of born
}

TEST_F(MetadataTest, HandlesAndQueryTexts) {
  auto c = Connect();
  // No environment: no handle, and the error word.
  const Bytes none = c->Raw(kRequestHandle, [&](MessageBuffer& b) { PutInt32(b, 987654); });
  ASSERT_EQ(none.size(), 8u);
  EXPECT_EQ(Int32At(none, 0), 0);
  EXPECT_NE(Int32At(none, 4), 0);
  const int32_t handle = Handle(*c);
  // A negative flag brings a text in the table query.
  bool closed = false;
  const Bytes tables = c->Raw(kGetTables, [&](MessageBuffer& b) {
    PutInt32(b, handle);
    PutInt32(b, -1);
    PutText(b, "Demo");
    PutInt32(b, 0);
    PutInt32(b, 0);
    PutInt32(b, 0);
  }, &closed);
  EXPECT_FALSE(closed);
  EXPECT_EQ(tables.size(), 12u);
  // A query text that fills its 256 bytes without a NUL ends the connection.
  c->Raw(kGetTables, [&](MessageBuffer& b) {
    PutInt32(b, handle);
    PutInt32(b, 1);
    const std::string full(256, 'x');
    PutBlock(b, full.data(), 256);
    PutInt32(b, 0);
    PutInt32(b, 0);
    PutInt32(b, 0);
  }, &closed);
  EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace tmb::test
