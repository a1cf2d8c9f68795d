// Texts of the W entry points: UTF-16 arguments into UTF-8 and UTF-8 into
// wide buffers, malformed input and cuts at the buffer's end.
#include "client/odbc/wide_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tmb::odbc {
namespace {

const std::string kMoon = "\xf0\x9f\x8c\x9c";  // U+1F31C, D83C DF1C in UTF-16
const std::string kReplacement = "\xef\xbf\xbd";

std::vector<SQLWCHAR> Units(std::initializer_list<unsigned> units) {
  std::vector<SQLWCHAR> out;
  for (unsigned u : units) out.push_back(static_cast<SQLWCHAR>(u));
  return out;
}

std::vector<unsigned> Written(const SQLWCHAR* buffer, size_t n) {
  return std::vector<unsigned>(buffer, buffer + n);
}

TEST(WideTextTest, WideArgumentsBecomeUtf8) {
  const auto text = Units({'x', ' ', 0xd83c, 0xdf1c, ' ', 'z', 0});
  EXPECT_EQ(WideToUtf8(text.data(), SQL_NTS), "x " + kMoon + " z");
  EXPECT_EQ(TextArg(Width::kWide, text.data(), 6), "x " + kMoon + " z");
  // A length that ends inside the pair leaves its first half alone.
  EXPECT_EQ(TextArg(Width::kWide, text.data(), 3), "x " + kReplacement);
  // Lone halves, and halves in the wrong order.
  EXPECT_EQ(WideToUtf8(Units({'a', 0xdf1c, 'b'}).data(), 3), "a" + kReplacement + "b");
  EXPECT_EQ(WideToUtf8(Units({0xd83c, 'b', 0}).data(), SQL_NTS), kReplacement + "b");
  EXPECT_EQ(WideToUtf8(Units({0xdf1c, 0xd83c}).data(), 2), kReplacement + kReplacement);
  // An explicit length keeps a NUL inside the text.
  EXPECT_EQ(WideToUtf8(Units({'a', 0, 'b'}).data(), 3), std::string("a\0b", 3));
  // A text at an odd address, as an application's SQLPOINTER may be.
  alignas(2) char odd[1 + 3 * sizeof(SQLWCHAR)] = {};
  std::memcpy(odd + 1, text.data() + 2, 2 * sizeof(SQLWCHAR));
  EXPECT_EQ(WideToUtf8(reinterpret_cast<const SQLWCHAR*>(odd + 1), SQL_NTS), kMoon);
  // Null is no text; an empty one is.
  EXPECT_EQ(TextArg(Width::kWide, nullptr, SQL_NTS), "");
  EXPECT_FALSE(OptionalArg(Width::kWide, nullptr, 0).has_value());
  EXPECT_EQ(OptionalArg(Width::kWide, Units({0}).data(), SQL_NTS), std::optional<std::string>(""));
  // Narrow arguments count bytes.
  EXPECT_EQ(TextArg(Width::kNarrow, "abcdef", 4), "abcd");
  EXPECT_EQ(TextArg(Width::kNarrow, "abcdef", SQL_NTS), "abcdef");
}

TEST(WideTextTest, WideBuffersTakeWholeCharacters) {
  const std::string text = "a" + kMoon + "b";  // 4 units
  SQLWCHAR buf[8];
  long full = 0;
  // Room for one unit after the 'a' is no room for the pair: cut before it.
  EXPECT_TRUE(CopyWide(text, buf, 3, &full));
  EXPECT_EQ(full, 4);
  EXPECT_EQ(Written(buf, 2), (std::vector<unsigned>{'a', 0}));
  EXPECT_TRUE(CopyWide(text, buf, 4, &full));
  EXPECT_EQ(Written(buf, 4), (std::vector<unsigned>{'a', 0xd83c, 0xdf1c, 0}));
  EXPECT_FALSE(CopyWide(text, buf, 5, &full));
  EXPECT_EQ(Written(buf, 5), (std::vector<unsigned>{'a', 0xd83c, 0xdf1c, 'b', 0}));
  // A null buffer measures; no room writes nothing.
  EXPECT_FALSE(CopyWide(text, nullptr, 0, &full));
  EXPECT_EQ(full, 4);
  buf[0] = 'x';
  EXPECT_TRUE(CopyWide(text, buf, 0, &full));
  EXPECT_TRUE(CopyWide(text, buf, -2, &full));
  EXPECT_EQ(buf[0], 'x');
  EXPECT_FALSE(CopyWide("", buf, 0, &full));

  // Bytes that are no UTF-8 (a stray byte, an overlong form, an encoded
  // surrogate, a sequence cut short, beyond U+10FFFF) become U+FFFD each,
  // and what follows them survives.
  for (const char* bad : {"\xff", "\xc0\x80", "\xed\xa0\x80", "\xf0\x9f\x8c", "\xf4\x90\x80\x80"}) {
    const std::string broken = std::string("<") + bad + ">";
    ASSERT_FALSE(CopyWide(broken, buf, 8, &full)) << bad;
    EXPECT_EQ(full, static_cast<long>(std::strlen(bad) + 2)) << bad;
    EXPECT_EQ(buf[0], '<');
    for (size_t i = 1; i <= std::strlen(bad); ++i) EXPECT_EQ(buf[i], 0xfffd) << bad;
    EXPECT_EQ(buf[std::strlen(bad) + 1], '>') << bad;
  }
}

TEST(WideTextTest, OutBuffersCountAsTheirFunctionDefines) {
  const std::string text = "a" + kMoon + "b";
  SQLWCHAR wide[8];
  long length = 0;
  // Characters: SQLDescribeColW, SQLGetDiagRecW, SQLDriverConnectW.
  EXPECT_FALSE(TextOut::Chars(Width::kWide, wide, 8).Put(text, &length));
  EXPECT_EQ(length, 4);
  // Bytes: SQLGetInfoW and the other SQLPOINTER buffers. Seven bytes hold
  // three units, so again only the 'a' before the pair; the length counts
  // bytes.
  EXPECT_TRUE(TextOut::Bytes(Width::kWide, wide, 7).Put(text, &length));
  EXPECT_EQ(length, 8);
  EXPECT_EQ(Written(wide, 2), (std::vector<unsigned>{'a', 0}));
  wide[0] = 'x';
  EXPECT_TRUE(TextOut::Bytes(Width::kWide, wide, 1).Put(text, &length));
  EXPECT_EQ(wide[0], 'x');
  // A buffer at an odd address.
  char odd[1 + 6 * sizeof(SQLWCHAR)];
  EXPECT_FALSE(TextOut::Bytes(Width::kWide, odd + 1, 6 * sizeof(SQLWCHAR)).Put(text, &length));
  SQLWCHAR copied[5];
  std::memcpy(copied, odd + 1, sizeof copied);
  EXPECT_EQ(Written(copied, 5), (std::vector<unsigned>{'a', 0xd83c, 0xdf1c, 'b', 0}));
  // Narrow: bytes either way, the text as it is.
  char narrow[4];
  EXPECT_TRUE(TextOut::Chars(Width::kNarrow, narrow, sizeof narrow).Put("abcdef", &length));
  EXPECT_STREQ(narrow, "abc");
  EXPECT_EQ(length, 6);
  EXPECT_FALSE(TextOut::Bytes(Width::kNarrow, nullptr, 0).Put(text, &length));
  EXPECT_EQ(length, static_cast<long>(text.size()));
}

}  // namespace
}  // namespace tmb::odbc
