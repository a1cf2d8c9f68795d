#include "wire/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tmb {
namespace {

using Clock = std::chrono::steady_clock;

// The most a TLS layer is handed at once (its calls count in int).
constexpr int64_t kTlsPiece = int64_t{1} << 30;

// Milliseconds left until `deadline`, never below 0.
int64_t MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return std::max<int64_t>(left.count(), 0);
}

// Puts a receive time-out of `ms` on a TLS connection's socket (0: none),
// so that a read inside the TLS layer, which may need several socket reads
// for one record, gives up in time. A past deadline still gets 1 ms: 0
// would mean no limit.
void SetReceiveTimeout(Connection& c, int64_t ms) {
  if (ms == 0 && !c.receive_timeout_set) return;
  timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
  setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  c.receive_timeout_set = ms != 0;
}

int64_t BoundedTlsRead(Connection& c, void* buf, int64_t n, Clock::time_point deadline,
                       bool peek) {
  const int64_t left = MillisecondsLeft(deadline);
  SetReceiveTimeout(c, std::max<int64_t>(left, 1));
  n = std::min(n, kTlsPiece);
  return peek ? c.tls_io->peek(c, buf, n) : c.tls_io->receive(c, buf, n);
}

// Whatever the socket (or the TLS layer) has, up to n bytes, waiting for
// the first; 0 when the peer closed, -1 on error.
int64_t ReceiveSome(Connection& c, void* buf, int64_t n) {
  if (c.tls != nullptr) {
    SetReceiveTimeout(c, 0);
    return c.tls_io->receive(c, buf, std::min(n, kTlsPiece));
  }
  for (;;) {
    ssize_t r = recv(c.fd, buf, static_cast<size_t>(n), 0);
    if (r >= 0) return r;
    if (errno != EINTR) return -1;
  }
}

// The same, waiting for the first byte no later than `deadline`.
int64_t ReceiveSomeBy(Connection& c, void* buf, int64_t n, Clock::time_point deadline) {
  if (c.tls != nullptr) {
    const int64_t r = BoundedTlsRead(c, buf, n, deadline, false);
    return r < 0 ? -1 : r;
  }
  // Bytes already there are taken without a wait.
  for (;;) {
    ssize_t r = recv(c.fd, buf, static_cast<size_t>(n), MSG_DONTWAIT);
    if (r >= 0) return r;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    const int64_t left = MillisecondsLeft(deadline);
    if (left <= 0) return -1;
    pollfd p{c.fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 60000)));
    if (ready < 0 && errno != EINTR) return -1;
  }
}

int64_t Ahead(const Connection& c) { return c.ahead_end - c.ahead_begin; }

// Up to n bytes of those read ahead, consumed.
int64_t TakeAhead(Connection& c, void* buf, int64_t n) {
  const int64_t k = std::min(n, Ahead(c));
  std::memcpy(buf, c.ahead + c.ahead_begin, static_cast<size_t>(k));
  c.ahead_begin += k;
  if (c.ahead_begin == c.ahead_end) c.ahead_begin = c.ahead_end = 0;
  return k;
}

// Reads n bytes at most: from those read ahead when there are any; else,
// for a small read, as much as the socket has into the read-ahead first.
template <typename ReceiveFn>
int64_t Read(Connection& c, void* buf, int64_t n, ReceiveFn receive) {
  if (n <= 0) return 0;
  if (Ahead(c) > 0) return TakeAhead(c, buf, n);
  if (n >= kReadAhead) return receive(buf, n);
  const int64_t r = receive(c.ahead, kReadAhead);
  if (r <= 0) return r;
  c.ahead_begin = 0;
  c.ahead_end = r;
  return TakeAhead(c, buf, n);
}

}  // namespace

int64_t ConnectionPeek(Connection& c, void* buf, int64_t n) {
  if (Ahead(c) == 0 && c.tls != nullptr) {
    // The TLS layer's own peek: a library without one says so in the log
    // when it is first needed, and the first read still gets every byte.
    SetReceiveTimeout(c, 0);
    return c.tls_io->peek(c, buf, std::min(n, kTlsPiece));
  }
  if (Ahead(c) == 0) {
    const int64_t r = ReceiveSome(c, c.ahead, kReadAhead);
    if (r <= 0) return r;
    c.ahead_begin = 0;
    c.ahead_end = r;
  }
  const int64_t k = std::min(n, Ahead(c));
  std::memcpy(buf, c.ahead + c.ahead_begin, static_cast<size_t>(k));
  return k;
}

int64_t ConnectionReceive(Connection& c, void* buf, int64_t n) {
  return Read(c, buf, n, [&c](void* dest, int64_t want) { return ReceiveSome(c, dest, want); });
}

int64_t ConnectionReceiveBy(Connection& c, void* buf, int64_t n, Clock::time_point deadline) {
  return Read(c, buf, n, [&c, deadline](void* dest, int64_t want) {
    return ReceiveSomeBy(c, dest, want, deadline);
  });
}

bool ConnectionReadableBy(Connection& c, Clock::time_point deadline) {
  if (Ahead(c) > 0) return true;
  if (c.tls != nullptr) {
    // Decrypted bytes may be waiting inside the TLS layer while the socket
    // has none, so ask the layer itself; a read that failed for any reason
    // other than the time passing is left to the read that follows.
    char byte;
    if (BoundedTlsRead(c, &byte, 1, deadline, true) > 0) return true;
    return MillisecondsLeft(deadline) > 0;
  }
  for (;;) {
    const int64_t left = MillisecondsLeft(deadline);
    pollfd p{c.fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 60000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // the read that follows reports it
    if (left <= 0) return false;
  }
}

int64_t ConnectionSend(Connection& c, const void* buf, int64_t n) {
  if (c.tls != nullptr) {
    // A TLS write hands over all it is given or fails; a TLS layer takes at
    // most an int's worth at a time, so a larger frame goes in pieces.
    const char* p = static_cast<const char*>(buf);
    for (int64_t sent = 0; sent < n;) {
      const int64_t piece = std::min(n - sent, kTlsPiece);
      if (c.tls_io->send(c, p + sent, piece) != piece) return -1;
      sent += piece;
    }
    return n;
  }
  // A blocking send may hand over only part of the frame (a signal, or the
  // send time-out while the peer does not read); the frame is then only good
  // if the rest follows, so keep going until all is sent or the socket fails.
  const char* p = static_cast<const char*>(buf);
  int64_t sent = 0;
  while (sent < n) {
    ssize_t r = send(c.fd, p + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
    if (r > 0) {
      sent += r;
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      return -1;
    }
  }
  return n;
}

}  // namespace tmb
