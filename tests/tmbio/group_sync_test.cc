// The group sync on its own: commits written while a sync runs share the
// next one, a leader gathers the writers in line, and a failed sync fails
// every commit it should have covered and every later one. (A lone writer's one sync a write: write_test.cc.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tmbio/group_sync.h"
#include "tmbio/tmbio.h"

namespace {

using tmbio::GroupSync;

// Holds a sync until released, so that commits pile up behind it.
class Gate {
 public:
  void Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    entered_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
  }
  void AwaitEntered() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return entered_; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool entered_ = false;
  bool open_ = false;
};

TEST(GroupSync, CommitsWrittenDuringASyncShareTheNext) {
  constexpr int kFollowers = 12;
  GroupSync group;
  Gate gate;
  std::atomic<int> syncs{0};
  std::atomic<int> tickets{0};
  std::atomic<int> failures{0};
  const auto sync = [&] { return ++syncs, 0; };
  std::thread leader([&] {
    const uint64_t ticket = group.Written();
    if (group.AwaitDurable(ticket, [&] {
          ++syncs;
          gate.Wait();
          return 0;
        }) != 0) {
      ++failures;
    }
  });
  gate.AwaitEntered();
  std::vector<std::thread> followers;
  for (int i = 0; i < kFollowers; ++i) {
    followers.emplace_back([&] {
      const uint64_t ticket = group.Written();
      ++tickets;
      if (group.AwaitDurable(ticket, sync) != 0) ++failures;
    });
  }
  // Every follower's commit is written before the first sync ends: one
  // more sync covers them all, whoever leads it.
  while (tickets.load() < kFollowers) std::this_thread::yield();
  gate.Open();
  leader.join();
  for (auto& t : followers) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(syncs.load(), 2);
}

// A leader that finds writers in line for the write right waits for their
// commits and takes them in its one sync; a writer in line that never
// commits alone holds it up no longer than the gathering cap.
TEST(GroupSync, ALeaderGathersTheWritersInLineWithinItsCap) {
  constexpr int kInLine = 5;
  // Ample: a leader that counted a writer twice waits this long, no more.
  GroupSync patient(std::chrono::seconds(10));
  const std::atomic<int32_t> in_line{kInLine};
  std::atomic<int> written{0};
  int written_at_first_sync = -1;
  std::atomic<int> syncs{0};
  const auto sync = [&] {
    if (syncs++ == 0) written_at_first_sync = written.load();
    return 0;
  };
  std::thread leader([&] { EXPECT_EQ(patient.AwaitDurable(patient.Written(), sync, &in_line), 0); });
  std::vector<std::thread> writers;
  for (int i = 0; i < kInLine; ++i) {
    writers.emplace_back([&] {
      const uint64_t ticket = patient.Written();
      ++written;
      EXPECT_EQ(patient.AwaitDurable(ticket, sync, &in_line), 0);
    });
  }
  leader.join();
  for (auto& t : writers) t.join();
  // The first sync waited for the writers in line (the last may have taken
  // its ticket without yet counting it here), and nearly always took them all.
  EXPECT_GE(written_at_first_sync, kInLine - 1);
  EXPECT_LE(syncs.load(), 2);

  GroupSync brief(std::chrono::milliseconds(20));
  const std::atomic<int32_t> never_commits{1};  // a transaction holding its place
  const int before = syncs.load();
  EXPECT_EQ(brief.AwaitDurable(brief.Written(), sync, &never_commits), 0);
  EXPECT_EQ(syncs.load(), before + 1);
}

TEST(GroupSync, AFailedSyncFailsWhatItCoveredAndWhatFollows) {
  GroupSync group;
  const uint64_t first = group.Written();
  ASSERT_EQ(group.AwaitDurable(first, [] { return 0; }), 0);
  const uint64_t second = group.Written();
  const uint64_t third = group.Written();
  EXPECT_FALSE(group.Broken());
  EXPECT_EQ(group.AwaitDurable(third, [] { return TMBIO_IO_ERROR; }), TMBIO_IO_ERROR);
  EXPECT_TRUE(group.Broken());
  int syncs = 0;
  // No later sync can vouch for what the failed one lost.
  EXPECT_EQ(group.AwaitDurable(second, [&] { return ++syncs, 0; }), TMBIO_IO_ERROR);
  EXPECT_EQ(group.AwaitDurable(group.Written(), [&] { return ++syncs, 0; }), TMBIO_IO_ERROR);
  EXPECT_EQ(syncs, 0);
  // What was on disk before stays acknowledged.
  EXPECT_EQ(group.AwaitDurable(first, [&] { return ++syncs, 0; }), 0);
}

}  // namespace
