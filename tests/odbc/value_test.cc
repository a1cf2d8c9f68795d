// Values into application buffers and parameters out of them.
#include "client/odbc/value.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tmb::odbc {
namespace {

TEST(ValueOutTest, TextComesInPiecesWithRemainingLengths) {
  const Value v = Value::Text("abcdefghij");  // 10 bytes
  char buf[4];
  SQLLEN ind = 0;
  size_t offset = 0;
  std::string got;
  std::vector<SQLLEN> remaining;
  for (;;) {
    const ConvertResult r = ConvertOut(v, SQL_C_CHAR, buf, sizeof buf, &ind, &offset);
    if (r.outcome == Outcome::kNoData) break;
    ASSERT_NE(r.outcome, Outcome::kError) << r.message;
    remaining.push_back(ind);
    got += buf;
    if (r.outcome == Outcome::kTruncated) {
      EXPECT_STREQ(r.state, "01004");
      EXPECT_EQ(std::strlen(buf), 3u);
    }
    ASSERT_LT(remaining.size(), 10u) << "pieces never end";
  }
  EXPECT_EQ(got, "abcdefghij");
  EXPECT_EQ(remaining, (std::vector<SQLLEN>{10, 7, 4, 1}));

  // An empty text is one empty piece, then no data.
  offset = 0;
  buf[0] = 'x';
  EXPECT_EQ(ConvertOut(Value::Text(""), SQL_C_CHAR, buf, sizeof buf, &ind, &offset).outcome,
            Outcome::kOk);
  EXPECT_EQ(ind, 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(ConvertOut(Value::Text(""), SQL_C_CHAR, buf, sizeof buf, &ind, &offset).outcome,
            Outcome::kNoData);

  // A null buffer asks only for the length.
  offset = 0;
  EXPECT_EQ(ConvertOut(v, SQL_C_CHAR, nullptr, 0, &ind, &offset).outcome, Outcome::kOk);
  EXPECT_EQ(ind, 10);
}

TEST(ValueOutTest, WideAndBinaryPiecesKeepWholeUnits) {
  // "é€" is 2 UTF-16 units = 4 bytes; a 5-byte buffer holds one unit and
  // the terminator, never half a unit.
  const Value v = Value::Text("\xc3\xa9\xe2\x82\xac");
  unsigned char buf[5];
  SQLLEN ind = 0;
  size_t offset = 0;
  ConvertResult r = ConvertOut(v, SQL_C_WCHAR, buf, sizeof buf, &ind, &offset);
  EXPECT_EQ(r.outcome, Outcome::kTruncated);
  EXPECT_EQ(ind, 4);
  EXPECT_EQ(buf[0] | buf[1] << 8, 0xe9);
  EXPECT_EQ(buf[2] | buf[3] << 8, 0);
  r = ConvertOut(v, SQL_C_WCHAR, buf, sizeof buf, &ind, &offset);
  EXPECT_EQ(r.outcome, Outcome::kOk);
  EXPECT_EQ(ind, 2);
  EXPECT_EQ(buf[0] | buf[1] << 8, 0x20ac);

  // Bytes are not terminated: a 3-byte buffer takes 3 bytes at a time.
  const Value blob = Value::Blob(std::string("\x00\x01\x02\x03\x04", 5));
  offset = 0;
  r = ConvertOut(blob, SQL_C_BINARY, buf, 3, &ind, &offset);
  EXPECT_EQ(r.outcome, Outcome::kTruncated);
  EXPECT_EQ(ind, 5);
  EXPECT_EQ(buf[2], 2);
  r = ConvertOut(blob, SQL_C_BINARY, buf, 3, &ind, &offset);
  EXPECT_EQ(r.outcome, Outcome::kOk);
  EXPECT_EQ(ind, 2);
  EXPECT_EQ(buf[1], 4);
  // As text, bytes read as hex.
  char hex[16];
  offset = 0;
  ConvertOut(blob, SQL_C_CHAR, hex, sizeof hex, &ind, &offset);
  EXPECT_STREQ(hex, "0001020304");

  // Supplementary characters travel as surrogate pairs and back.
  const std::string emoji = "a\xf0\x9f\x98\x80z";
  const std::u16string wide = Utf8ToUtf16(emoji);
  ASSERT_EQ(wide.size(), 4u);
  EXPECT_EQ(wide[1], 0xd83d);
  EXPECT_EQ(Utf16ToUtf8(wide.data(), wide.size()), emoji);
  EXPECT_EQ(Utf8ToUtf16("\xff"), std::u16string(1, u'\xfffd'));
}

TEST(ValueOutTest, NumbersCheckRangeAndForm) {
  int32_t i32 = 0;
  int16_t i16 = 0;
  uint32_t u32 = 0;
  int64_t i64 = 0;
  double d = 0;
  SQLLEN ind = 0;
  auto out = [&](const Value& v, SQLSMALLINT type, void* target) {
    size_t offset = 0;
    return ConvertOut(v, type, target, 0, &ind, &offset);
  };
  EXPECT_EQ(out(Value::Int(2147483647), SQL_C_SLONG, &i32).outcome, Outcome::kOk);
  EXPECT_EQ(i32, 2147483647);
  EXPECT_EQ(ind, 4);
  ConvertResult r = out(Value::Int(2147483648LL), SQL_C_SLONG, &i32);
  EXPECT_EQ(r.outcome, Outcome::kError);
  EXPECT_STREQ(r.state, "22003");
  EXPECT_STREQ(out(Value::Int(-1), SQL_C_ULONG, &u32).state, "22003");
  EXPECT_EQ(out(Value::Int(4294967295LL), SQL_C_ULONG, &u32).outcome, Outcome::kOk);
  EXPECT_EQ(u32, 4294967295u);
  EXPECT_STREQ(out(Value::Int(40000), SQL_C_SSHORT, &i16).state, "22003");
  EXPECT_EQ(out(Value::Text(" -42 "), SQL_C_SBIGINT, &i64).outcome, Outcome::kOk);
  EXPECT_EQ(i64, -42);
  EXPECT_STREQ(out(Value::Text("12x"), SQL_C_SLONG, &i32).state, "22018");
  EXPECT_STREQ(out(Value::Text(""), SQL_C_SLONG, &i32).state, "22018");
  r = out(Value::Real(2.75), SQL_C_SLONG, &i32);
  EXPECT_EQ(r.outcome, Outcome::kOk);
  EXPECT_STREQ(r.state, "01S07");
  EXPECT_EQ(i32, 2);
  EXPECT_STREQ(out(Value::Real(1e30), SQL_C_SBIGINT, &i64).state, "22003");
  EXPECT_EQ(out(Value::Text("2.5e1"), SQL_C_DOUBLE, &d).outcome, Outcome::kOk);
  EXPECT_DOUBLE_EQ(d, 25.0);
  // Fixed-size values come once: a second read of the column is no data.
  size_t offset = 0;
  EXPECT_EQ(ConvertOut(Value::Int(1), SQL_C_SLONG, &i32, 0, &ind, &offset).outcome, Outcome::kOk);
  EXPECT_EQ(ConvertOut(Value::Int(1), SQL_C_SLONG, &i32, 0, &ind, &offset).outcome,
            Outcome::kNoData);
  // Null needs an indicator, and says so through it.
  offset = 0;
  EXPECT_STREQ(ConvertOut(Value::Null(), SQL_C_SLONG, &i32, 0, nullptr, &offset).state, "22002");
  offset = 0;
  EXPECT_EQ(ConvertOut(Value::Null(), SQL_C_CHAR, nullptr, 0, &ind, &offset).outcome,
            Outcome::kOk);
  EXPECT_EQ(ind, SQL_NULL_DATA);
  EXPECT_STREQ(out(Value::Int(1), 9999, &i32).state, "07006");
}

TEST(ValueOutTest, DatesInEveryStoredForm) {
  SQL_DATE_STRUCT d{};
  SQL_TIMESTAMP_STRUCT ts{};
  SQLLEN ind = 0;
  for (const Value& v : {Value::Text("2024-02-29"), Value::Text("20240229"),
                         Value::Int(20240229)}) {
    size_t offset = 0;
    ASSERT_EQ(ConvertOut(v, SQL_C_TYPE_DATE, &d, 0, &ind, &offset).outcome, Outcome::kOk);
    EXPECT_EQ(d.year, 2024);
    EXPECT_EQ(d.month, 2);
    EXPECT_EQ(d.day, 29);
  }
  size_t offset = 0;
  ASSERT_EQ(ConvertOut(Value::Text("2024-03-01 13:45:07"), SQL_C_TYPE_TIMESTAMP, &ts, 0, &ind,
                       &offset)
                .outcome,
            Outcome::kOk);
  EXPECT_EQ(ts.hour, 13);
  EXPECT_EQ(ts.second, 7);
  for (const char* bad : {"2023-02-29", "2024-13-01", "2024-1-1", "yesterday", "2024-01-01x"}) {
    offset = 0;
    const ConvertResult r = ConvertOut(Value::Text(bad), SQL_C_TYPE_DATE, &d, 0, &ind, &offset);
    EXPECT_EQ(r.outcome, Outcome::kError) << bad;
    EXPECT_STREQ(r.state, "22007") << bad;
  }
}

TEST(ValueInTest, ParametersBecomeSqliteValues) {
  Value v;
  char text[] = "hello world";
  SQLLEN len = 5;
  ASSERT_EQ(ConvertIn(SQL_C_CHAR, SQL_VARCHAR, text, sizeof text, &len, &v).outcome, Outcome::kOk);
  EXPECT_EQ(v.kind, Value::kText);
  EXPECT_EQ(v.bytes, "hello");
  len = SQL_NTS;
  ConvertIn(SQL_C_CHAR, SQL_VARCHAR, text, sizeof text, &len, &v);
  EXPECT_EQ(v.bytes, "hello world");
  // SQL_NTS never reads past the buffer's stated size.
  char unterminated[3] = {'a', 'b', 'c'};
  ConvertIn(SQL_C_CHAR, SQL_VARCHAR, unterminated, 3, &len, &v);
  EXPECT_EQ(v.bytes, "abc");
  // Digits meant for a number compare as one.
  char digits[] = "1042";
  ConvertIn(SQL_C_CHAR, SQL_INTEGER, digits, sizeof digits, nullptr, &v);
  EXPECT_EQ(v.kind, Value::kInteger);
  EXPECT_EQ(v.integer, 1042);
  const std::u16string wide = u"Zoë";
  len = static_cast<SQLLEN>(wide.size() * 2);
  ConvertIn(SQL_C_WCHAR, SQL_WVARCHAR, const_cast<char16_t*>(wide.data()), len, &len, &v);
  EXPECT_EQ(v.bytes, "Zo\xc3\xab");
  int64_t big = -9000000000LL;
  ConvertIn(SQL_C_SBIGINT, SQL_BIGINT, &big, 0, nullptr, &v);
  EXPECT_EQ(v.integer, big);
  uint64_t huge = ~0ULL;
  EXPECT_STREQ(ConvertIn(SQL_C_UBIGINT, SQL_BIGINT, &huge, 0, nullptr, &v).state, "22003");
  SQL_DATE_STRUCT date{2025, 1, 31};
  ConvertIn(SQL_C_TYPE_DATE, SQL_TYPE_DATE, &date, 0, nullptr, &v);
  EXPECT_EQ(v.bytes, "2025-01-31");
  date.day = 32;
  EXPECT_STREQ(ConvertIn(SQL_C_TYPE_DATE, SQL_TYPE_DATE, &date, 0, nullptr, &v).state, "22008");
  len = SQL_NULL_DATA;
  ConvertIn(SQL_C_SLONG, SQL_INTEGER, &big, 0, &len, &v);
  EXPECT_EQ(v.kind, Value::kNull);
  len = SQL_DATA_AT_EXEC;
  EXPECT_STREQ(ConvertIn(SQL_C_CHAR, SQL_VARCHAR, text, 0, &len, &v).state, "HYC00");
  EXPECT_STREQ(ConvertIn(4242, SQL_VARCHAR, text, 0, nullptr, &v).state, "HY003");
}

}  // namespace
}  // namespace tmb::odbc
