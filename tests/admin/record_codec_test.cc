#include "tmbio/admin/record_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tmbadmin {
namespace {

tmbio::FieldDef Field(const char* type, int32_t offset, int32_t length) {
  tmbio::FieldDef f;
  f.name = "f";
  f.type = type;
  f.offset = offset;
  f.length = length;
  return f;
}

// Encodes into a record of `size` bytes of 0xAA (so that untouched bytes
// show), and gives the record, or the error.
struct Encoded {
  bool ok;
  std::vector<uint8_t> record;
  std::string error;
};
Encoded Encode(const tmbio::FieldDef& f, const std::string& text, size_t size = 16) {
  Encoded e{false, std::vector<uint8_t>(size, 0xAA), ""};
  e.ok = EncodeField(f, text, e.record, &e.error);
  return e;
}

std::string Decode(const tmbio::FieldDef& f, const std::vector<uint8_t>& record) {
  std::string text;
  std::string error;
  EXPECT_TRUE(DecodeField(f, record, &text, &error)) << error;
  return text;
}

TEST(RecordCodecTest, IntegersAreLittleEndianAtTheirOffset) {
  const tmbio::FieldDef i4 = Field("int", 2, 4);
  Encoded e = Encode(i4, "-2", 8);
  ASSERT_TRUE(e.ok) << e.error;
  EXPECT_EQ(e.record, (std::vector<uint8_t>{0xAA, 0xAA, 0xFE, 0xFF, 0xFF, 0xFF, 0xAA, 0xAA}));
  EXPECT_EQ(Decode(i4, e.record), "-2");

  const tmbio::FieldDef u2 = Field("uint", 0, 2);
  e = Encode(u2, " +513 ", 2);
  ASSERT_TRUE(e.ok) << e.error;
  EXPECT_EQ(e.record, (std::vector<uint8_t>{0x01, 0x02}));
  EXPECT_EQ(Decode(u2, e.record), "513");

  // The extremes of every width read back exactly.
  const char* const texts[][2] = {{"int", "-128"},
                                  {"int", "127"},
                                  {"uint", "255"},
                                  {"int", "-32768"},
                                  {"uint", "65535"},
                                  {"int", "-2147483648"},
                                  {"uint", "4294967295"},
                                  {"int", "-9223372036854775808"},
                                  {"int", "9223372036854775807"},
                                  {"uint", "18446744073709551615"}};
  const int32_t widths[] = {1, 1, 1, 2, 2, 4, 4, 8, 8, 8};
  for (size_t i = 0; i < std::size(widths); ++i) {
    const tmbio::FieldDef f = Field(texts[i][0], 0, widths[i]);
    e = Encode(f, texts[i][1], 8);
    ASSERT_TRUE(e.ok) << texts[i][1] << ": " << e.error;
    EXPECT_EQ(Decode(f, e.record), texts[i][1]);
  }
  // An empty value is zero.
  e = Encode(i4, "", 8);
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(Decode(i4, e.record), "0");
}

TEST(RecordCodecTest, BadOrOutOfRangeIntegersAreRefusedAndLeaveTheRecord) {
  struct Case {
    const char* type;
    int32_t length;
    const char* text;
    const char* error_part;
  };
  const Case cases[] = {
      {"int", 1, "128", "out of range -128..127"},
      {"int", 1, "-129", "out of range -128..127"},
      {"uint", 1, "256", "out of range 0..255"},
      {"uint", 2, "-1", "out of range 0..65535"},
      {"int", 4, "2147483648", "out of range"},
      {"int", 8, "9223372036854775808", "out of range"},
      {"uint", 8, "18446744073709551616", "out of range"},
      {"int", 4, "12abc", "not an integer"},
      {"int", 4, "1.5", "not an integer"},
      {"int", 4, "+-5", "not an integer"},
      {"int", 4, "1 2", "not an integer"},
      {"uint", 4, "-", "not an unsigned integer"},
      {"uint", 4, "0x10", "not an unsigned integer"},
      {"int", 3, "1", "1, 2, 4 or 8"},
  };
  for (const Case& c : cases) {
    const Encoded e = Encode(Field(c.type, 0, c.length), c.text, 8);
    EXPECT_FALSE(e.ok) << c.text;
    EXPECT_NE(e.error.find(c.error_part), std::string::npos) << c.text << " gave: " << e.error;
    EXPECT_EQ(e.record, std::vector<uint8_t>(8, 0xAA)) << c.text;
  }
}

TEST(RecordCodecTest, TextIsBlankPaddedAndMustFit) {
  const tmbio::FieldDef f = Field("char", 1, 6);
  Encoded e = Encode(f, "abc", 8);
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(std::string(e.record.begin(), e.record.end()),
            "\xAA"
            "abc   \xAA");
  EXPECT_EQ(Decode(f, e.record), "abc");
  e = Encode(f, "abcdef", 8);
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(Decode(f, e.record), "abcdef");

  e = Encode(f, "abcdefg", 8);
  EXPECT_FALSE(e.ok);
  EXPECT_NE(e.error.find("7 bytes is longer than the field's 6"), std::string::npos) << e.error;
  EXPECT_EQ(e.record, std::vector<uint8_t>(8, 0xAA));
  // Zero bytes after the text (a record written short) are not text.
  std::vector<uint8_t> zeros = {'x', 'y', 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Decode(Field("char", 0, 8), zeros), "xy");
}

TEST(RecordCodecTest, DatesAreRealDays) {
  const tmbio::FieldDef f = Field("date", 0, 8);
  Encoded e = Encode(f, "20240229");
  ASSERT_TRUE(e.ok) << e.error;
  EXPECT_EQ(std::string(e.record.begin(), e.record.begin() + 8), "20240229");
  EXPECT_EQ(Decode(f, e.record), "20240229");
  e = Encode(f, "2000-02-29");
  ASSERT_TRUE(e.ok) << e.error;
  EXPECT_EQ(Decode(f, e.record), "20000229");
  e = Encode(f, "");
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(std::string(e.record.begin(), e.record.begin() + 8), "        ");
  EXPECT_EQ(Decode(f, e.record), "");

  for (const char* bad :
       {"20230229", "19000229", "20241301", "20240001", "20240431", "20240100", "00000101"}) {
    e = Encode(f, bad);
    EXPECT_FALSE(e.ok) << bad;
    EXPECT_NE(e.error.find("no such day"), std::string::npos) << bad << ": " << e.error;
  }
  for (const char* bad : {"2024229", "202402290", "2024-2-29", "2024/02/29", "abcdefgh"}) {
    e = Encode(f, bad);
    EXPECT_FALSE(e.ok) << bad;
    EXPECT_NE(e.error.find("not a date YYYYMMDD"), std::string::npos) << bad << ": " << e.error;
  }
  EXPECT_FALSE(Encode(Field("date", 0, 6), "20240101").ok);
}

TEST(RecordCodecTest, BinaryIsHexPaddedWithZeros) {
  const tmbio::FieldDef f = Field("binary", 0, 4);
  Encoded e = Encode(f, "0aFF", 4);
  ASSERT_TRUE(e.ok) << e.error;
  EXPECT_EQ(e.record, (std::vector<uint8_t>{0x0A, 0xFF, 0, 0}));
  EXPECT_EQ(Decode(f, e.record), "0aff0000");
  EXPECT_NE(Encode(f, "abc", 4).error.find("odd number"), std::string::npos);
  EXPECT_NE(Encode(f, "zz", 4).error.find("not hex digits"), std::string::npos);
  EXPECT_NE(Encode(f, "0102030405", 4).error.find("5 bytes do not fit the field's 4"),
            std::string::npos);
}

TEST(RecordCodecTest, FieldsOutsideTheRecordOrOfUnknownTypeAreRefused) {
  std::vector<uint8_t> record(8, 0);
  std::string text;
  std::string error;
  for (const tmbio::FieldDef& f :
       {Field("char", 4, 5), Field("int", -1, 4), Field("int", 8, 1), Field("char", 0, 0)}) {
    EXPECT_FALSE(EncodeField(f, "1", record, &error));
    EXPECT_NE(error.find("outside the record"), std::string::npos) << error;
    EXPECT_FALSE(DecodeField(f, record, &text, &error));
    EXPECT_FALSE(ClearField(f, record));
  }
  EXPECT_FALSE(EncodeField(Field("float", 0, 4), "1", record, &error));
  EXPECT_NE(error.find("unknown field type"), std::string::npos);
  EXPECT_EQ(record, std::vector<uint8_t>(8, 0));
}

TEST(RecordCodecTest, ClearFieldWritesEmptyValues) {
  std::vector<uint8_t> record(12, 0xAA);
  ASSERT_TRUE(ClearField(Field("char", 0, 2), record));
  ASSERT_TRUE(ClearField(Field("date", 2, 8), record));
  ASSERT_TRUE(ClearField(Field("int", 10, 2), record));
  EXPECT_EQ(std::string(record.begin(), record.end()), std::string(10, ' ') + std::string(2, '\0'));
}

}  // namespace
}  // namespace tmbadmin
