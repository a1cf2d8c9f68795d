#include "server/client_slots.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace tmb {
namespace {

TEST(ClientSlotsTest, OneSlotAdmitsOnlyItsOwnName) {
  ClientSlots slots;
  slots.Activate(1);
  EXPECT_TRUE(slots.Acquire("alpha", 10));
  EXPECT_FALSE(slots.Acquire("beta", 11));
  EXPECT_TRUE(slots.Acquire("alpha", 12));  // a second connection, same client
  EXPECT_EQ(slots.in_use(), 1);
  slots.Release("alpha");
  EXPECT_FALSE(slots.Acquire("beta", 11));  // alpha still has one connection
  slots.Release("alpha");
  EXPECT_EQ(slots.in_use(), 0);
  EXPECT_TRUE(slots.Acquire("beta", 11));
}

TEST(ClientSlotsTest, NamesCompareWholeAndVacantSlotsAreReusedLowestFirst) {
  ClientSlots slots;
  slots.Activate(2);
  EXPECT_TRUE(slots.Acquire("AB", 1));
  EXPECT_TRUE(slots.Acquire("ABCD", 2));
  EXPECT_EQ(slots.in_use(), 2);
  EXPECT_FALSE(slots.Acquire("A", 3));
  slots.Release("AB");
  EXPECT_EQ(slots.in_use(), 1);
  EXPECT_TRUE(slots.Acquire("C", 3));
  EXPECT_FALSE(slots.Acquire("AB", 4));  // "C" took the freed slot
}

TEST(ClientSlotsTest, ReleaseOfUnknownOrEmptyNameChangesNothing) {
  ClientSlots slots;
  slots.Activate(1);
  ASSERT_TRUE(slots.Acquire("alpha", 1));
  slots.Release("beta");
  slots.Release("");
  EXPECT_EQ(slots.in_use(), 1);
  EXPECT_TRUE(slots.Acquire("", 2));  // admitted, but holds no slot
  EXPECT_EQ(slots.in_use(), 1);
  EXPECT_FALSE(slots.Acquire("gamma", 3));
}

TEST(ClientSlotsTest, InactiveTableRefusesAndIgnores) {
  ClientSlots slots;
  EXPECT_FALSE(slots.Acquire("alpha", 1));
  slots.Activate(4);
  ASSERT_TRUE(slots.Acquire("alpha", 1));
  slots.Deactivate();
  EXPECT_EQ(slots.in_use(), 0);
  EXPECT_FALSE(slots.Acquire("alpha", 2));
  slots.Release("alpha");  // a session ending after stop
  EXPECT_EQ(slots.in_use(), 0);
}

TEST(ClientSlotsTest, ConcurrentClientsBalanceToZero) {
  ClientSlots slots;
  slots.Activate(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&slots, t] {
      const std::string name = "client" + std::to_string(t % 4);
      for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(slots.Acquire(name.c_str(), static_cast<uint64_t>(t)));
        slots.Release(name.c_str());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(slots.in_use(), 0);
}

}  // namespace
}  // namespace tmb
