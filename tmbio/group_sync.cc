#include "group_sync.h"

#include <atomic>

#include "tmbio/tmbio.h"

namespace tmbio {

namespace {
std::atomic<int64_t> g_syncs{0};
}  // namespace

int64_t GroupSyncCount() { return g_syncs.load(std::memory_order_relaxed); }

uint64_t GroupSync::Written() {
  std::lock_guard<std::mutex> lock(mu_);
  written_cv_.notify_all();
  return ++written_;
}

bool GroupSync::Broken() {
  std::lock_guard<std::mutex> lock(mu_);
  return broken_;
}

int32_t GroupSync::AwaitDurable(uint64_t ticket, const std::function<int32_t()>& sync,
                                const std::atomic<int32_t>* in_line) {
  std::unique_lock<std::mutex> lock(mu_);
  while (durable_ < ticket && !broken_) {
    if (syncing_) {
      Waiter me(ticket);
      waiters_.push_back(&me);
      // Whoever wakes this waiter takes it off the list.
      while (!me.woken) me.cv.wait(lock);
      continue;
    }
    // Every ticket given so far is a commit already written to the log, so
    // this one sync covers them all.
    syncing_ = true;
    // The writers in line commit one after another within moments; one
    // sync for them all beats one each. A writer in line that never
    // commits alone (a transaction, a refused write) costs the wait's cap.
    const int32_t coming = in_line != nullptr ? in_line->load(std::memory_order_relaxed) : 0;
    if (coming > 0) {
      const uint64_t enough = written_ + static_cast<uint64_t>(coming);
      const auto until = std::chrono::steady_clock::now() + gather_;
      while (written_ < enough &&
             written_cv_.wait_until(lock, until) == std::cv_status::no_timeout) {
      }
    }
    const uint64_t target = written_;
    lock.unlock();
    const int32_t status = sync();
    g_syncs.fetch_add(1, std::memory_order_relaxed);
    lock.lock();
    syncing_ = false;
    if (status == 0) {
      if (target > durable_) durable_ = target;
    } else {
      broken_ = true;
    }
    WakeAfterSync();
  }
  return durable_ >= ticket ? 0 : TMBIO_IO_ERROR;
}

void GroupSync::WakeAfterSync() {
  // Every waiter the sync covered returns; of the others, the first leads
  // the next sync, which covers the rest as well.
  bool leader_woken = false;
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    Waiter* w = *it;
    const bool covered = broken_ || w->ticket <= durable_;
    if (!covered && leader_woken) {
      ++it;
      continue;
    }
    leader_woken = leader_woken || !covered;
    w->woken = true;
    w->cv.notify_one();
    it = waiters_.erase(it);
  }
}

}  // namespace tmbio
