#include "wire/connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace tmb {

int64_t ConnectionPeek(Connection& c, void* buf, int64_t n) {
  for (;;) {
    ssize_t r = recv(c.fd, buf, static_cast<size_t>(n), MSG_PEEK);
    if (r >= 0) return r;
    if (errno != EINTR) return -1;
  }
}

int64_t ConnectionReceive(Connection& c, void* buf, int64_t n) {
  for (;;) {
    ssize_t r = recv(c.fd, buf, static_cast<size_t>(n), 0);
    if (r >= 0) return r;
    if (errno != EINTR) return -1;
  }
}

int64_t ConnectionReceiveBy(Connection& c, void* buf, int64_t n,
                            std::chrono::steady_clock::time_point deadline) {
  // Bytes already there are taken without a wait. A TLS layer under this
  // call will have to look at what it has decrypted before it polls.
  for (;;) {
    ssize_t r = recv(c.fd, buf, static_cast<size_t>(n), MSG_DONTWAIT);
    if (r >= 0) return r;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return -1;
    pollfd p{c.fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
    if (ready < 0 && errno != EINTR) return -1;
  }
}

bool ConnectionReadableBy(Connection& c, std::chrono::steady_clock::time_point deadline) {
  // As for ConnectionReceiveBy, a TLS layer will have to count what it has
  // decrypted already as readable.
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{c.fd, POLLIN, 0};
    const int ready =
        poll(&p, 1, static_cast<int>(std::clamp<int64_t>(left.count(), 0, 60000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // the read that follows reports it
    if (left.count() <= 0) return false;
  }
}

int64_t ConnectionSend(Connection& c, const void* buf, int64_t n) {
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
