// Makes the writes committed alone to one data file durable in groups: one
// sync of the file's write-ahead log for every commit written before the
// sync began.
//
// Contract: a commit is first written to the log without a sync of its own
// (SQLite's synchronous=NORMAL), then takes a ticket with Written() and
// waits in AwaitDurable() with it. AwaitDurable returns 0 once a sync that
// began after the ticket was taken has completed. At most one caller runs
// its `sync` at a time (the leader); a caller finding no sync running leads
// at once, so a lone writer waits for nobody. A commit written while a sync
// runs waits for it to end and is covered by the next one.
//
// A failed sync breaks the group for good (the pages it should have written
// may be lost whatever a later sync says): every ticket it should have
// covered, and every later one, gets TMBIO_IO_ERROR, and Broken() tells a
// writer to refuse before it writes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>

namespace tmbio {

// The longest a leader waits for the writers in line before it syncs.
constexpr std::chrono::microseconds kGatherWait{1000};

class GroupSync {
 public:
  // `gather`: the longest a leader waits for the writers in line.
  explicit GroupSync(std::chrono::microseconds gather = kGatherWait) : gather_(gather) {}

  // Notes a commit just written to the log; its ticket.
  uint64_t Written();
  // Waits until the commit of `ticket` is on disk. `sync` syncs the log and
  // returns 0 or a status; it runs on the caller's thread. `in_line`, when
  // given, counts the writers in line for the file's write right, whose
  // commits are about to come: a leader that finds some waits for that many
  // more commits, at most its gathering cap, so that its sync takes them
  // too; with none in line it syncs at once.
  int32_t AwaitDurable(uint64_t ticket, const std::function<int32_t()>& sync,
                       const std::atomic<int32_t>* in_line = nullptr);
  bool Broken();

 private:
  // A caller waiting for a sync; woken alone when a sync covered it, or
  // to lead the next one. Sixteen waiters all woken at every sync cost
  // more than the writes.
  struct Waiter {
    explicit Waiter(uint64_t t) : ticket(t) {}
    uint64_t ticket;
    bool woken = false;
    std::condition_variable cv;
  };
  void WakeAfterSync();

  const std::chrono::microseconds gather_;
  std::mutex mu_;
  std::condition_variable written_cv_;  // a commit took its ticket
  std::list<Waiter*> waiters_;  // guarded by mu_
  uint64_t written_ = 0;  // tickets given; guarded by mu_
  uint64_t durable_ = 0;  // every ticket up to this is on disk; guarded by mu_
  bool syncing_ = false;  // a leader is syncing; guarded by mu_
  bool broken_ = false;   // a sync failed; guarded by mu_
};

// The syncs every group of the process made: writes per sync for the
// benchmark.
int64_t GroupSyncCount();

}  // namespace tmbio
