// The threads of the running sessions. A session's thread is kept here from
// its start until it has ended, so that a stop can end every session in
// order and wait for it, instead of letting the process exit beneath a
// thread that is still rolling back, unlocking or holding library state.
//
// Thread-safe. A session's socket is registered with its thread and
// unregistered before the session closes it, so that EndAll never shuts down
// a descriptor number that has meanwhile been given to another file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace tmb {

class SessionThreads {
 public:
  SessionThreads() = default;
  SessionThreads(const SessionThreads&) = delete;
  SessionThreads& operator=(const SessionThreads&) = delete;

  // Runs `run` on a new thread that serves socket `fd`. False when no thread
  // could be had (nothing was registered; the caller still owns the socket).
  bool Start(int fd, std::function<void()> run);

  // Called by the session thread just before it closes `fd`.
  void SocketClosing(int fd);

  // Joins the threads whose sessions have ended. Cheap when none have.
  void Reap();

  // Shuts down every registered socket, so that each session sees its peer
  // gone and ends in its own order, and waits up to `bound` for all of them.
  // Ended threads are joined; any still running at the bound are left to the
  // process exit. True when every session ended in time.
  bool EndAll(std::chrono::milliseconds bound);

  // Sessions whose threads have not ended yet.
  size_t running() const;
  // Sessions that have ended and whose threads no one has joined yet (each
  // still holds its stack). Each ending thread joins those that ended before
  // it, so once every session has ended at most one is left, for the next
  // Reap or EndAll.
  size_t unjoined() const;

 private:
  struct Entry {
    int fd;  // -1 once the session is closing its socket
    bool ended = false;
    std::thread thread;
  };

  void Joinable(std::list<Entry>* out);  // takes out the ended entries; mu_ held

  mutable std::mutex mu_;
  std::condition_variable ended_cv_;
  std::list<Entry> entries_;  // guarded by mu_
  size_t running_ = 0;        // guarded by mu_
};

// The server's sessions. Never destroyed, so that a thread left running at
// the stop bound can still unregister itself while the process exits.
SessionThreads& ServerSessions();

}  // namespace tmb
