#include "server/session_threads.h"

#include <sys/socket.h>

#include <new>
#include <system_error>

namespace tmb {

bool SessionThreads::Start(int fd, std::function<void()> run) {
  std::lock_guard<std::mutex> lock(mu_);
  std::list<Entry>::iterator it;
  try {
    it = entries_.insert(entries_.end(), Entry{fd, false, {}});
  } catch (const std::bad_alloc&) {
    return false;
  }
  try {
    // Started under the lock: the thread's last step takes the lock too, so
    // it cannot mark its entry ended before the entry holds its thread.
    it->thread = std::thread([this, it, run = std::move(run)] {
      run();
      // The threads that ended before this one are joined by it: an ended
      // thread keeps its stack mapped until joined, and waiting for the
      // next connection to reap them would leave every stack of a burst
      // that has gone behind. Taken before this one counts itself ended,
      // so no two threads can each wait for the other.
      std::list<Entry> done;
      {
        std::lock_guard<std::mutex> lock(mu_);
        Joinable(&done);
        it->ended = true;
        --running_;
        ended_cv_.notify_all();
      }
      for (Entry& e : done) {
        if (e.thread.joinable()) e.thread.join();
      }
    });
  } catch (const std::system_error&) {
    entries_.erase(it);
    return false;
  }
  ++running_;
  return true;
}

void SessionThreads::SocketClosing(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  for (Entry& e : entries_) {
    if (e.fd == fd && !e.ended) {
      e.fd = -1;
      return;
    }
  }
}

void SessionThreads::Joinable(std::list<Entry>* out) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    auto next = std::next(it);
    if (it->ended) out->splice(out->end(), entries_, it);
    it = next;
  }
}

void SessionThreads::Reap() {
  std::list<Entry> done;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (entries_.size() == running_) return;
    Joinable(&done);
  }
  // Outside the lock: a thread that has marked itself ended may still be
  // running its thread-exit destructors (the data library's per-thread
  // state among them), and joining waits for those.
  for (Entry& e : done) {
    if (e.thread.joinable()) e.thread.join();
  }
}

bool SessionThreads::EndAll(std::chrono::milliseconds bound) {
  std::list<Entry> done;
  bool all_ended;
  {
    std::unique_lock<std::mutex> lock(mu_);
    for (const Entry& e : entries_) {
      if (e.fd >= 0 && !e.ended) shutdown(e.fd, SHUT_RDWR);
    }
    all_ended = ended_cv_.wait_for(lock, bound, [this] { return running_ == 0; });
    Joinable(&done);
    if (!all_ended) {
      // Past the bound the process exit ends them; their entries stay so
      // that their last steps still find them.
      for (Entry& e : entries_) e.thread.detach();
    }
  }
  for (Entry& e : done) {
    if (e.thread.joinable()) e.thread.join();
  }
  return all_ended;
}

size_t SessionThreads::running() const {
  std::lock_guard<std::mutex> lock(mu_);
  return running_;
}

size_t SessionThreads::unjoined() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_.size() - running_;
}

SessionThreads& ServerSessions() {
  static SessionThreads* sessions = new SessionThreads;
  return *sessions;
}

}  // namespace tmb
