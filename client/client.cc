#include "client/client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "wire/compression.h"
#include "wire/errors.h"
#include "wire/opcodes.h"

namespace tmb {
namespace {

// A reply may be as large as the server lets any frame be.
constexpr uint64_t kMaxReplySize = 1ull << 31;

}  // namespace

Client::Client() {
  if (!buffer_.Create()) throw RequestAbandoned();
}

Client::~Client() { Close(); }

bool Client::Connect(const std::string& host, uint16_t port, std::string* error) {
  return Connect(host, port, ClientTls{}, error);
}

bool Client::Connect(const std::string& host, uint16_t port, const ClientTls& tls,
                     std::string* error) {
  Close();
  if (tls.enabled && !PrepareClientTls(conn_, tls, error)) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot resolve " + host + ": " + gai_strerror(rc);
    Close();
    return false;
  }
  int last_errno = 0;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      last_errno = errno;
      continue;
    }
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      conn_.fd = fd;
      break;
    }
    last_errno = errno;
    close(fd);
  }
  freeaddrinfo(found);
  if (conn_.fd < 0) {
    *error = "cannot connect to " + host + ":" + service + ": " + std::strerror(last_errno);
    Close();
    return false;
  }
  if (tls.enabled && !StartClientTls(conn_, host, tls, error)) {
    Close();
    return false;
  }
  // The server counts its first exchanges before it lets zlib in; so must we.
  compression_ = CompressionSettings{};
  compression_.warmup = 2;
  LoadCompressionLibrary();
  return true;
}

void Client::Close() {
  EndClientTls(conn_);
  if (conn_.fd >= 0) close(conn_.fd);
  conn_.fd = -1;
  ConnectionReset(conn_);
}

void Client::BeginRequest(uint8_t opcode) {
  buffer_.BeginReply();
  PutByte(buffer_, opcode);
  opcode_ = opcode;
}

bool Client::Call(std::string* error) {
  if (!connected()) {
    *error = "not connected";
    return false;
  }
  ++sent_[opcode_];
  ++sent_total_;
  if (!SendFrame(conn_, buffer_, compression_)) {
    *error = "cannot send the request";
    Close();
    return false;
  }
  switch (ReceiveFrame(conn_, buffer_, compression_, kMaxReplySize)) {
    case ReceiveResult::kOk:
      return true;
    case ReceiveResult::kClosed:
      *error = "the server closed the connection";
      break;
    case ReceiveResult::kMalformed:
      *error = "the server sent an invalid reply frame";
      break;
  }
  Close();
  return false;
}

int Client::NegotiateCompression(uint8_t level, uint32_t rle_threshold, uint32_t zlib_threshold,
                                 std::string* error) {
  BeginRequest(opcode::kSetCompression);
  PutByte(buffer_, level);
  PutInt32(buffer_, static_cast<int32_t>(rle_threshold));
  PutInt32(buffer_, static_cast<int32_t>(zlib_threshold));
  if (!Call(error)) return -1;
  const uint8_t granted = GetByte(buffer_);
  compression_.level = granted;
  compression_.rle_threshold = rle_threshold;
  compression_.zlib_threshold = zlib_threshold;
  return granted;
}

}  // namespace tmb

