#include "handlers/catalog_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "wire/primitives.h"

namespace tmb {
namespace {

// The body written by `put`, as bytes.
template <typename Put>
std::vector<uint8_t> Written(Put put) {
  MessageBuffer b;
  EXPECT_TRUE(b.Create());
  b.BeginReply();
  put(b);
  return std::vector<uint8_t>(b.data() + 8, b.data() + b.length());
}

int32_t At(const std::vector<uint8_t>& v, size_t at) {
  return static_cast<int32_t>(LoadBigEndian32(v.data() + at));
}

TEST(CatalogRecordsTest, ColumnRecordLayout) {
  TMBColumnRecord r{};
  std::strcpy(r.text1, "cat");
  std::strcpy(r.text12, "last");
  r.int1 = 1;
  r.int2 = 2;
  r.int3 = 3;
  r.int4 = 4;
  r.int5 = 5;
  r.int10 = 10;
  const auto plain = Written([&](MessageBuffer& b) { PutColumnRecord(b, r); });
  ASSERT_EQ(plain.size(), 995u);
  EXPECT_EQ(At(plain, 0), 64);
  EXPECT_EQ(plain[4], 'c');
  EXPECT_EQ(At(plain, 878), 64);  // c12's width
  EXPECT_EQ(plain[882], 'l');
  EXPECT_EQ(At(plain, 946), 0);
  EXPECT_EQ(At(plain, 950), 0);
  EXPECT_EQ(At(plain, 954), 1);
  EXPECT_EQ(At(plain, 958), 2);
  EXPECT_EQ(At(plain, 962), 3);
  EXPECT_EQ(At(plain, 966), 5);  // int5 before int4
  EXPECT_EQ(At(plain, 970), 4);
  EXPECT_EQ(At(plain, 990), 10);
  EXPECT_EQ(plain[994], '0');  // the library's 0

  const uint8_t blob[3] = {7, 8, 9};
  r.blob1 = blob;
  r.blob1_length = 3;
  r.flag = 0x31;
  const auto with_blob = Written([&](MessageBuffer& b) { PutColumnRecord(b, r); });
  ASSERT_EQ(with_blob.size(), 1002u);
  EXPECT_EQ(At(with_blob, 946), 3);
  EXPECT_EQ(At(with_blob, 950), 3);
  EXPECT_EQ(std::vector<uint8_t>(with_blob.begin() + 954, with_blob.begin() + 957),
            (std::vector<uint8_t>{7, 8, 9}));
  EXPECT_EQ(At(with_blob, 957), 0);  // blob 2
  EXPECT_EQ(with_blob[1001], 0x31);

  // A length without bytes, or a negative one, goes out as no blob.
  r.blob1 = nullptr;
  r.blob2 = blob;
  r.blob2_length = -4;
  EXPECT_EQ(Written([&](MessageBuffer& b) { PutColumnRecord(b, r); }).size(), 995u);
}

TEST(CatalogRecordsTest, TableRecordLayout) {
  TMBTableRecord r{};
  std::strcpy(r.text1, "orders");
  std::strcpy(r.text8, "TMB");
  r.number1 = 64;
  r.byte1 = 3;
  r.byte2 = 21;
  r.number2 = 1000;
  const auto plain = Written([&](MessageBuffer& b) { PutTableRecord(b, r); });
  ASSERT_EQ(plain.size(), 718u);
  EXPECT_EQ(At(plain, 0), 65);
  EXPECT_EQ(At(plain, 687), 8);
  EXPECT_EQ(plain[691], 'T');
  EXPECT_EQ(At(plain, 707), 64);
  EXPECT_EQ(plain[711], 3);
  EXPECT_EQ(plain[712], 21);
  EXPECT_EQ(plain[713], 0);
  EXPECT_EQ(At(plain, 714), 1000);

  r.has_extension = 1;
  r.extension_length = 2;
  r.extension[0] = '{';
  r.extension[1] = '}';
  const auto extended = Written([&](MessageBuffer& b) { PutTableRecord(b, r); });
  ASSERT_EQ(extended.size(), 718u + 2056u);
  EXPECT_EQ(extended[713], 1);
  EXPECT_EQ(At(extended, 714), 2);
  EXPECT_EQ(At(extended, 718), 2048);
  EXPECT_EQ(extended[722], '{');
  EXPECT_EQ(At(extended, 714 + 2056), 1000);

  // A present word whose low byte is 0 still says "present" in its byte,
  // since the extension follows.
  r.has_extension = 0x100;
  const auto odd = Written([&](MessageBuffer& b) { PutTableRecord(b, r); });
  ASSERT_EQ(odd.size(), 718u + 2056u);
  EXPECT_EQ(odd[713], 1);
}

}  // namespace
}  // namespace tmb
