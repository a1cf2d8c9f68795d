// Connection I/O: every byte of a connection goes through these three calls,
// so that TLS can sit under them without the framing knowing.
#pragma once

#include <chrono>
#include <cstdint>

namespace tmb {

// The port a server listens on and a client connects to when neither is
// told another.
constexpr uint16_t kDefaultPort = 20222;

struct Connection {
  int fd = -1;
  void* tls = nullptr;  // the connection's TLS object; none on plain sockets
};

// Reads up to n bytes without consuming them. Bytes read, 0 when the peer
// closed, -1 on error.
int64_t ConnectionPeek(Connection& c, void* buf, int64_t n);
// Reads up to n bytes. Bytes read, 0 when the peer closed, -1 on error.
int64_t ConnectionReceive(Connection& c, void* buf, int64_t n);
// The same, but waits for bytes no later than `deadline`: -1 also when it
// passes first.
int64_t ConnectionReceiveBy(Connection& c, void* buf, int64_t n,
                            std::chrono::steady_clock::time_point deadline);
// Waits until a byte can be read, the peer closed or the connection failed
// (true: the next read will not block for long), or until `deadline` passes
// with nothing to read (false).
bool ConnectionReadableBy(Connection& c, std::chrono::steady_clock::time_point deadline);
// Writes all n bytes. n on success, -1 on error (including a send time-out).
int64_t ConnectionSend(Connection& c, const void* buf, int64_t n);

}  // namespace tmb
