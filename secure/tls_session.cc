#include "secure/tls_session.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "diag/log.h"
#include "secure/tls_binding.h"

namespace tmb {
namespace {

namespace ossl = openssl;

constexpr int kTlsAttempts = 5;
constexpr int kRetryStatus = -2;

ossl::SSL* TlsOf(Connection& c) { return static_cast<ossl::SSL*>(c.tls); }
ossl::SSL_CTX* ContextOf(Connection& c) { return static_cast<ossl::SSL_CTX*>(c.tls_context); }

int32_t FailContext(Connection& c, const char* text) {
  ossl::SSL_CTX_free(ContextOf(c));
  c.tls_context = nullptr;
  WriteLog("%s", text);
  return kTlsFailed;
}

int32_t EstablishListener(Connection& c, const char* certificate) {
  ossl::SSL_CTX* context = ossl::SSL_CTX_new(ossl::TLS_server_method());
  if (context == nullptr) {
    WriteLog("Unable to define Server methods");
    return kTlsFailed;
  }
  c.tls_context = context;
  struct stat st {};
  if (stat(certificate, &st) != 0) return FailContext(c, "Can not find certificate file");
  if (ossl::SSL_CTX_use_certificate_chain_file(context, certificate) <= 0) {
    return FailContext(c, "Can not use certificate on file");
  }
  if (ossl::SSL_CTX_use_PrivateKey_file(context, certificate, ossl::SSL_FILETYPE_PEM) <= 0) {
    return FailContext(c, "Can not use PrivateKey");
  }
  if (ossl::SSL_CTX_check_private_key(context) == 0) {
    return FailContext(c, "Private key does not match the certificate");
  }
  if (ossl::SSL_CTX_load_verify_locations(context, certificate, nullptr) == 0) {
    return FailContext(c, "Cannot read CA's in certificate");
  }
  return kTlsEstablished;
}

int32_t EstablishConnection(Connection& c) {
  ossl::SSL* ssl = ossl::SSL_new(ContextOf(c));
  if (ssl == nullptr) {
    WriteLog("Unable to create new SSL connection");
    return kTlsFailed;
  }
  ossl::SSL_set_fd(ssl, c.fd);
  ossl::ERR_clear_error();
  const int accepted = ossl::SSL_accept(ssl);
  if (accepted <= 0) {
    // Not a TLS client, or one that gave up: nothing is read or written on
    // this connection in the clear.
    CheckTlsStatus(c.fd, ssl, accepted);
    ossl::SSL_free(ssl);
    return kTlsFailed;
  }
  ossl::SSL_ctrl(ssl, ossl::SSL_CTRL_MODE, ossl::SSL_MODE_AUTO_RETRY, nullptr);
  c.tls = ssl;
  c.tls_io = &kServerTlsIo;
  return kTlsEstablished;
}

// One TLS read, peek or write with the retry rule.
template <typename Call>
int64_t WithRetries(Connection& c, Call call) {
  for (int attempt = 0; attempt < kTlsAttempts; ++attempt) {
    ossl::ERR_clear_error();
    const int r = call(TlsOf(c));
    if (r > 0) return r;
    const int status = CheckTlsStatus(c.fd, c.tls, r);
    if (status != kRetryStatus) return status;
  }
  return 0;
}

int AsInt(int64_t n) { return static_cast<int>(std::min<int64_t>(n, 1 << 30)); }

int64_t TlsPeek(Connection& c, void* buf, int64_t n) {
  return WithRetries(c, [&](ossl::SSL* ssl) { return ossl::SSL_peek(ssl, buf, AsInt(n)); });
}

int64_t TlsReceive(Connection& c, void* buf, int64_t n) {
  return WithRetries(c, [&](ossl::SSL* ssl) { return ossl::SSL_read(ssl, buf, AsInt(n)); });
}

int64_t TlsSend(Connection& c, const void* buf, int64_t n) {
  return WithRetries(c, [&](ossl::SSL* ssl) { return ossl::SSL_write(ssl, buf, AsInt(n)); });
}

}  // namespace

const TlsIo kServerTlsIo{TlsPeek, TlsReceive, TlsSend};

int32_t EstablishTls(Connection& c, const char* certificate) {
  if (c.tls_context == nullptr) {
    return certificate != nullptr ? EstablishListener(c, certificate) : kTlsFailed;
  }
  return EstablishConnection(c);
}

int32_t EstablishTlsWithTimeout(Connection& c, const char* certificate, int32_t ticks) {
  // Shared with the hand-shake thread, which may outlive the wait. The
  // listener's thread builds its context on a connection and a copy of the
  // file name of its own: a file read that never ends (a FIFO, a stalled
  // mount) cannot be cut as a socket can, so when the time passes that
  // thread is left behind, and it must then hold nothing of the caller's
  // and free what it made itself.
  struct HandShake {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    bool abandoned = false;
    int32_t result = 0;
    Connection listener;
    std::string certificate;
  };
  const bool for_listener = certificate != nullptr;
  auto hand_shake = std::make_shared<HandShake>();
  std::thread thread;
  try {
    if (for_listener) hand_shake->certificate = certificate;
    thread = std::thread([&c, hand_shake, for_listener] {
      const int32_t result = for_listener ? EstablishTls(hand_shake->listener,
                                                         hand_shake->certificate.c_str())
                                          : EstablishTls(c, nullptr);
      std::lock_guard<std::mutex> lock(hand_shake->mutex);
      if (hand_shake->abandoned) {
        ReleaseTls(hand_shake->listener, true);
        return;
      }
      hand_shake->result = result;
      hand_shake->done = true;
      hand_shake->done_cv.notify_all();
    });
  } catch (const std::system_error&) {
    return 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
  bool timed_out;
  {
    std::unique_lock<std::mutex> lock(hand_shake->mutex);
    timed_out = !hand_shake->done_cv.wait_for(lock, std::chrono::milliseconds(int64_t{ticks} * 10),
                                              [&] { return hand_shake->done; });
    if (for_listener && timed_out) hand_shake->abandoned = true;
    if (for_listener && !timed_out) {
      c.tls_context = std::exchange(hand_shake->listener.tls_context, nullptr);
    }
  }
  if (for_listener) {
    if (!timed_out) {
      thread.join();
      return hand_shake->result;
    }
    thread.detach();
    WriteLog("Can not use certificate on file");
    return kTlsFailed;
  }
  // Shutting the socket down rather than closing it ends a hand-shake that
  // waits on it and keeps the descriptor number from being reused while the
  // hand-shake thread still holds it; the connection's close closes it.
  if (timed_out && c.fd >= 0) shutdown(c.fd, SHUT_RDWR);
  thread.join();
  if (timed_out) {
    ReleaseTls(c, false);
    return kTlsFailed;
  }
  return hand_shake->result;
}

int CheckTlsStatus(int socket, void* tls, int status) {
  const int error_class = ossl::SSL_get_error(static_cast<ossl::SSL*>(tls), status);
  if (error_class == ossl::SSL_ERROR_SSL || error_class == ossl::SSL_ERROR_SYSCALL ||
      error_class > 8) {
    WriteLog("SSL Chkerror socket %d sts %d yields %d", socket, status, error_class);
  }
  return status;
}

void ShutdownTls(Connection& c) {
  if (c.tls != nullptr) ossl::SSL_shutdown(TlsOf(c));
}

void ReleaseTls(Connection& c, bool release_context) {
  if (c.tls != nullptr) {
    ossl::SSL_free(TlsOf(c));
    c.tls = nullptr;
    c.tls_io = nullptr;
  }
  if (release_context && c.tls_context != nullptr) {
    ossl::SSL_CTX_free(ContextOf(c));
    c.tls_context = nullptr;
  }
}

}  // namespace tmb
