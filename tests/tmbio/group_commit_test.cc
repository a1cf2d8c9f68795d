// The group commit on its own, with a leader that records what it is asked
// to do: writes queued while a batch runs form the next batch, a write that
// fails fails alone, a queued write gives up at its deadline, a failed
// commit fails its batch and a failed sync every write after it. (Real
// writes through it, with a lone writer's one sync a write: write_test.cc.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tmbio/group_commit.h"
#include "tmbio/tmbio.h"

namespace {

using tmbio::GroupCommit;
using namespace std::chrono_literals;

// Holds a step until released, so that writes pile up behind it.
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

// A write's work is the status it should end with.
class RecordingLeader : public GroupCommit::Leader {
 public:
  int32_t BeginBatch(GroupCommit::Clock::time_point) override {
    if (begin_gate != nullptr) begin_gate->Wait();
    return begin_status;
  }
  int32_t CommitBatch(const std::vector<GroupCommit::Write*>& batch) override {
    std::lock_guard<std::mutex> lock(mu);
    batches.push_back(static_cast<int>(batch.size()));
    for (GroupCommit::Write* w : batch) w->status = *static_cast<const int32_t*>(w->work);
    return commit_status;
  }
  int32_t SyncBatch() override {
    ++syncs;
    if (sync_gate != nullptr) sync_gate->Wait();
    return sync_status;
  }

  Gate* begin_gate = nullptr;
  Gate* sync_gate = nullptr;
  int32_t begin_status = 0;
  int32_t commit_status = 0;
  int32_t sync_status = 0;
  std::mutex mu;
  std::vector<int> batches;  // guarded by mu
  std::atomic<int> syncs{0};
};

GroupCommit::Clock::time_point In(std::chrono::milliseconds ms) {
  return GroupCommit::Clock::now() + ms;
}

TEST(GroupCommit, WritesQueuedDuringABatchFormTheNextAndFailAlone) {
  constexpr int kFollowers = 12;
  GroupCommit group;
  Gate gate;
  RecordingLeader first;
  first.sync_gate = &gate;
  RecordingLeader others;
  const int32_t ok = 1;
  const int32_t refused = TMBIO_DUPLICATE;
  std::atomic<int> failures{0};
  std::thread leader([&] {
    if (group.Submit(&ok, In(60s), &first) != 1) ++failures;
  });
  gate.AwaitEntered();
  std::vector<std::thread> followers;
  std::vector<int32_t> results(kFollowers);
  for (int i = 0; i < kFollowers; ++i) {
    followers.emplace_back([&, i] {
      results[static_cast<size_t>(i)] = group.Submit(i % 4 == 0 ? &refused : &ok, In(60s), &others);
    });
  }
  // Let every follower queue behind the first batch's sync.
  std::this_thread::sleep_for(200ms);
  gate.Open();
  leader.join();
  for (auto& t : followers) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(first.batches, std::vector<int>{1});
  EXPECT_EQ(others.batches, std::vector<int>{kFollowers});
  EXPECT_EQ(others.syncs.load(), 1);
  for (int i = 0; i < kFollowers; ++i) {
    EXPECT_EQ(results[static_cast<size_t>(i)], i % 4 == 0 ? TMBIO_DUPLICATE : 1) << i;
  }
  // A batch whose every write failed has nothing to sync.
  RecordingLeader alone;
  EXPECT_EQ(group.Submit(&refused, In(60s), &alone), TMBIO_DUPLICATE);
  EXPECT_EQ(alone.syncs.load(), 0);
}

// The writers of the last two batches are expected back: a leader waits
// for them (within its cap) and takes them all in one batch; one that does
// not come back holds a batch up no longer than the cap.
TEST(GroupCommit, ALeaderWaitsForTheWritersOfTheLastBatchesWithinItsCap) {
  GroupCommit patient(std::chrono::seconds(60));
  Gate gate;
  RecordingLeader a, b, c;
  a.sync_gate = &gate;
  const int32_t ok = 1;
  std::thread first([&] { EXPECT_EQ(patient.Submit(&ok, In(60s), &a), 1); });
  gate.AwaitEntered();
  std::thread second([&] { EXPECT_EQ(patient.Submit(&ok, In(60s), &b), 1); });
  std::thread third([&] { EXPECT_EQ(patient.Submit(&ok, In(60s), &c), 1); });
  std::this_thread::sleep_for(100ms);
  gate.Open();
  first.join();
  second.join();
  third.join();
  ASSERT_EQ(a.batches, std::vector<int>{1});
  ASSERT_EQ(b.batches.size() + c.batches.size(), 1u);  // {b, c}, led by either
  // a, b and c wrote in the last two batches: a batch a leads now waits
  // for the other two, however late they come within the cap.
  a.sync_gate = nullptr;
  std::thread lead([&] { EXPECT_EQ(patient.Submit(&ok, In(60s), &a), 1); });
  std::this_thread::sleep_for(100ms);
  std::thread late_b([&] { EXPECT_EQ(patient.Submit(&ok, In(60s), &b), 1); });
  std::thread late_c([&] { EXPECT_EQ(patient.Submit(&ok, In(60s), &c), 1); });
  lead.join();
  late_b.join();
  late_c.join();
  EXPECT_EQ(a.batches, (std::vector<int>{1, 3}));

  GroupCommit brief(std::chrono::milliseconds(20));
  RecordingLeader gone;
  std::thread together([&] { EXPECT_EQ(brief.Submit(&ok, In(60s), &gone), 1); });
  together.join();
  EXPECT_EQ(brief.Submit(&ok, In(60s), &a), 1);
  // `gone` never writes again: a's batch goes alone once the cap runs out.
  EXPECT_EQ(brief.Submit(&ok, In(60s), &a), 1);
  EXPECT_EQ(a.batches, (std::vector<int>{1, 3, 1, 1}));
}

TEST(GroupCommit, AQueuedWriteGivesUpAtItsDeadlineWhileTheLeaderWaitsForTheFile) {
  GroupCommit group;
  Gate held;  // another connection's transaction holds the write right
  RecordingLeader patient;
  patient.begin_gate = &held;
  RecordingLeader hasty;
  const int32_t ok = 1;
  int32_t leader_result = 0;
  std::thread leader([&] { leader_result = group.Submit(&ok, In(60s), &patient); });
  held.AwaitEntered();
  EXPECT_EQ(group.Submit(&ok, In(50ms), &hasty), TMBIO_BUSY);
  held.Open();
  leader.join();
  EXPECT_EQ(leader_result, 1);
  EXPECT_EQ(patient.batches, std::vector<int>{1});
  EXPECT_TRUE(hasty.batches.empty());
  // A leader that cannot get the file fails alone and leaves nothing held.
  RecordingLeader refused;
  refused.begin_status = TMBIO_BUSY;
  EXPECT_EQ(group.Submit(&ok, In(60s), &refused), TMBIO_BUSY);
  EXPECT_EQ(group.Submit(&ok, In(60s), &hasty), 1);
}

TEST(GroupCommit, AFailedCommitFailsItsBatchAndAFailedSyncEveryWriteAfter) {
  GroupCommit group;
  const int32_t ok = 1;
  const int32_t refused = TMBIO_DUPLICATE;
  RecordingLeader full;
  full.commit_status = TMBIO_IO_ERROR;
  EXPECT_EQ(group.Submit(&ok, In(60s), &full), TMBIO_IO_ERROR);
  EXPECT_EQ(full.syncs.load(), 0);
  // A failed commit leaves the group whole: the next write goes through.
  RecordingLeader next;
  EXPECT_EQ(group.Submit(&ok, In(60s), &next), 1);
  EXPECT_EQ(next.syncs.load(), 1);

  // Writes queued behind a sync that fails are refused with it, unwritten.
  Gate gate;
  RecordingLeader failing;
  failing.sync_gate = &gate;
  failing.sync_status = TMBIO_IO_ERROR;
  RecordingLeader later;
  int32_t first = 0;
  std::thread leader([&] { first = group.Submit(&ok, In(60s), &failing); });
  gate.AwaitEntered();
  int32_t queued = 0;
  std::thread follower([&] { queued = group.Submit(&ok, In(60s), &later); });
  std::this_thread::sleep_for(100ms);
  gate.Open();
  leader.join();
  follower.join();
  EXPECT_EQ(first, TMBIO_IO_ERROR);
  EXPECT_EQ(queued, TMBIO_IO_ERROR);
  EXPECT_EQ(group.Submit(&refused, In(60s), &later), TMBIO_IO_ERROR);
  EXPECT_TRUE(later.batches.empty());
}

}  // namespace
