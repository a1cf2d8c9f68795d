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
  return ++written_;
}

bool GroupSync::Broken() {
  std::lock_guard<std::mutex> lock(mu_);
  return broken_;
}

int32_t GroupSync::AwaitDurable(uint64_t ticket, const std::function<int32_t()>& sync) {
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
