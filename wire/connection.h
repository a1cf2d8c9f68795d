// Connection I/O: every byte of a connection goes through these calls, so
// that TLS can sit under them without the framing knowing. A connection
// with a TLS object reads and writes through the TlsIo its TLS layer put
// there (secure/ on the server, the client library's own on the client);
// one without uses the plain socket.
#pragma once

#include <chrono>
#include <cstdint>

namespace tmb {

// The port a server listens on and a client connects to when neither is
// told another.
constexpr uint16_t kDefaultPort = 20222;

struct Connection;

// The reads and writes of a TLS layer. Each has the meaning of the plain
// call of the same name below (peek and receive: bytes, 0 when the peer
// closed, below 0 on failure; send: all n bytes or a failure) and blocks as
// long as the socket does. n is at most 2^30.
struct TlsIo {
  int64_t (*peek)(Connection& c, void* buf, int64_t n);
  int64_t (*receive)(Connection& c, void* buf, int64_t n);
  int64_t (*send)(Connection& c, const void* buf, int64_t n);
};

// The most a connection reads ahead of its reader in one call: a whole
// small request (its frame header and body) then costs one receive, not
// one for each piece the framing asks for.
constexpr int64_t kReadAhead = 512;

struct Connection {
  int fd = -1;
  void* tls = nullptr;          // the connection's TLS object; none on plain sockets
  void* tls_context = nullptr;  // the TLS context it was made from (the server's is the listener's)
  const TlsIo* tls_io = nullptr;  // set with `tls`
  // Whether a receive time-out is on the socket: TLS reads are bounded by
  // one, because bytes the TLS layer decrypted already make poll useless.
  bool receive_timeout_set = false;
  // Bytes received but not yet read: [ahead_begin, ahead_end) of `ahead`.
  // Every read below takes from here first; Forget them (ConnectionReset)
  // when the connection is closed or replaced.
  int64_t ahead_begin = 0;
  int64_t ahead_end = 0;
  uint8_t ahead[kReadAhead];
};

// Drops the bytes read ahead, for a connection closed or about to be
// reused for another socket.
inline void ConnectionReset(Connection& c) { c.ahead_begin = c.ahead_end = 0; }

// Reads up to n bytes without consuming them. Bytes read, 0 when the peer
// closed, -1 on error. The reads below may take more from the socket than
// they were asked for; the rest waits in the connection for the next read.
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
