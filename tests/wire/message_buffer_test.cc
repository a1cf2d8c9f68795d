#include "wire/message_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "wire/allocation_failure.h"
#include "wire/request_memory.h"

namespace tmb {
namespace {

class MessageBufferTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(b.Create()); }
  void TearDown() override {
    DisarmAllocationFailure();
    SetRequestMemoryLimit(std::numeric_limits<uint64_t>::max());
  }

  // Receives a message of `size` bytes the way the frame reader does.
  void Receive(uint64_t size) {
    ASSERT_TRUE(b.EnsureCapacity(size, false));
    b.set_length(size);
  }

  MessageBuffer b;
};

TEST_F(MessageBufferTest, AppendUpToHomeBlockThenGrowKeepsBytesAndHome) {
  std::vector<uint8_t> bytes(4096);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(b.Append(bytes.data(), bytes.size()));
  EXPECT_TRUE(b.on_home_block());
  EXPECT_EQ(b.capacity(), 4096u);
  EXPECT_EQ(b.length(), 4096u);

  const uint8_t one = 0x5A;
  ASSERT_TRUE(b.Append(&one, 1));
  EXPECT_FALSE(b.on_home_block());
  EXPECT_TRUE(b.has_home_block());
  EXPECT_EQ(b.capacity(), 8192u);
  EXPECT_EQ(b.length(), 4097u);
  EXPECT_EQ(std::memcmp(b.data(), bytes.data(), bytes.size()), 0);
  EXPECT_EQ(b.data()[4096], one);
}

TEST_F(MessageBufferTest, ReplyBuiltPieceByPieceMovesLogarithmicallyOften) {
  // Growing by one unit per piece would move (and copy) the block 255 times.
  const std::vector<uint8_t> piece(4096, 0x3C);
  int moves = 0;
  for (int i = 0; i < 256; ++i) {
    const uint8_t* before = b.data();
    ASSERT_TRUE(b.Append(piece.data(), piece.size()));
    if (b.data() != before) ++moves;
  }
  EXPECT_LE(moves, 9);
  EXPECT_EQ(b.length(), 256u * 4096);
  EXPECT_EQ(b.data()[b.length() - 1], 0x3C);

  // A reserved reply is made in one block, of the size asked.
  b.ReturnHome();
  b.BeginReply();
  ASSERT_TRUE(b.Reserve(100000));
  EXPECT_EQ(b.capacity(), 102400u);
  const uint8_t* reserved = b.data();
  for (int i = 0; i < 24; ++i) ASSERT_TRUE(b.Append(piece.data(), piece.size()));
  EXPECT_EQ(b.data(), reserved);
  EXPECT_EQ(b.data()[8], 0x3C);
}

TEST_F(MessageBufferTest, SizingPolicyFollowsFourKilobyteUnits) {
  struct Step {
    uint64_t message;
    uint64_t expected_capacity;
  };
  // From the home block up, back down, and the 4095-byte tolerance both ways.
  const Step steps[] = {{4097, 8192},   {20000, 20480}, {16384, 16384}, {10000, 12288},
                        {10000, 12288}, {100, 4096},    {50000, 53248}, {100, 4096}};
  for (const Step& step : steps) {
    Receive(step.message);
    EXPECT_EQ(b.capacity(), step.expected_capacity) << "message of " << step.message;
    EXPECT_EQ(b.length(), step.message);
    EXPECT_EQ(b.on_home_block(), step.expected_capacity == 4096);
  }
}

TEST_F(MessageBufferTest, EnsureWithoutKeepAlwaysResetsPositions) {
  for (uint64_t size : {0ull, 10ull, 4096ull, 9000ull, 100ull}) {
    b.SetPosition(77);
    ASSERT_TRUE(b.EnsureCapacity(size, false));
    EXPECT_EQ(b.length(), 0u);
    EXPECT_EQ(b.cursor(), 0u);
  }
}

TEST_F(MessageBufferTest, FailedAllocateFallsBackToHomeBlock) {
  ArmAllocationFailure(1, 1);
  EXPECT_FALSE(b.EnsureCapacity(9000, false));
  EXPECT_EQ(b.data(), nullptr);
  EXPECT_EQ(b.capacity(), 0u);
  EXPECT_TRUE(b.has_home_block());
  ASSERT_TRUE(b.EnsureCapacity(4096, false));
  EXPECT_TRUE(b.on_home_block());
  EXPECT_EQ(b.capacity(), 4096u);
}

TEST_F(MessageBufferTest, FailedGrowLeavesContentsAndRefusesAppend) {
  std::vector<uint8_t> bytes(4096, 0xAB);
  ASSERT_TRUE(b.Append(bytes.data(), bytes.size()));
  // The doubled block fails, then the exact one.
  ArmAllocationFailure(1, 2);
  EXPECT_FALSE(b.Append(bytes.data(), 1));
  EXPECT_EQ(b.length(), 4096u);
  EXPECT_TRUE(b.on_home_block());
  EXPECT_EQ(b.data()[4095], 0xAB);
}

TEST_F(MessageBufferTest, GrownBlocksCountAsRequestMemoryWithinItsLimit) {
  const uint64_t base = RequestMemoryInUse();
  SetRequestMemoryLimit(base + 16384);
  Receive(100);
  EXPECT_EQ(RequestMemoryInUse(), base);  // the home block is the connection's own
  Receive(12000);
  EXPECT_EQ(RequestMemoryInUse(), base + 12288);
  std::vector<uint8_t> bytes(8000, 2);
  b.set_length(0);
  ASSERT_TRUE(b.Append(bytes.data(), bytes.size()));
  EXPECT_FALSE(b.Append(bytes.data(), bytes.size()));  // old and new block together pass it
  EXPECT_EQ(b.length(), 8000u);

  b.ReturnHome();
  EXPECT_TRUE(b.on_home_block());
  EXPECT_EQ(b.length(), 0u);
  EXPECT_EQ(RequestMemoryInUse(), base);
  Receive(16384);  // what was given back can be had again
  b.set_length(0);
  ASSERT_TRUE(b.Append(bytes.data(), bytes.size()));  // within its block: nothing more
  EXPECT_EQ(RequestMemoryInUse(), base + 16384);

  // After a failed allocation the buffer goes home all the same.
  EXPECT_FALSE(b.EnsureCapacity(16385, false));
  b.ReturnHome();
  EXPECT_TRUE(b.on_home_block());
  EXPECT_EQ(RequestMemoryInUse(), base);
}

TEST_F(MessageBufferTest, BeginReplyLeavesRoomForFrameHeader) {
  Receive(300);
  b.BeginReply();
  EXPECT_EQ(b.length(), 8u);
  EXPECT_EQ(b.cursor(), 8u);
}

// Destruction paths are checked by AddressSanitizer's leak and double-free
// detection: one buffer ends on its home block, one on a large block, one
// after a failed allocation.
TEST(MessageBufferLifetime, FreesEveryBlockOnce) {
  {
    MessageBuffer home;
    ASSERT_TRUE(home.Create());
  }
  {
    MessageBuffer large;
    ASSERT_TRUE(large.Create());
    ASSERT_TRUE(large.EnsureCapacity(70000, false));
    EXPECT_FALSE(large.on_home_block());
  }
  {
    MessageBuffer failed;
    ASSERT_TRUE(failed.Create());
    ArmAllocationFailure(1, 1);
    EXPECT_FALSE(failed.Allocate(8192));
    EXPECT_TRUE(failed.has_home_block());
  }
  DisarmAllocationFailure();
}

}  // namespace
}  // namespace tmb
