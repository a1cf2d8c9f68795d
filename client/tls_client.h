// TLS under a client connection, with OpenSSL linked directly (the run-time
// binding in secure/ is the server's alone). Contract:
//
// - StartClientTls runs the client hand-shake on a connected, blocking
//   socket, bounded by 15 seconds. On success the connection owns its own
//   SSL_CTX and SSL (tls_context, tls) and reads and writes through
//   kClientTlsIo; on failure nothing of TLS is left on it and *error says
//   why, with OpenSSL's reason and, when the certificate was refused, the
//   verification's own text.
// - Unless `verify` is off, the server's certificate must chain to the CA
//   file (none: the system's default verify paths) and name `host`: a host
//   name is checked as a DNS name and also sent as the server name
//   indication; an IPv4 or IPv6 literal is checked as an IP address.
// - The I/O calls keep wire's TlsIo meaning (bytes, 0 on the server's close
//   notice, below 0 on failure or the wire layer's receive time-out; send
//   writes all or fails) and never raise SIGPIPE: a peer that went away is
//   a failed call, as on a plain socket.
// - EndClientTls sends the close notice once (not after a fatal TLS error,
//   when there is nothing left to close in order) and frees both objects;
//   the caller then closes the socket.
#pragma once

#include <string>

#include "wire/connection.h"

namespace tmb {

struct ClientTls {
  bool enabled = false;
  // PEM file of the CA certificates to trust; empty: the system's.
  std::string ca_file;
  // Off accepts any certificate (the connection is encrypted but the server
  // unproven): for tests and first set-up only.
  bool verify = true;
};

bool StartClientTls(Connection& c, const std::string& host, const ClientTls& options,
                    std::string* error);

void EndClientTls(Connection& c);

extern const TlsIo kClientTlsIo;

}  // namespace tmb
