#include "wire/frame.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <limits>
#include <thread>
#include <vector>

#include "wire/compression.h"
#include "wire/primitives.h"
#include "wire/request_memory.h"

namespace tmb {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Header(uint32_t n, uint32_t u) {
  Bytes h(8);
  StoreBigEndian32(h.data(), n);
  StoreBigEndian32(h.data() + 4, u);
  return h;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    near_.fd = fds[0];
    far_.fd = fds[1];
    ASSERT_TRUE(buffer_.Create());
  }
  void TearDown() override {
    close(near_.fd);
    ConnectionReset(near_);
    if (far_.fd >= 0) close(far_.fd);
  }

  void WriteRaw(const Bytes& bytes) {
    ASSERT_EQ(ConnectionSend(far_, bytes.data(), static_cast<int64_t>(bytes.size())),
              static_cast<int64_t>(bytes.size()));
  }

  // Reads exactly one frame as raw bytes from the far end.
  Bytes ReadRawFrame() {
    Bytes header(8);
    EXPECT_EQ(recv(far_.fd, header.data(), 8, MSG_WAITALL), 8);
    const uint32_t n = LoadBigEndian32(header.data());
    Bytes body(n);
    if (n > 0) {
      EXPECT_EQ(recv(far_.fd, body.data(), n, MSG_WAITALL), static_cast<ssize_t>(n));
    }
    return Concat(header, body);
  }

  // Sends `body` from the near end with the given settings.
  void SendBody(const Bytes& body, CompressionSettings& s) { SendBodyFrom(buffer_, near_, body, s); }

  static void SendBodyFrom(MessageBuffer& b, Connection& c, const Bytes& body,
                           CompressionSettings& s) {
    b.BeginReply();
    for (uint8_t byte : body) PutByte(b, byte);
    ASSERT_TRUE(SendFrame(c, b, s));
  }

  ReceiveResult Receive(CompressionSettings& s, uint64_t max_size = 1 << 20) {
    return ReceiveFrame(near_, buffer_, s, max_size);
  }

  Bytes Body() { return Bytes(buffer_.data(), buffer_.data() + buffer_.length()); }

  Connection near_, far_;
  MessageBuffer buffer_;
};

TEST(CompressionChoiceTest, FollowsLevelThresholdsAndWarmUp) {
  CompressionSettings s;
  EXPECT_EQ(CompressionChoice(s, 1), Codec::kRunLength);
  EXPECT_EQ(CompressionChoice(s, 0), Codec::kNone);
  s.rle_threshold = 100;
  s.zlib_threshold = 1000;
  EXPECT_EQ(CompressionChoice(s, 100), Codec::kNone);
  EXPECT_EQ(CompressionChoice(s, 101), Codec::kRunLength);
  EXPECT_EQ(CompressionChoice(s, 5000), Codec::kRunLength);  // zlib not granted
  s.level = 100;
  EXPECT_EQ(CompressionChoice(s, 1001), Codec::kZlib);
  EXPECT_EQ(CompressionChoice(s, 1000), Codec::kRunLength);
  EXPECT_EQ(CompressionChoice(s, 50), Codec::kNone);
  s.warmup = 1;  // the first exchange of a connection never uses zlib
  EXPECT_EQ(CompressionChoice(s, 5000), Codec::kRunLength);
  s.warmup = 0;
  s.level = 7;
  EXPECT_EQ(CompressionChoice(s, 5000), Codec::kNone);
}

TEST_F(FrameTest, ZeroRunReplyGoesOutRunLengthCoded) {
  CompressionSettings s;
  Bytes body(201, 0);
  body[0] = 0x2A;
  SendBody(body, s);
  EXPECT_EQ(ReadRawFrame(), (Bytes{0, 0, 0, 3, 0, 0, 0, 201, 0x2A, 240, 89}));
  EXPECT_EQ(buffer_.cursor(), buffer_.length());
}

TEST_F(FrameTest, BodiesThatDoNotShrinkGoOutPlain) {
  CompressionSettings s;
  SendBody({7}, s);  // nothing after the first byte to code
  EXPECT_EQ(ReadRawFrame(), (Bytes{0, 0, 0, 1, 0, 0, 0, 1, 7}));
  SendBody({7, 1, 2, 3}, s);  // three different bytes code into six
  EXPECT_EQ(ReadRawFrame(), (Bytes{0, 0, 0, 4, 0, 0, 0, 4, 7, 1, 2, 3}));
  SendBody({}, s);
  EXPECT_EQ(ReadRawFrame(), (Bytes{0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(FrameTest, WarmUpCountFallsWithEachExchange) {
  CompressionSettings s;
  s.warmup = 2;
  WriteRaw(Concat(Header(1, 1), {41}));
  ASSERT_EQ(Receive(s), ReceiveResult::kOk);
  EXPECT_EQ(s.warmup, 1);
  SendBody({0, 0}, s);
  ReadRawFrame();
  EXPECT_EQ(s.warmup, 0);
  SendBody({0, 0}, s);
  ReadRawFrame();
  EXPECT_EQ(s.warmup, 0);
}

TEST_F(FrameTest, EqualLengthsMeanPlainEvenWhenCodingApplies) {
  CompressionSettings s;
  const Bytes body = {16, 240, 89};  // would expand if decoded
  WriteRaw(Concat(Header(3, 3), body));
  ASSERT_EQ(Receive(s), ReceiveResult::kOk);
  EXPECT_EQ(Body(), body);
  EXPECT_EQ(buffer_.cursor(), 0u);
}

TEST_F(FrameTest, RunLengthRequestIsDecoded) {
  CompressionSettings s;
  WriteRaw(Concat(Header(5, 204), {16, 240, 89, 131, 'x'}));
  ASSERT_EQ(Receive(s), ReceiveResult::kOk);
  Bytes expected(204, 0);
  expected[0] = 16;
  expected[201] = expected[202] = expected[203] = 'x';
  EXPECT_EQ(Body(), expected);
}

TEST_F(FrameTest, ShortDecodeKeepsAnnouncedLengthWithZeroTail) {
  CompressionSettings s;
  // Poison the home block so a tail that is not cleared would show.
  buffer_.BeginReply();
  for (int i = 0; i < 100; ++i) PutByte(buffer_, 0xEE);
  WriteRaw(Concat(Header(3, 50), {16, 131, 'y'}));
  ASSERT_EQ(Receive(s), ReceiveResult::kOk);
  Bytes expected(50, 0);
  expected[0] = 16;
  expected[1] = expected[2] = expected[3] = 'y';
  EXPECT_EQ(Body(), expected);
}

TEST_F(FrameTest, MalformedFramesAreRefused) {
  struct Case {
    const char* what;
    Bytes frame;
  };
  const Case cases[] = {
      {"empty body claiming a plain length", Header(0, 10)},
      {"run-length stream overflowing", Concat(Header(3, 10), {16, 200, 1})},
      {"invalid code byte", Concat(Header(3, 100), {16, 241, 0})},
      {"literal item cut short", Concat(Header(3, 100), {16, 5, 1})},
      {"wire length beyond the buffer", Concat(Header(5000, 10), Bytes(16, 0))},
      {"plain length above the limit", Header(10, 2000000)},
      {"wire length above the limit", Header(2000000, 10)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CompressionSettings s;
    WriteRaw(c.frame);
    EXPECT_EQ(Receive(s), ReceiveResult::kMalformed);
    // Start the next case on a fresh pair: the stream is out of step now.
    TearDown();
    SetUp();
  }
}

// A connection reads ahead of the frame it is asked for: frames sent
// together, a small one before one larger than the read-ahead, and a peek
// before them all arrive whole and in order.
TEST_F(FrameTest, FramesSentTogetherArriveWholeAndInOrder) {
  CompressionSettings s;
  const Bytes big(3 * kReadAhead, 7);
  const auto big_length = static_cast<uint32_t>(big.size());
  WriteRaw(Concat(Concat(Header(3, 3), {1, 2, 3}),
                  Concat(Concat(Header(1, 1), {9}), Concat(Header(big_length, big_length), big))));
  uint8_t head[4];
  ASSERT_EQ(ConnectionPeek(near_, head, 4), 4);
  EXPECT_EQ(LoadBigEndian32(head), 3u);
  ASSERT_EQ(Receive(s), ReceiveResult::kOk);
  EXPECT_EQ(Body(), (Bytes{1, 2, 3}));
  ASSERT_EQ(Receive(s), ReceiveResult::kOk);
  EXPECT_EQ(Body(), Bytes{9});
  ASSERT_EQ(Receive(s), ReceiveResult::kOk);
  EXPECT_EQ(Body(), big);
  // Nothing is left over: the next read waits for the peer, who closes.
  close(far_.fd);
  far_.fd = -1;
  EXPECT_EQ(Receive(s), ReceiveResult::kClosed);
}

TEST_F(FrameTest, PeerClosingMidFrameIsAClosedConnection) {
  CompressionSettings s;
  WriteRaw(Concat(Header(10, 10), {1, 2, 3}));
  close(far_.fd);
  far_.fd = -1;
  EXPECT_EQ(Receive(s), ReceiveResult::kClosed);
}

TEST_F(FrameTest, CodedBodyAndItsPlainLengthBothCountAsRequestMemory) {
  CompressionSettings s;
  // Forty literal items of 127 bytes: 5121 bytes on the wire for 20000.
  Bytes body = {16};
  for (int item = 0; item < 40; ++item) {
    body.push_back(127);
    for (int i = 0; i < 127; ++i) body.push_back(static_cast<uint8_t>(i + item));
  }
  const Bytes frame = Concat(Header(static_cast<uint32_t>(body.size()), 20000), body);
  const uint64_t base = RequestMemoryInUse();

  SetRequestMemoryLimit(base + 20480 + body.size() - 1);
  WriteRaw(frame);
  EXPECT_EQ(Receive(s), ReceiveResult::kClosed);
  TearDown();
  SetUp();

  SetRequestMemoryLimit(base + 20480 + body.size());
  WriteRaw(frame);
  ASSERT_EQ(Receive(s), ReceiveResult::kOk);
  EXPECT_EQ(buffer_.length(), 20000u);
  EXPECT_EQ(Body()[5080], 126 + 39);  // the last item's last byte
  EXPECT_EQ(Body()[5081], 0);         // and the tail beyond what was coded
  EXPECT_EQ(RequestMemoryInUse(), base + 20480);  // the coded bytes are given back
  buffer_.ReturnHome();
  EXPECT_EQ(RequestMemoryInUse(), base);
  SetRequestMemoryLimit(std::numeric_limits<uint64_t>::max());
}

TEST_F(FrameTest, ZlibBodiesRoundTripWhenGranted) {
  if (!LoadCompressionLibrary()) GTEST_SKIP() << "libz.so.1 not loadable";
  CompressionSettings sender;
  sender.level = 100;
  sender.zlib_threshold = 10;
  CompressionSettings receiver = sender;
  Bytes body(20000);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>("abcdefgh"[i % 8] + i / 5000);
  MessageBuffer out;
  ASSERT_TRUE(out.Create());
  std::thread writer([&] { SendBodyFrom(out, far_, body, sender); });
  ASSERT_EQ(Receive(receiver), ReceiveResult::kOk);
  writer.join();
  EXPECT_EQ(Body(), body);

  // A zlib-coded body that does not inflate is refused.
  WriteRaw(Concat(Header(5, 100), {16, 1, 2, 3, 4}));
  EXPECT_EQ(Receive(receiver), ReceiveResult::kMalformed);
}

}  // namespace
}  // namespace tmb
