#include "wire/scratch_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "wire/allocation_failure.h"
#include "wire/errors.h"

namespace tmb {
namespace {

template <size_t N>
bool InsideObject(ScratchBuffer<N>& s) {
  const auto* first = reinterpret_cast<const uint8_t*>(&s);
  return s.data() >= first && s.data() < first + sizeof s;
}

template <size_t N>
bool AllZero(ScratchBuffer<N>& s) {
  return std::all_of(s.data(), s.data() + s.capacity(), [](uint8_t c) { return c == 0; });
}

TEST(ScratchBufferTest, LocalArrayUpToNAndABlockAbove) {
  ScratchBuffer<64> small(0);
  EXPECT_TRUE(InsideObject(small));
  EXPECT_EQ(small.capacity(), 64u);

  ScratchBuffer<64> exact(64);
  EXPECT_TRUE(InsideObject(exact));
  EXPECT_EQ(exact.capacity(), 64u);
  EXPECT_TRUE(AllZero(exact));

  ScratchBuffer<64> above(65);
  EXPECT_FALSE(InsideObject(above));
  EXPECT_EQ(above.capacity(), 65u);
  EXPECT_TRUE(AllZero(above));
  std::memset(above.data(), 0xAB, above.capacity());  // the whole capacity is writable
}

TEST(ScratchBufferTest, WithoutALocalArrayEveryBufferIsABlockNeverNull) {
  ScratchBuffer<0> empty(0);
  EXPECT_NE(empty.data(), nullptr);
  EXPECT_EQ(empty.capacity(), 0u);

  ScratchBuffer<0> some(10);
  EXPECT_FALSE(InsideObject(some));
  EXPECT_EQ(some.capacity(), 10u);
  EXPECT_TRUE(AllZero(some));
}

// The seam counts blocks only: a local array is no allocation.
TEST(ScratchBufferTest, ArmedSeamFailsTheChosenBlocksAndCountsThemAll) {
  ArmAllocationFailure(2, 2);
  ScratchBuffer<64> local(10);
  ScratchBuffer<64> first(100);
  EXPECT_EQ(AllocationsCounted(), 1u);
  EXPECT_THROW(ScratchBuffer<0>(1), RequestAbandoned);
  EXPECT_THROW(ScratchBuffer<64>(65), RequestAbandoned);
  ScratchBuffer<0> after(1);
  EXPECT_EQ(AllocationsCounted(), 4u);

  ArmAllocationFailure(0, 0);  // counting only
  ScratchBuffer<0> counted(1);
  DisarmAllocationFailure();
  ScratchBuffer<0> unseen(1);
  EXPECT_EQ(AllocationsCounted(), 1u);
}

}  // namespace
}  // namespace tmb
