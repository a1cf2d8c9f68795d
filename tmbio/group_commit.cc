#include "group_commit.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <new>

#include "tmbio/tmbio.h"

namespace tmbio {

namespace {
std::atomic<int64_t> g_syncs{0};
}  // namespace

int64_t LogSyncCount() { return g_syncs.load(std::memory_order_relaxed); }

int32_t GroupCommit::Submit(const void* work, Clock::time_point deadline, Leader* leader) {
  std::shared_ptr<Waiter> me;
  try {
    me = std::make_shared<Waiter>();
  } catch (const std::bad_alloc&) {
    return TMBIO_NO_MEMORY;
  }
  me->write.work = work;
  me->writer = leader;
  std::unique_lock<std::mutex> lock(mu_);
  if (broken_) return TMBIO_IO_ERROR;
  try {
    queue_.push_back(me);
  } catch (const std::bad_alloc&) {
    return TMBIO_NO_MEMORY;
  }
  if (gathering_ && queue_.size() >= expected_) gathered_cv_.notify_one();
  if (!leading_) {
    leading_ = true;
    return Lead(me.get(), deadline, leader, lock);
  }
  while (me->state == Waiter::State::kQueued) {
    if (me->cv.wait_until(lock, deadline) == std::cv_status::timeout &&
        me->state == Waiter::State::kQueued) {
      Unqueue(me.get());
      return TMBIO_BUSY;
    }
  }
  // Once taken, the write is in a transaction that is already running: it
  // waits for the batch, however long its commit and sync take.
  while (me->state == Waiter::State::kTaken) me->cv.wait(lock);
  if (me->state == Waiter::State::kDone) return me->write.status;
  return Lead(me.get(), deadline, leader, lock);
}

void GroupCommit::Unqueue(const Waiter* w) {
  queue_.erase(std::find_if(queue_.begin(), queue_.end(),
                            [w](const std::shared_ptr<Waiter>& q) { return q.get() == w; }));
}

int32_t GroupCommit::Lead(Waiter* me, Clock::time_point deadline, Leader* leader,
                          std::unique_lock<std::mutex>& lock) {
  if (broken_) {
    Unqueue(me);
    HandOver();
    lock.unlock();
    return TMBIO_IO_ERROR;
  }
  // The writers of the last batches come back within moments of their
  // answers (a round trip to their clients): a batch that waits for them,
  // briefly, takes them all at one sync, where one that started without
  // them would leave them a whole batch to wait. A lone writer expects
  // nobody and starts at once.
  if (queue_.size() < expected_ && gather_.count() > 0) {
    gathering_ = true;
    const auto until = Clock::now() + gather_;
    while (queue_.size() < expected_ &&
           gathered_cv_.wait_until(lock, until) == std::cv_status::no_timeout) {
    }
    gathering_ = false;
  }
  // Writes keep queueing while the leader waits for the write right (a
  // transaction of another connection may hold it): the batch grows.
  lock.unlock();
  const int32_t begun = leader->BeginBatch(deadline);
  lock.lock();
  if (begun != 0) {
    Unqueue(me);
    HandOver();
    lock.unlock();
    return begun;
  }
  std::vector<std::shared_ptr<Waiter>> taken;
  std::vector<Write*> batch;
  std::vector<const void*> writers;
  // Reserved first: once the queue is taken nothing may throw before every
  // write taken has its verdict.
  try {
    taken.reserve(queue_.size());
    batch.reserve(queue_.size());
    writers.reserve(queue_.size());
  } catch (const std::bad_alloc&) {
    leader->CommitBatch({});  // ends the transaction begun, writing nothing
    Unqueue(me);
    HandOver();
    lock.unlock();
    return TMBIO_NO_MEMORY;
  }
  taken.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
  queue_.clear();
  for (const auto& w : taken) {
    w->state = Waiter::State::kTaken;
    batch.push_back(&w->write);
    writers.push_back(w->writer);
  }
  NoteWriters(std::move(writers));
  lock.unlock();

  int32_t failure = leader->CommitBatch(batch);
  const bool wrote =
      std::any_of(batch.begin(), batch.end(), [](Write* w) { return w->status >= 0; });
  bool sync_failed = false;
  // The next batch waits for this one's sync, gathering every write that
  // comes meanwhile: one commit for many costs less than letting it run
  // beside the sync with the few that came during this one's commit.
  if (failure == 0 && wrote) {
    failure = leader->SyncBatch();
    g_syncs.fetch_add(1, std::memory_order_relaxed);
    sync_failed = failure != 0;
  }

  lock.lock();
  if (sync_failed) broken_ = true;
  for (const auto& w : taken) {
    if (failure != 0 && w->write.status >= 0) w->write.status = failure;
    if (w.get() != me) w->state = Waiter::State::kDone;
  }
  HandOver();
  const int32_t status = me->write.status;
  lock.unlock();
  // Woken after the lock is released: each would otherwise wake only to
  // wait for the lock, one after another, while the leader still held it.
  for (const auto& w : taken) {
    if (w.get() != me) w->cv.notify_one();
  }
  return status;
}

void GroupCommit::NoteWriters(std::vector<const void*> writers) noexcept {
  std::sort(writers.begin(), writers.end());
  writers.erase(std::unique(writers.begin(), writers.end()), writers.end());
  // Two batches: writers answered by one batch queue for the one after
  // next while the next runs, so that they alternate between two.
  try {
    std::vector<const void*> recent;
    recent.reserve(writers.size() + last_writers_.size());
    std::set_union(writers.begin(), writers.end(), last_writers_.begin(), last_writers_.end(),
                   std::back_inserter(recent));
    expected_ = recent.size();
  } catch (const std::bad_alloc&) {
    expected_ = 0;
  }
  last_writers_ = std::move(writers);
}

void GroupCommit::HandOver() {
  leading_ = false;
  if (queue_.empty()) return;
  // After a failed sync nothing queued may be written: each leaves with
  // the error, and nobody leads.
  if (broken_) {
    for (const auto& w : queue_) {
      w->write.status = TMBIO_IO_ERROR;
      w->state = Waiter::State::kDone;
      w->cv.notify_one();
    }
    queue_.clear();
    return;
  }
  leading_ = true;
  queue_.front()->state = Waiter::State::kLead;
  queue_.front()->cv.notify_one();
}

}  // namespace tmbio
