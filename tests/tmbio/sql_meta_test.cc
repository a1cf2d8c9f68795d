// SQL metadata over a directory of data files, and the file and index
// descriptions.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <string>
#include <vector>

#include "tests/tmbio/test_util.h"
#include "tmbio/admin.h"
#include "tmbio/tmbio.h"

namespace {

const char* kCustomers = R"({
  "description": "Customers", "kind": 21, "record_length": 64,
  "fields": [
    {"name": "id", "type": "int", "offset": 0, "length": 4},
    {"name": "name", "type": "char", "offset": 4, "length": 40, "nullable": true,
     "description": "Customer name"},
    {"name": "since", "type": "date", "offset": 44, "length": 8},
    {"name": "tiny", "type": "uint", "offset": 52, "length": 1},
    {"name": "big", "type": "int", "offset": 53, "length": 8},
    {"name": "raw", "type": "binary", "offset": 61, "length": 3}
  ],
  "keys": [
    {"name": "by_id", "unique": true, "segments": [{"field": "id"}]},
    {"name": "by_name", "unique": false,
     "segments": [{"field": "name", "nocase": true}, {"field": "id", "descending": true}]}
  ]})";

const char* kOrders = R"({
  "description": "Orders", "kind": 2, "record_length": 16,
  "fields": [
    {"name": "order_no", "type": "int", "offset": 0, "length": 4},
    {"name": "customer", "type": "int", "offset": 4, "length": 4},
    {"name": "qty", "type": "int", "offset": 8, "length": 2}
  ],
  "keys": [
    {"name": "by_order", "segments": [{"field": "order_no"}]},
    {"name": "by_customer", "unique": false, "segments": [{"offset": 4, "length": 4, "type": "int"}]},
    {"name": "by_qty", "unique": false, "segments": [{"field": "qty"}, {"field": "order_no"}]}
  ]})";

std::string Str(const char* field, size_t n) { return std::string(field, strnlen(field, n)); }

class SqlMetaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmbtest::MakeFile(dir_.path(), "customers", kCustomers);
    tmbtest::MakeFile(dir_.path(), "orders", kOrders);
    std::ofstream(dir_.File("readme.txt")) << "not a data file";
    std::ofstream(dir_.File("broken.tmb")) << "not a database either";
    env_ = tmbtest::NewEnv(dir_.path());
    env_->catalog_count = 1;
    strcpy(env_->catalogs[0].name, "DEMO");
    strcpy(env_->catalogs[0].text1, dir_.path().c_str());
    strcpy(env_->view_library, "views.lib");
    int32_t word = -1;
    handle_ = QDRequestHandle(env_, &word);
    ASSERT_NE(handle_, nullptr);
    EXPECT_EQ(word, 0);
  }
  void TearDown() override { EXPECT_EQ(QDK_DeAllocEnv(env_), 0); }

  tmbtest::ScratchDir dir_;
  TMBEnvironment* env_ = nullptr;
  TMBSqlHandle* handle_ = nullptr;
};

TEST_F(SqlMetaTest, TablesOfTheDataDirectory) {
  TMBFile* f = tmbtest::Open(env_, "orders");
  tmbtest::Record r(16);
  for (int i = 1; i <= 3; ++i) {
    r.Int(0, i, 4);
    ASSERT_GT(QDK_ExtWrite(f, r.data(), 16, nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);
  }
  int32_t tables = -1, columns = -1;
  EXPECT_EQ(QDGetTables(handle_, nullptr, 0, nullptr, 0, nullptr, 0, 0, &tables, &columns), 0);
  EXPECT_EQ(tables, 2);  // broken.tmb and readme.txt are no tables
  EXPECT_EQ(columns, 9);
  std::vector<TMBTableRecord> rows(3);
  EXPECT_EQ(QDFetchTable(handle_, nullptr, 0, 3, rows.data()), 2);
  EXPECT_EQ(Str(rows[0].text1, 65), "customers");
  EXPECT_EQ(Str(rows[1].text1, 65), "orders");
  EXPECT_EQ(Str(rows[1].text2, 81), "DEMO");
  EXPECT_EQ(Str(rows[1].text3, 207), dir_.File("orders.tmb"));
  EXPECT_EQ(Str(rows[1].text4, 128), "Orders");
  EXPECT_EQ(Str(rows[1].text5, 81), "");
  EXPECT_EQ(Str(rows[1].text6, 16), "TABLE");
  EXPECT_EQ(Str(rows[1].text7, 81), "views.lib");
  EXPECT_EQ(Str(rows[1].text8, 8), "TMB");
  EXPECT_EQ(rows[1].number1, 16);
  EXPECT_EQ(rows[1].byte1, 3);
  EXPECT_EQ(rows[1].byte2, 2);
  EXPECT_EQ(rows[1].number2, 3);
  EXPECT_EQ(rows[1].blob1, nullptr);
  EXPECT_EQ(rows[1].blob1_length, 0);
  // The extension is the file's schema, which reads back to the same.
  ASSERT_EQ(rows[1].has_extension, 1);
  ASSERT_GT(rows[1].extension_length, 0);
  tmbio::FileDefinition def;
  std::string error;
  ASSERT_TRUE(tmbio::ParseSchema(
      std::string(reinterpret_cast<char*>(rows[1].extension), static_cast<size_t>(rows[1].extension_length)),
      &def, &error))
      << error;
  EXPECT_EQ(def.keys.size(), 3u);
  EXPECT_EQ(def.description, "Orders");
  EXPECT_EQ(QDFetchTable(handle_, nullptr, 0, 3, rows.data()), 0);  // at the end

  // Restart at a table by name; patterns; kinds other than tables.
  EXPECT_EQ(QDFetchTable(handle_, "ORDERS", 6, 3, rows.data()), 1);
  EXPECT_EQ(Str(rows[0].text1, 65), "orders");
  EXPECT_EQ(QDFetchTable(handle_, "nothing", 7, 3, rows.data()), 0);
  EXPECT_EQ(QDGetTables(handle_, "x", 1, nullptr, 0, "CUST%", 5, 1, &tables, &columns), 0);
  EXPECT_EQ(tables, 1);
  EXPECT_EQ(columns, 6);
  EXPECT_EQ(QDGetTables(handle_, nullptr, 0, nullptr, 0, "_rders", 6, 0, &tables, &columns), 0);
  EXPECT_EQ(tables, 1);
  EXPECT_EQ(QDGetTables(handle_, nullptr, 0, nullptr, 0, nullptr, 0, 2, &tables, &columns), 0);
  EXPECT_EQ(tables, 0);
  EXPECT_EQ(QDFetchTable(handle_, nullptr, 0, 0, nullptr), 0);
  EXPECT_EQ(QDFetchTable(handle_, nullptr, 0, -1, nullptr), TMBIO_INVALID);
  EXPECT_EQ(QDFreeHandle(handle_), 0);
  EXPECT_EQ(QDFreeHandle(handle_), TMBIO_INVALID);
}

TEST_F(SqlMetaTest, ColumnsOfTheMatchingTables) {
  int32_t count = -1;
  EXPECT_EQ(QDGetColumns(handle_, nullptr, nullptr, "customers", nullptr, &count), 0);
  EXPECT_EQ(count, 6);
  std::vector<TMBColumnRecord> rows(10);
  // Two at a time.
  EXPECT_EQ(QDFetchColumn(handle_, 2, rows.data()), 2);
  EXPECT_EQ(QDFetchColumn(handle_, 2, rows.data() + 2), 2);
  EXPECT_EQ(QDFetchColumn(handle_, 5, rows.data() + 4), 2);
  EXPECT_EQ(QDFetchColumn(handle_, 5, rows.data() + 6), 0);
  const TMBColumnRecord& id = rows[0];
  EXPECT_EQ(Str(id.text1, 64), "DEMO");
  EXPECT_EQ(Str(id.text3, 32), "customers");
  EXPECT_EQ(Str(id.text4, 81), "id");
  EXPECT_EQ(Str(id.text5, 11), "INTEGER");
  EXPECT_EQ(Str(id.text9, 41), "%d");
  EXPECT_EQ(Str(id.text10, 64), "id");
  EXPECT_EQ(Str(id.text11, 64), "by_id,by_name");
  EXPECT_EQ(id.int1, 4);
  EXPECT_EQ(id.flag, 0);
  EXPECT_EQ(id.int2, 10);
  EXPECT_EQ(id.int3, 4);
  EXPECT_EQ(id.int5, 10);
  EXPECT_EQ(id.int6, 0);
  EXPECT_EQ(id.int7, 1);
  EXPECT_EQ(id.int8, 0);
  EXPECT_EQ(id.int9, 1);
  EXPECT_EQ(id.int10, 1);
  const TMBColumnRecord& name = rows[1];
  EXPECT_EQ(Str(name.text5, 11), "CHAR");
  EXPECT_EQ(Str(name.text6, 81), "Customer name");
  EXPECT_EQ(Str(name.text8, 251), "Customer name");
  EXPECT_EQ(Str(name.text9, 41), "%s");
  EXPECT_EQ(name.int1, 1);
  EXPECT_EQ(name.flag, 1);
  EXPECT_EQ(name.int2, 40);
  EXPECT_EQ(name.int5, 0);
  EXPECT_EQ(name.int6, 1);
  EXPECT_EQ(name.int8, 4);
  EXPECT_EQ(name.int9, 2);
  EXPECT_EQ(name.int10, 1);
  EXPECT_EQ(Str(rows[2].text5, 11), "DATE");
  EXPECT_EQ(rows[2].int1, 91);
  EXPECT_EQ(Str(rows[2].text9, 41), "YYYYMMDD");
  EXPECT_EQ(rows[2].int9, 0);
  EXPECT_EQ(rows[3].int1, -6);
  EXPECT_EQ(rows[4].int1, -5);
  EXPECT_EQ(Str(rows[4].text5, 11), "BIGINT");
  EXPECT_EQ(rows[5].int1, -2);

  // Column patterns, over every table; a segment given by offset finds its
  // field too.
  EXPECT_EQ(QDGetColumns(handle_, nullptr, nullptr, nullptr, "%o%", &count), 0);
  EXPECT_EQ(count, 2);  // order_no and customer, of orders
  EXPECT_EQ(QDFetchColumn(handle_, 10, rows.data()), 2);
  EXPECT_EQ(Str(rows[0].text4, 81), "order_no");
  EXPECT_EQ(Str(rows[0].text11, 64), "by_order,by_qty");
  EXPECT_EQ(Str(rows[1].text4, 81), "customer");
  EXPECT_EQ(Str(rows[1].text11, 64), "by_customer");
  EXPECT_EQ(rows[1].int9, 2);
  EXPECT_EQ(rows[1].int10, 1);
}

TEST_F(SqlMetaTest, DescriptionsNeverReachPastTheArrays) {
  TMBFile* f = tmbtest::Open(env_, "customers");
  TMBFileDescription d{};
  EXPECT_EQ(QDDescribeFile(f, &d), 1);
  EXPECT_EQ(d.values[0], 64);
  EXPECT_EQ(d.values[1], 0);
  EXPECT_EQ(d.values[2], 2);
  EXPECT_EQ(d.values[3], 3);
  EXPECT_EQ(d.values[4], 0);
  EXPECT_EQ(d.values[5], 21);
  EXPECT_EQ(d.values[6], 1);
  EXPECT_EQ(d.values[7], 0);
  EXPECT_EQ(d.values[8], 6);
  EXPECT_EQ(d.values[9], 4096);
  EXPECT_GT(d.values[10], 0);
  EXPECT_EQ(d.values[12], 0);
  EXPECT_EQ(QDDescribeFile(f, nullptr), TMBIO_INVALID);

  // Room for 5 keys and 2 segments: the counts come down to what was filled.
  std::vector<TMBIndexKey> keys(5);
  std::vector<TMBIndexSegment> segs(2);
  int32_t end = 5, segcount = 2;
  EXPECT_EQ(QDDescribeIndex(f, 0, &end, &segcount, keys.data(), segs.data()), 2);
  EXPECT_EQ(end, 2);
  EXPECT_EQ(segcount, 2);
  EXPECT_EQ(keys[0].number1, 1);
  EXPECT_EQ(keys[0].number2, 1);
  EXPECT_EQ(keys[0].number3, 4);
  EXPECT_EQ(keys[0].byte1, 0);
  EXPECT_EQ(Str(keys[0].name, 25), "by_id");
  EXPECT_EQ(keys[1].number3, 44);
  EXPECT_EQ(keys[1].byte1, 1);
  EXPECT_EQ(segs[1].byte1, 2);
  EXPECT_EQ(segs[1].byte2, 1);
  EXPECT_EQ(segs[1].number1, 4);
  EXPECT_EQ(segs[1].number2, 40);
  EXPECT_EQ(segs[1].number3, TMBIO_SEG_DUPLICATES | TMBIO_SEG_NOCASE | TMBIO_SEG_MORE);
  // The second key alone, with room for more segments than it has.
  std::vector<TMBIndexSegment> many(10);
  end = 2;
  segcount = 10;
  EXPECT_EQ(QDDescribeIndex(f, 1, &end, &segcount, keys.data(), many.data()), 1);
  EXPECT_EQ(end, 2);
  EXPECT_EQ(segcount, 2);
  EXPECT_EQ(keys[0].number1, 2);
  EXPECT_EQ(many[1].number3, TMBIO_SEG_DUPLICATES | TMBIO_SEG_SIGNED | TMBIO_SEG_DESCENDING);
  // Counts are never raised; no arrays, nothing filled; past the last key.
  end = 1;
  segcount = 0;
  EXPECT_EQ(QDDescribeIndex(f, 0, &end, &segcount, nullptr, nullptr), 1);
  EXPECT_EQ(end, 1);
  EXPECT_EQ(segcount, 0);
  end = 9;
  segcount = 4;
  EXPECT_EQ(QDDescribeIndex(f, 3, &end, &segcount, keys.data(), many.data()), 0);
  EXPECT_EQ(end, 2);
  EXPECT_EQ(segcount, 0);
  EXPECT_EQ(QDDescribeIndex(f, -1, &end, &segcount, keys.data(), many.data()), TMBIO_INVALID);

  // The client's numbers at the ends of their range: a start past every
  // key describes nothing, whatever end and count come with it.
  end = INT32_MAX;
  segcount = INT32_MAX;
  EXPECT_EQ(QDDescribeIndex(f, INT32_MAX, &end, &segcount, keys.data(), many.data()), 0);
  EXPECT_EQ(end, 2);
  EXPECT_EQ(segcount, 0);
  end = INT32_MAX;
  segcount = 0;
  EXPECT_EQ(QDDescribeIndex(f, INT32_MAX - 1, &end, &segcount, nullptr, nullptr), 0);
  end = INT32_MIN;
  segcount = INT32_MIN;
  EXPECT_EQ(QDDescribeIndex(f, 0, &end, &segcount, keys.data(), many.data()), 0);
  EXPECT_EQ(end, INT32_MIN);
  EXPECT_EQ(segcount, 0);
  EXPECT_EQ(QDDescribeIndex(f, INT32_MIN, &end, &segcount, keys.data(), many.data()), TMBIO_INVALID);
}

}  // namespace
