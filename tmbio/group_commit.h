// Gathers the writes committed alone to one data file, by every connection
// of this process, into batches: one SQLite transaction, one commit and one
// sync of the file's write-ahead log for the whole batch.
//
// Contract: Submit() queues one write and returns its status once the batch
// that ran it is on disk, or once it failed. The first caller that finds no
// batch running leads: it asks its Leader to begin (take the file's write
// right, waiting until its own deadline at most), then takes every write
// queued by then, its own among them, runs them in queue order on its own
// thread and connection, commits and syncs. Writes queued meanwhile wait
// for the next batch, led by the longest-waiting of them, so a lone writer
// leads at once and waits for nobody. A write still queued at its deadline
// leaves with TMBIO_BUSY; a write a batch took waits for the batch.
//
// A write that fails is undone alone and the others of its batch go on. A
// failed commit fails every write of the batch that had not failed. A
// failed sync breaks the group for good (the pages it should have written
// may be lost whatever a later sync says): every write it covered, and
// every later one, gets TMBIO_IO_ERROR, later ones before they write.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace tmbio {

class GroupCommit {
 public:
  using Clock = std::chrono::steady_clock;

  // One write as its batch's leader sees it.
  struct Write {
    const void* work = nullptr;  // the submitter's, handed to the leader as is
    int32_t status = 0;          // the leader's verdict: 0 or more, or a failure
  };

  // The side of a connection that runs batches.
  class Leader {
   public:
    virtual ~Leader() = default;
    // Takes the file's write right and begins the batch's transaction,
    // waiting until `deadline` at most. 0, or the failure (TMBIO_BUSY when
    // the wait ran out); on failure nothing is held.
    virtual int32_t BeginBatch(Clock::time_point deadline) = 0;
    // Runs every write in order within the transaction, each undone alone
    // when it fails, sets each one's status, commits and gives the write
    // right back. 0, or the failure of the whole batch (then nothing was
    // written): the group gives it to each write that had not failed alone.
    virtual int32_t CommitBatch(const std::vector<Write*>& batch) = 0;
    // Syncs the log the batch committed to. 0 or TMBIO_IO_ERROR.
    virtual int32_t SyncBatch() = 0;
  };

  // `gather`: the longest a leader waits for the writers of the last two
  // batches to queue again before it begins.
  explicit GroupCommit(std::chrono::microseconds gather = std::chrono::microseconds(1000))
      : gather_(gather) {}

  // Runs `work` in a batch, as described above; `leader` is the caller's
  // own, used only if the caller leads.
  int32_t Submit(const void* work, Clock::time_point deadline, Leader* leader);

 private:
  struct Waiter {
    enum class State { kQueued, kTaken, kLead, kDone };
    Write write;
    const void* writer = nullptr;  // its leader: one per connection
    State state = State::kQueued;
    std::condition_variable cv;
  };
  // Returns with the lock released.
  int32_t Lead(Waiter* me, Clock::time_point deadline, Leader* leader,
               std::unique_lock<std::mutex>& lock);
  void Unqueue(const Waiter* w);
  // The lead passes to the longest-waiting queued write, if any.
  void HandOver();
  // Counts the writers a leader expects: those of this batch and the last.
  // Short of memory, it expects nobody.
  void NoteWriters(std::vector<const void*> writers) noexcept;

  std::mutex mu_;
  // Shared: a leader wakes the writers of its batch after it has released
  // mu_, when a writer may have seen its verdict and gone already.
  std::deque<std::shared_ptr<Waiter>> queue_;  // guarded by mu_
  bool leading_ = false;       // a batch is being led; guarded by mu_
  bool broken_ = false;        // a sync failed; guarded by mu_
  const std::chrono::microseconds gather_;
  std::condition_variable gathered_cv_;   // the queue reached expected_
  bool gathering_ = false;                // a leader waits on it; guarded by mu_
  size_t expected_ = 0;                   // guarded by mu_
  std::vector<const void*> last_writers_;  // sorted; guarded by mu_
};

// The syncs every group of the process made: writes per sync for the
// benchmark.
int64_t LogSyncCount();

}  // namespace tmbio
