#include "tmbio/record_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace tmbio::text {
namespace {

// ---- field values

FieldLayout Field(FieldKind kind, int32_t offset, int32_t length, const char* name = "f") {
  return FieldLayout{kind, offset, length, name};
}

// Encodes into a record of `size` bytes of 0xAA (so that untouched bytes
// show), and gives the record, or the error.
struct Encoded {
  bool ok;
  std::vector<uint8_t> record;
  std::string error;
};
Encoded Encode(const FieldLayout& f, const std::string& text, size_t size = 16) {
  Encoded e{false, std::vector<uint8_t>(size, 0xAA), ""};
  e.ok = EncodeField(f, text, e.record, &e.error);
  return e;
}

std::string Decode(const FieldLayout& f, const std::vector<uint8_t>& record) {
  std::string text;
  std::string error;
  EXPECT_TRUE(DecodeField(f, record, &text, &error)) << error;
  return text;
}

TEST(FieldTextTest, IntegersAreLittleEndianAtTheirOffset) {
  const FieldLayout i4 = Field(FieldKind::kSigned, 2, 4);
  Encoded e = Encode(i4, "-2", 8);
  ASSERT_TRUE(e.ok) << e.error;
  EXPECT_EQ(e.record, (std::vector<uint8_t>{0xAA, 0xAA, 0xFE, 0xFF, 0xFF, 0xFF, 0xAA, 0xAA}));
  EXPECT_EQ(Decode(i4, e.record), "-2");

  const FieldLayout u2 = Field(FieldKind::kUnsigned, 0, 2);
  e = Encode(u2, " +513\t", 2);
  ASSERT_TRUE(e.ok) << e.error;
  EXPECT_EQ(e.record, (std::vector<uint8_t>{0x01, 0x02}));
  EXPECT_EQ(Decode(u2, e.record), "513");

  // The extremes of every width read back exactly.
  constexpr FieldKind kS = FieldKind::kSigned, kU = FieldKind::kUnsigned;
  const struct {
    FieldKind kind;
    int32_t width;
    const char* text;
  } extremes[] = {{kS, 1, "-128"},
                  {kS, 1, "127"},
                  {kU, 1, "255"},
                  {kS, 2, "-32768"},
                  {kU, 2, "65535"},
                  {kS, 4, "-2147483648"},
                  {kU, 4, "4294967295"},
                  {kS, 8, "-9223372036854775808"},
                  {kS, 8, "9223372036854775807"},
                  {kU, 8, "18446744073709551615"}};
  for (const auto& x : extremes) {
    const FieldLayout f = Field(x.kind, 0, x.width);
    e = Encode(f, x.text, 8);
    ASSERT_TRUE(e.ok) << x.text << ": " << e.error;
    EXPECT_EQ(Decode(f, e.record), x.text);
  }
  // An empty value is zero.
  e = Encode(i4, "", 8);
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(Decode(i4, e.record), "0");
}

TEST(FieldTextTest, BadOrOutOfRangeIntegersAreRefusedAndLeaveTheRecord) {
  constexpr FieldKind kS = FieldKind::kSigned, kU = FieldKind::kUnsigned;
  struct Case {
    FieldKind kind;
    int32_t length;
    const char* text;
    const char* error_part;
  };
  const Case cases[] = {
      {kS, 1, "128", "out of range -128..127"},
      {kS, 1, "-129", "out of range -128..127"},
      {kU, 1, "256", "out of range 0..255"},
      {kU, 2, "-1", "out of range 0..65535"},
      {kS, 4, "2147483648", "out of range"},
      {kS, 8, "9223372036854775808", "out of range"},
      {kU, 8, "18446744073709551616", "out of range"},
      {kS, 4, "12abc", "not an integer"},
      {kS, 4, "1.5", "not an integer"},
      {kS, 4, "+-5", "not an integer"},
      {kS, 4, "1 2", "not an integer"},
      {kU, 4, "-", "not an unsigned integer"},
      {kU, 4, "-0", "not an unsigned integer"},
      {kU, 4, "0x10", "not an unsigned integer"},
      {kS, 3, "1", "1, 2, 4 or 8"},
  };
  for (const Case& c : cases) {
    const Encoded e = Encode(Field(c.kind, 0, c.length), c.text, 8);
    EXPECT_FALSE(e.ok) << c.text;
    EXPECT_NE(e.error.find(c.error_part), std::string::npos) << c.text << " gave: " << e.error;
    EXPECT_EQ(e.record, std::vector<uint8_t>(8, 0xAA)) << c.text;
  }
  // Errors begin with the name the caller gave the field.
  EXPECT_EQ(Encode(Field(kU, 0, 4, "field stock"), "-1", 4).error,
            "field stock: value '-1' out of range 0..4294967295");
  EXPECT_EQ(Encode(Field(kS, 0, 4, ""), "x", 4).error, "not an integer: 'x'");
}

TEST(FieldTextTest, TextIsBlankPaddedAndMustFit) {
  const FieldLayout f = Field(FieldKind::kText, 1, 6);
  Encoded e = Encode(f, "abc", 8);
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(std::string(e.record.begin(), e.record.end()),
            "\xAA"
            "abc   \xAA");
  EXPECT_EQ(Decode(f, e.record), "abc");
  e = Encode(f, "abcdef", 8);
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(Decode(f, e.record), "abcdef");
  // Text keeps the blanks in front, and commas and quotes are plain bytes.
  e = Encode(f, " a,\"b", 8);
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(Decode(f, e.record), " a,\"b");

  e = Encode(f, "abcdefg", 8);
  EXPECT_FALSE(e.ok);
  EXPECT_NE(e.error.find("7 bytes is longer than the field's 6"), std::string::npos) << e.error;
  EXPECT_EQ(e.record, std::vector<uint8_t>(8, 0xAA));
  // Zero bytes after the text (a record written short) are not text.
  std::vector<uint8_t> zeros = {'x', 'y', 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Decode(Field(FieldKind::kText, 0, 8), zeros), "xy");
}

TEST(FieldTextTest, DatesAreRealDaysInEitherForm) {
  const FieldLayout f = Field(FieldKind::kDate, 0, 8);
  Encoded e = Encode(f, "20240229");
  ASSERT_TRUE(e.ok) << e.error;
  EXPECT_EQ(std::string(e.record.begin(), e.record.begin() + 8), "20240229");
  EXPECT_EQ(Decode(f, e.record), "20240229");
  // YYYY-MM-DD is stored, and read back, as YYYYMMDD.
  e = Encode(f, " 2000-02-29 ");
  ASSERT_TRUE(e.ok) << e.error;
  EXPECT_EQ(std::string(e.record.begin(), e.record.begin() + 8), "20000229");
  EXPECT_EQ(Decode(f, e.record), "20000229");
  e = Encode(f, "");
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(std::string(e.record.begin(), e.record.begin() + 8), "        ");
  EXPECT_EQ(Decode(f, e.record), "");
  // A longer field holds the day and blanks.
  e = Encode(Field(FieldKind::kDate, 0, 10), "9999-12-31", 10);
  ASSERT_TRUE(e.ok) << e.error;
  EXPECT_EQ(std::string(e.record.begin(), e.record.end()), "99991231  ");

  for (const char* bad : {"20230229", "20230230", "2023-02-30", "19000229", "20241301",
                          "20240001", "20240431", "2024-04-31", "20240100", "00000101"}) {
    e = Encode(f, bad);
    EXPECT_FALSE(e.ok) << bad;
    EXPECT_NE(e.error.find("no such day"), std::string::npos) << bad << ": " << e.error;
    EXPECT_EQ(e.record, std::vector<uint8_t>(16, 0xAA)) << bad;
  }
  for (const char* bad : {"2024229", "202402290", "2024-2-29", "2024/02/29", "abcdefgh",
                          "2024-02-2x", "2024--02-29", "+2024-02-2"}) {
    e = Encode(f, bad);
    EXPECT_FALSE(e.ok) << bad;
    EXPECT_NE(e.error.find("not a date YYYYMMDD or YYYY-MM-DD"), std::string::npos)
        << bad << ": " << e.error;
  }
  EXPECT_EQ(Encode(Field(FieldKind::kDate, 0, 8, "field added"), "20230230").error,
            "field added: no such day: '20230230'");
  EXPECT_FALSE(Encode(Field(FieldKind::kDate, 0, 6), "20240101").ok);
}

TEST(FieldTextTest, StoredDatesThatAreNoDaysShowAsTheyStand) {
  const FieldLayout f = Field(FieldKind::kDate, 0, 8);
  const auto record = [](const std::string& bytes) {
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
  };
  EXPECT_EQ(Decode(f, record("00000000")), "");
  EXPECT_EQ(Decode(f, record(std::string(8, '\0'))), "");
  EXPECT_EQ(Decode(f, record(std::string("2024\0\0\0\0", 8))), "2024");
  EXPECT_EQ(Decode(f, record("20231399")), "20231399");
}

TEST(FieldTextTest, BinaryIsHexPaddedWithZeros) {
  const FieldLayout f = Field(FieldKind::kBinary, 0, 4);
  Encoded e = Encode(f, " 0aFF ", 4);
  ASSERT_TRUE(e.ok) << e.error;
  EXPECT_EQ(e.record, (std::vector<uint8_t>{0x0A, 0xFF, 0, 0}));
  EXPECT_EQ(Decode(f, e.record), "0aff0000");
  EXPECT_NE(Encode(f, "abc", 4).error.find("odd number"), std::string::npos);
  EXPECT_EQ(Encode(f, "zz", 4).error, "f: not hex digits: 'zz'");
  EXPECT_NE(Encode(f, "0102030405", 4).error.find("5 bytes do not fit the field's 4"),
            std::string::npos);
  e = Encode(f, "", 4);
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(e.record, std::vector<uint8_t>(4, 0));
}

TEST(FieldTextTest, FieldsOutsideTheRecordOrOfNoKnownKindAreRefused) {
  std::vector<uint8_t> record(8, 0);
  std::string text;
  std::string error;
  for (const FieldLayout& f :
       {Field(FieldKind::kText, 4, 5), Field(FieldKind::kSigned, -1, 4),
        Field(FieldKind::kSigned, 8, 1), Field(FieldKind::kText, 0, 0),
        Field(FieldKind::kBinary, 0, -1), Field(FieldKind::kText, INT32_MAX, INT32_MAX)}) {
    EXPECT_FALSE(EncodeField(f, "1", record, &error));
    EXPECT_NE(error.find("outside the record of 8 bytes"), std::string::npos) << error;
    EXPECT_FALSE(DecodeField(f, record, &text, &error));
    EXPECT_FALSE(ClearField(f, record));
  }
  const FieldLayout unknown = Field(static_cast<FieldKind>(9), 0, 4);
  EXPECT_FALSE(EncodeField(unknown, "1", record, &error));
  EXPECT_EQ(error, "f: unknown field kind 9");
  EXPECT_FALSE(DecodeField(unknown, record, &text, &error));
  EXPECT_FALSE(ClearField(unknown, record));
  EXPECT_FALSE(ClearField(Field(FieldKind::kUnsigned, 0, 3), record));
  EXPECT_FALSE(CheckField(Field(FieldKind::kDate, 0, 7), 8, &error));
  EXPECT_NE(error.find("date field of 7 bytes (8 needed)"), std::string::npos) << error;
  EXPECT_EQ(record, std::vector<uint8_t>(8, 0));
}

TEST(FieldTextTest, ClearFieldWritesEmptyValues) {
  std::vector<uint8_t> record(16, 0xAA);
  ASSERT_TRUE(ClearField(Field(FieldKind::kText, 0, 2), record));
  ASSERT_TRUE(ClearField(Field(FieldKind::kDate, 2, 8), record));
  ASSERT_TRUE(ClearField(Field(FieldKind::kSigned, 10, 2), record));
  ASSERT_TRUE(ClearField(Field(FieldKind::kBinary, 12, 3), record));
  EXPECT_EQ(std::string(record.begin(), record.end()),
            std::string(10, ' ') + std::string(5, '\0') + "\xAA");
}

// ---- CSV

using Rows = std::vector<std::vector<std::string>>;

// Reads all of `text`; *lines gets the starting line of each record.
Rows ReadAll(const std::string& text, std::string* error = nullptr,
             std::vector<int64_t>* lines = nullptr, int64_t* error_line = nullptr) {
  std::istringstream in(text);
  CsvReader reader(&in);
  Rows rows;
  std::vector<std::string> row;
  while (reader.Next(&row)) {
    rows.push_back(row);
    if (lines != nullptr) lines->push_back(reader.line());
  }
  if (error != nullptr) *error = reader.error();
  if (error_line != nullptr) *error_line = reader.line();
  return rows;
}

TEST(CsvReaderTest, QuotedFieldsHoldSeparatorsQuotesAndLineBreaks) {
  std::string error;
  std::vector<int64_t> lines;
  const Rows rows = ReadAll(
      "id,text\r\n"
      "1,\"a, b\"\r\n"
      "2,\"say \"\"hi\"\"\"\n"
      "3,\"two\nlines\"\n"
      "4,\"crlf\r\ninside\"\r\n"
      "5,\n"
      "6,\"\"",
      &error, &lines);
  EXPECT_EQ(error, "");
  const Rows expected = {{"id", "text"},
                         {"1", "a, b"},
                         {"2", "say \"hi\""},
                         {"3", "two\nlines"},
                         {"4", "crlf\r\ninside"},
                         {"5", ""},
                         {"6", ""}};
  EXPECT_EQ(rows, expected);
  // A record's line is where it starts; embedded line breaks count.
  EXPECT_EQ(lines, (std::vector<int64_t>{1, 2, 3, 4, 6, 8, 9}));
}

TEST(CsvReaderTest, EmptyLinesAndByteOrderMarkCarryNoRecord) {
  std::vector<int64_t> lines;
  const Rows rows = ReadAll("\xEF\xBB\xBFname\n\n\r\nx\n\n", nullptr, &lines);
  EXPECT_EQ(rows, (Rows{{"name"}, {"x"}}));
  EXPECT_EQ(lines, (std::vector<int64_t>{1, 4}));
  // A lone CR ends a line as well, and blanks are data.
  EXPECT_EQ(ReadAll("a,b\r c,d\r"), (Rows{{"a", "b"}, {" c", "d"}}));
  // Only a whole mark is dropped, and only at the start.
  EXPECT_EQ(ReadAll("\xEF\xBBx\n"), (Rows{{"\xEF\xBBx"}}));
  EXPECT_EQ(ReadAll("a\n\xEF\xBB\xBF\n"), (Rows{{"a"}, {"\xEF\xBB\xBF"}}));
}

TEST(CsvReaderTest, MalformedQuotingIsRefusedWithItsLine) {
  struct Case {
    const char* text;
    const char* error_part;
    int64_t line;
  };
  const Case cases[] = {
      {"a,b\nx,ab\"c\"\n", "quote inside an unquoted field", 2},
      {"a,b\nx,abc\"\n", "quote inside an unquoted field", 2},
      {"a,b\n1,\"ok\"x\n", "text after the closing quote", 2},
      {"a,b\n1,2\n3,\"never\nclosed\n", "opened on line 3 is not closed", 3},
      {"a\n\"x\" \n", "text after the closing quote", 2},
  };
  for (const Case& c : cases) {
    std::string error;
    int64_t line = 0;
    ReadAll(c.text, &error, nullptr, &line);
    EXPECT_NE(error.find(c.error_part), std::string::npos) << c.text << " gave: " << error;
    EXPECT_EQ(line, c.line) << c.text;
  }
}

TEST(CsvReaderTest, OversizedInputIsRefused) {
  constexpr size_t kField = CsvReader::kMaxFieldBytes;
  std::string error;
  ReadAll("a\n" + std::string(kField + 1, 'x') + "\n", &error);
  EXPECT_NE(error.find("field longer than"), std::string::npos) << error;
  ReadAll("\"" + std::string(kField + 1, 'x') + "\"\n", &error);
  EXPECT_NE(error.find("field longer than"), std::string::npos) << error;
  ReadAll(std::string(CsvReader::kMaxFields, ',') + "\n", &error);
  EXPECT_NE(error.find("fields in a record"), std::string::npos) << error;
  // Fields each within their bound, together over the record's.
  static_assert(CsvReader::kMaxRecordBytes % kField == 0);
  std::string big;
  for (size_t i = 0; i < CsvReader::kMaxRecordBytes / kField; ++i) {
    big += std::string(kField, 'x') + ",";
  }
  ReadAll(big + "y\n", &error);
  EXPECT_NE(error.find("record longer than"), std::string::npos) << error;

  // At the limits themselves it reads.
  Rows rows = ReadAll(std::string(CsvReader::kMaxFields - 1, ',') + "\n", &error);
  EXPECT_EQ(error, "");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].size(), CsvReader::kMaxFields);
  big.pop_back();
  rows = ReadAll(big, &error);
  EXPECT_EQ(error, "");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].size(), CsvReader::kMaxRecordBytes / kField);
  EXPECT_EQ(rows[0].back().size(), kField);
}

TEST(CsvReaderTest, OneRecordFromText) {
  std::vector<std::string> fields;
  std::string error;
  ASSERT_TRUE(SplitCsvRecord("7,\"Bolt, M8\",\"say \"\"hi\"\"\",\"two\nlines\",\r\n", &fields,
                             &error))
      << error;
  EXPECT_EQ(fields, (std::vector<std::string>{"7", "Bolt, M8", "say \"hi\"", "two\nlines", ""}));
  ASSERT_TRUE(SplitCsvRecord("\xEF\xBB\xBFx", &fields, &error)) << error;
  EXPECT_EQ(fields, std::vector<std::string>{"x"});
  // Nothing at all is one empty value, which a one-field record can take.
  ASSERT_TRUE(SplitCsvRecord("", &fields, &error));
  EXPECT_EQ(fields, std::vector<std::string>{""});
  ASSERT_TRUE(SplitCsvRecord("\n", &fields, &error));
  EXPECT_EQ(fields, std::vector<std::string>{""});

  const struct {
    const char* text;
    const char* error;
  } bad[] = {
      {"1,ab\"c", "quote inside an unquoted field"},
      {"1,\"open", "quoted field opened on line 1 is not closed"},
      {"1,2\n3,4", "a second record begins on line 2"},
      {"1,2\n\n\"3\"", "a second record begins on line 3"},
      {"1,2\n3,\"", "quoted field opened on line 2 is not closed"},
  };
  for (const auto& b : bad) {
    EXPECT_FALSE(SplitCsvRecord(b.text, &fields, &error)) << b.text;
    EXPECT_EQ(error, b.error) << b.text;
  }
}

TEST(CsvWriterTest, WhatIsWrittenReadsBackTheSame) {
  const Rows rows = {{"plain", "with,comma", "with \"quote\"", "line\nbreak", "cr\rlf\r\n", ""},
                     {""},
                     {"", ""},
                     {" padded ", "\xC3\xBC"}};
  std::string text;
  for (const auto& r : rows) {
    std::string one;
    AppendCsvRecord(r, &one);
    std::vector<std::string> fields;
    std::string error;
    EXPECT_TRUE(SplitCsvRecord(one, &fields, &error)) << error;
    EXPECT_EQ(fields, r);
    text += one;
  }
  std::string error;
  EXPECT_EQ(ReadAll(text, &error), rows);
  EXPECT_EQ(error, "");
  // Quotes only where needed, so ordinary dumps stay readable.
  std::string simple;
  AppendCsvRecord({"1", "Anna", "a b"}, &simple);
  EXPECT_EQ(simple, "1,Anna,a b\n");
}

}  // namespace
}  // namespace tmbio::text
