#include "handlers/request_fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

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
  EXPECT_THROW(GetTerminatedText(too_long.buffer(), dest, sizeof dest), MalformedRequest);
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
  EXPECT_NE(Scratch(0, 40), nullptr);
}

}  // namespace
}  // namespace tmb
