#include "tmbio/admin/csv.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace tmbadmin {
namespace {

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
  // Only a whole mark is dropped.
  EXPECT_EQ(ReadAll("\xEF\xBBx\n"), (Rows{{"\xEF\xBBx"}}));
}

TEST(CsvReaderTest, MalformedQuotingIsRefusedWithItsLine) {
  struct Case {
    const char* text;
    const char* error_part;
    int64_t line;
  };
  const Case cases[] = {
      {"a,b\nx,ab\"c\"\n", "quote inside an unquoted field", 2},
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
  std::string error;
  ReadAll("a\n" + std::string(CsvReader::kMaxFieldBytes + 1, 'x') + "\n", &error);
  EXPECT_NE(error.find("longer than"), std::string::npos);
  ReadAll("\"" + std::string(CsvReader::kMaxFieldBytes + 1, 'x') + "\"\n", &error);
  EXPECT_NE(error.find("longer than"), std::string::npos);
  ReadAll(std::string(CsvReader::kMaxFields, ',') + "\n", &error);
  EXPECT_NE(error.find("fields in a record"), std::string::npos);
  // At the limits themselves it reads.
  const Rows rows = ReadAll(std::string(CsvReader::kMaxFields - 1, ',') + "\n", &error);
  EXPECT_EQ(error, "");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].size(), CsvReader::kMaxFields);
}

TEST(CsvWriterTest, WhatIsWrittenReadsBackTheSame) {
  const Rows rows = {{"plain", "with,comma", "with \"quote\"", "line\nbreak", "cr\rlf\r\n", ""},
                     {""},
                     {"", ""},
                     {" padded ", "\xC3\xBC"}};
  std::string text;
  for (const auto& r : rows) AppendCsvRecord(r, &text);
  std::string error;
  EXPECT_EQ(ReadAll(text, &error), rows);
  EXPECT_EQ(error, "");
  // Quotes only where needed, so ordinary dumps stay readable.
  std::string simple;
  AppendCsvRecord({"1", "Anna", "a b"}, &simple);
  EXPECT_EQ(simple, "1,Anna,a b\n");
}

}  // namespace
}  // namespace tmbadmin
