// The registry of session threads: a stop ends every session whose socket
// it can reach, waits only up to its bound, and never shuts down a socket
// number that a closing session has already given up.
#include "server/session_threads.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace tmb {
namespace {

struct SocketPair {
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~SocketPair() {
    close(fd[0]);
    close(fd[1]);
  }
  int fd[2] = {-1, -1};
};

// A session that serves until its peer is gone, as a real one does.
void ServeUntilClosed(int fd, std::atomic<int>* ended) {
  char byte;
  while (recv(fd, &byte, 1, 0) > 0) {
  }
  ++*ended;
}

TEST(SessionThreadsTest, EndAllEndsBlockedSessionsAndReapJoinsTheEnded) {
  SessionThreads threads;
  SocketPair a, b, c;
  std::atomic<int> ended{0};
  for (SocketPair* p : {&a, &b, &c}) {
    const int fd = p->fd[0];
    ASSERT_TRUE(threads.Start(fd, [fd, &ended] { ServeUntilClosed(fd, &ended); }));
  }
  EXPECT_EQ(threads.running(), 3u);
  // One client leaves by itself; its thread is joined by the next reap.
  shutdown(c.fd[1], SHUT_WR);
  while (ended.load() < 1) std::this_thread::yield();
  while (threads.running() > 2) std::this_thread::yield();
  threads.Reap();
  EXPECT_EQ(threads.running(), 2u);

  EXPECT_TRUE(threads.EndAll(std::chrono::seconds(30)));
  EXPECT_EQ(ended.load(), 3);
  EXPECT_EQ(threads.running(), 0u);
}

TEST(SessionThreadsTest, EndedThreadsAreJoinedWithoutWaitingForANewSession) {
  SessionThreads threads;
  constexpr int kSessions = 40;
  std::atomic<bool> go{false};
  for (int i = 0; i < kSessions; ++i) {
    ASSERT_TRUE(threads.Start(-1, [&go] {
      while (!go.load()) std::this_thread::yield();
    }));
  }
  go = true;  // they end together, in any order
  while (threads.running() > 0) std::this_thread::yield();
  // No Reap and no new session: the last to end is all that is left.
  EXPECT_EQ(threads.unjoined(), 1u);
  threads.Reap();
  EXPECT_EQ(threads.unjoined(), 0u);
  EXPECT_TRUE(threads.EndAll(std::chrono::seconds(30)));
}

TEST(SessionThreadsTest, ClosingSocketIsLeftAloneAndTheBoundIsKept) {
  SessionThreads threads;
  SocketPair p;
  std::atomic<bool> release{false};
  const int fd = p.fd[0];
  ASSERT_TRUE(threads.Start(fd, [&] {
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }));
  // The session has given its socket up: by the time a stop comes the number
  // may name another file, which a stop must not touch.
  threads.SocketClosing(fd);
  EXPECT_FALSE(threads.EndAll(std::chrono::milliseconds(50)));
  EXPECT_EQ(threads.running(), 1u);
  ASSERT_EQ(send(p.fd[1], "x", 1, 0), 1);
  char byte = 0;
  EXPECT_EQ(recv(fd, &byte, 1, 0), 1);  // still open both ways
  EXPECT_EQ(send(fd, "y", 1, 0), 1);
  release = true;
  // Left running at the bound, it still unregisters itself when it ends.
  while (threads.running() > 0) std::this_thread::yield();
}

}  // namespace
}  // namespace tmb
