#include "client/tls_client.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace tmb {
namespace {

// As long as the server gives its side of the hand-shake: a peer that takes
// the TCP connection but never answers must not hold the client for ever.
constexpr int kHandShakeSeconds = 15;

SSL* TlsOf(Connection& c) { return static_cast<SSL*>(c.tls); }

// OpenSSL writes to the socket with write(), which raises SIGPIPE when the
// peer has gone, where the plain path sends with MSG_NOSIGNAL. The signal is
// held back on this thread while OpenSSL runs and taken off again after, so
// a vanished server fails the call instead of ending the client's process.
// A SIGPIPE that was pending before is left alone: it is not ours.
class SigpipeHeld {
 public:
  SigpipeHeld() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_mask_);
  }
  ~SigpipeHeld() {
    const int saved_errno = errno;
    if (!was_pending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        const timespec no_wait{0, 0};
        while (sigtimedwait(&pipe_, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    errno = saved_errno;
  }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_mask_;
  bool was_pending_ = false;
};

void SetReceiveTimeout(int fd, int seconds) {
  const timeval tv{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

bool IsIpLiteral(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// OpenSSL's reason for the oldest error on this thread's queue, or
// `otherwise` when the queue is empty.
std::string Reason(const char* otherwise) {
  const unsigned long e = ERR_peek_error();
  if (e == 0) return otherwise;
  const char* reason = ERR_reason_error_string(e);
  if (reason != nullptr) return reason;
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

// Takes a failure's text and leaves the thread's error queue empty for the
// next call, which would otherwise report an old error as its own.
std::string TakeReason(const char* otherwise) {
  std::string reason = Reason(otherwise);
  ERR_clear_error();
  return reason;
}

std::string HandShakeFailure(SSL* ssl, int status, int call_errno, const std::string& host,
                             bool verify) {
  std::string text = "TLS hand-shake with " + host + " failed: ";
  const int error_class = SSL_get_error(ssl, status);
  if (ERR_peek_error() != 0) {
    text += TakeReason("");
  } else if (error_class == SSL_ERROR_WANT_READ || error_class == SSL_ERROR_WANT_WRITE) {
    text += "no answer within " + std::to_string(kHandShakeSeconds) + " seconds";
  } else if (error_class == SSL_ERROR_SYSCALL && call_errno != 0) {
    text += std::strerror(call_errno);
  } else {
    text += "the server closed the connection (is TLS on there?)";
  }
  const long verified = SSL_get_verify_result(ssl);
  if (verify && verified != X509_V_OK) {
    text += std::string(" (the server's certificate was refused: ") +
            X509_verify_cert_error_string(verified) + ")";
  }
  return text;
}

// One TLS read, peek or write. Only a signal that broke into the socket call
// is tried again; a want-read otherwise is the receive time-out the wire
// layer set and fails as its plain read does.
template <typename Call>
int64_t Transfer(Connection& c, Call call) {
  SigpipeHeld held;
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int r = call(TlsOf(c));
    const int call_errno = errno;
    if (r > 0) return r;
    const int error_class = SSL_get_error(TlsOf(c), r);
    ERR_clear_error();
    switch (error_class) {
      case SSL_ERROR_ZERO_RETURN:
        return 0;
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        if (call_errno == EINTR) continue;
        return -1;
      case SSL_ERROR_SSL:
      case SSL_ERROR_SYSCALL:
        // OpenSSL must not be asked for a close notice after a fatal error.
        SSL_set_quiet_shutdown(TlsOf(c), 1);
        return -1;
      default:
        return -1;
    }
  }
}

int Piece(int64_t n) { return static_cast<int>(n); }  // wire bounds n to 2^30

int64_t ClientPeek(Connection& c, void* buf, int64_t n) {
  return Transfer(c, [&](SSL* ssl) { return SSL_peek(ssl, buf, Piece(n)); });
}

int64_t ClientReceive(Connection& c, void* buf, int64_t n) {
  return Transfer(c, [&](SSL* ssl) { return SSL_read(ssl, buf, Piece(n)); });
}

int64_t ClientSend(Connection& c, const void* buf, int64_t n) {
  return Transfer(c, [&](SSL* ssl) { return SSL_write(ssl, buf, Piece(n)); });
}

bool Fail(SSL_CTX* context, SSL* ssl, std::string* error, std::string text) {
  SSL_free(ssl);
  SSL_CTX_free(context);
  *error = std::move(text);
  return false;
}

}  // namespace

const TlsIo kClientTlsIo{ClientPeek, ClientReceive, ClientSend};

bool StartClientTls(Connection& c, const std::string& host, const ClientTls& options,
                    std::string* error) {
  ERR_clear_error();
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) {
    return Fail(nullptr, nullptr, error, "TLS: no client context: " + TakeReason("out of memory"));
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  if (!options.ca_file.empty()) {
    if (SSL_CTX_load_verify_locations(context, options.ca_file.c_str(), nullptr) != 1) {
      return Fail(context, nullptr, error,
                  "TLS: cannot read CA certificates from " + options.ca_file + ": " +
                      TakeReason("no certificate in it"));
    }
  } else if (options.verify && SSL_CTX_set_default_verify_paths(context) != 1) {
    return Fail(context, nullptr, error,
                "TLS: cannot use the system's CA certificates: " + TakeReason("unknown reason"));
  }
  SSL_CTX_set_verify(context, options.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);

  SSL* ssl = SSL_new(context);
  if (ssl == nullptr) {
    return Fail(context, nullptr, error, "TLS: no connection object: " + TakeReason("out of memory"));
  }
  // A server name indication carries a name, never an address.
  const bool ip = IsIpLiteral(host);
  if (!ip && SSL_set_tlsext_host_name(ssl, host.c_str()) != 1) {
    return Fail(context, ssl, error, "TLS: \"" + host + "\" cannot be sent as a server name");
  }
  if (options.verify) {
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int set = ip ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str())
                       : SSL_set1_host(ssl, host.c_str());
    if (set != 1) {
      return Fail(context, ssl, error, "TLS: \"" + host + "\" cannot be checked against a certificate");
    }
  }
  SSL_set_fd(ssl, c.fd);

  SetReceiveTimeout(c.fd, kHandShakeSeconds);
  int status;
  int call_errno;
  {
    SigpipeHeld held;
    do {
      ERR_clear_error();
      errno = 0;
      status = SSL_connect(ssl);
      call_errno = errno;
    } while (status != 1 && SSL_get_error(ssl, status) == SSL_ERROR_WANT_READ &&
             call_errno == EINTR);
  }
  SetReceiveTimeout(c.fd, 0);
  if (status != 1) {
    std::string text = HandShakeFailure(ssl, status, call_errno, host, options.verify);
    ERR_clear_error();
    return Fail(context, ssl, error, std::move(text));
  }
  c.tls = ssl;
  c.tls_context = context;
  c.tls_io = &kClientTlsIo;
  c.receive_timeout_set = false;
  return true;
}

void EndClientTls(Connection& c) {
  if (c.tls != nullptr) {
    {
      SigpipeHeld held;
      // Once: the server's answer to the notice is not waited for.
      SSL_shutdown(TlsOf(c));
    }
    ERR_clear_error();
    SSL_free(TlsOf(c));
    c.tls = nullptr;
    c.tls_io = nullptr;
  }
  if (c.tls_context != nullptr) {
    SSL_CTX_free(static_cast<SSL_CTX*>(c.tls_context));
    c.tls_context = nullptr;
  }
  c.receive_timeout_set = false;
}

}  // namespace tmb
