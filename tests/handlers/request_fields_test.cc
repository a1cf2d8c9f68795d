#include "handlers/request_fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "handlers/text_field.h"
#include "wire/errors.h"
#include "server/server.h"
#include "wire/primitives.h"

namespace tmb {
namespace {

// A request body holding one counted block of `bytes`, then the byte 0x7E.
class Request {
 public:
  explicit Request(const std::string& bytes, int32_t length_field = -1) {
    EXPECT_TRUE(b_.Create());
    b_.Reset();
    PutInt32(b_, length_field >= 0 ? length_field : static_cast<int32_t>(bytes.size()));
    b_.Append(bytes.data(), bytes.size());
    PutByte(b_, 0x7E);
    b_.set_cursor(0);
  }
  MessageBuffer& buffer() { return b_; }

 private:
  MessageBuffer b_;
};

TEST(RequestFieldsTest, TextsEndInsideTheirBuffer) {
  char dest[8];
  std::memset(dest, '#', sizeof dest);
  Request with_nul(std::string("abc\0", 4));
  EXPECT_EQ(GetTerminatedText(with_nul.buffer(), dest, sizeof dest), 4u);
  EXPECT_STREQ(dest, "abc");
  EXPECT_EQ(GetByte(with_nul.buffer()), 0x7E);

  std::memset(dest, '#', sizeof dest);
  Request without_nul("abcdefg");  // 7 bytes: the NUL goes at dest[7]
  EXPECT_EQ(GetTerminatedText(without_nul.buffer(), dest, sizeof dest), 7u);
  EXPECT_STREQ(dest, "abcdefg");

  Request full_with_nul(std::string("abcdefg\0", 8));
  EXPECT_EQ(GetTerminatedText(full_with_nul.buffer(), dest, sizeof dest), 8u);
  EXPECT_STREQ(dest, "abcdefg");

  Request full_without_nul("abcdefgh");
  EXPECT_THROW(GetTerminatedText(full_without_nul.buffer(), dest, sizeof dest), MalformedRequest);
  Request too_long("abcdefghi");
  EXPECT_THROW(GetTerminatedText(too_long.buffer(), dest, sizeof dest), MalformedMessage);
}

TEST(RequestFieldsTest, AFullFieldNeedsANulAnywhereOrAtItsEnd) {
  // GetText takes any NUL inside the field; a terminated text must end with
  // its own, so a full block whose NUL is not its last byte is refused.
  char dest[8];
  Request inner_nul(std::string("ab\0defgh", 8));
  EXPECT_EQ(GetText(inner_nul.buffer(), dest, sizeof dest, sizeof dest), 8u);
  EXPECT_STREQ(dest, "ab");
  Request inner_nul_again(std::string("ab\0defgh", 8));
  EXPECT_THROW(GetTerminatedText(inner_nul_again.buffer(), dest, sizeof dest), MalformedRequest);

  // Room past the capacity ends a full block; the rest of the field is
  // zeroed, whatever it held.
  char wide[9];
  std::memset(wide, '#', sizeof wide);
  Request full("abcdefgh");
  EXPECT_EQ(GetText(full.buffer(), wide, sizeof wide, 8), 8u);
  EXPECT_STREQ(wide, "abcdefgh");
  Request shorter("abc");
  std::memset(wide, '#', sizeof wide);
  EXPECT_EQ(GetText(shorter.buffer(), wide, sizeof wide, 8), 3u);
  EXPECT_EQ(std::string(wide, sizeof wide), std::string(9, '\0').replace(0, 3, "abc"));
  Request full_without_room("abcdefgh");
  EXPECT_THROW(GetText(full_without_room.buffer(), dest, sizeof dest, sizeof dest),
               MalformedRequest);
}

TEST(RequestFieldsTest, OptionalTextsFollowOnlyTheirFlag) {
  MessageBuffer b;
  ASSERT_TRUE(b.Create());
  b.Reset();
  PutInt16(b, 1);
  PutText(b, "first");
  PutInt16(b, 2);  // only 1 brings a text
  PutInt16(b, 1);
  PutText(b, "third");
  PutInt32(b, -1);  // an i32 flag below 1 brings none
  PutInt32(b, 7);
  PutText(b, "fifth");
  b.set_cursor(0);

  char first[8], second[8], third[4], fourth[8], fifth[8];
  std::memset(second, '#', sizeof second);
  std::memset(fourth, '#', sizeof fourth);
  const TextField int16_flagged[] = {WholeField(first), WholeField(second), {third, 4, 3}};
  bool present[3] = {false, true, false};
  EXPECT_THROW(GetOptionalTexts(b, int16_flagged, TextFlag::kInt16One, present), MalformedMessage);

  b.set_cursor(0);
  const TextField fitting[] = {WholeField(first), WholeField(second), WholeField(fourth)};
  GetOptionalTexts(b, fitting, TextFlag::kInt16One, present);
  EXPECT_STREQ(first, "first");
  EXPECT_EQ(std::string(second, sizeof second), std::string(sizeof second, '\0'));
  EXPECT_STREQ(fourth, "third");
  EXPECT_TRUE(present[0]);
  EXPECT_FALSE(present[1]);
  EXPECT_TRUE(present[2]);

  std::memset(fourth, '#', sizeof fourth);
  const TextField int32_flagged[] = {WholeField(fourth), WholeField(fifth)};
  GetOptionalTexts(b, int32_flagged, TextFlag::kInt32AboveZero);
  EXPECT_STREQ(fourth, "");
  EXPECT_STREQ(fifth, "fifth");
  EXPECT_EQ(Remaining(b), 0u);
}

TEST(RequestFieldsTest, SkipChecksLikeARead) {
  Request ok("12345");
  EXPECT_EQ(SkipBlock(ok.buffer(), 5), 5u);
  EXPECT_EQ(GetByte(ok.buffer()), 0x7E);
  Request longer("12345");
  EXPECT_THROW(SkipBlock(longer.buffer(), 4), MalformedRequest);
  Request past_end("12", 50);
  EXPECT_THROW(SkipBlock(past_end.buffer(), 100), MalformedRequest);
}

TEST(RequestFieldsTest, SizesBoundedByTheMessageLimit) {
  const uint64_t limit = MaxMessageSize();
  EXPECT_EQ(CheckedSize(0), 0u);
  EXPECT_EQ(CheckedSize(static_cast<int64_t>(limit)), limit);
  EXPECT_THROW(CheckedSize(static_cast<int64_t>(limit) + 1), MalformedRequest);
  EXPECT_THROW(CheckedSize(-1), MalformedRequest);
  EXPECT_EQ(CheckedSize(3, 2956), 3u * 2956u);
  EXPECT_THROW(CheckedSize(INT32_MAX, 2956), MalformedRequest);
  // Even an empty scratch block is a block.
  EXPECT_NE(Scratch(0, 40).data(), nullptr);
  EXPECT_THROW(Scratch<16>(INT32_MAX, 2956), MalformedRequest);
}

}  // namespace
}  // namespace tmb
