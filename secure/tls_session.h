// TLS sessions of the server: the listener's context from the one PEM file
// of the certificate setting, each accepted connection's TLS object and
// hand-shake, the reads and writes through it, and its close.
//
// Log texts, one line each: "Unable to define Server methods", "Can not
// find certificate file", "Can not use certificate on file" (also for a file
// not read within the time-out), "Can not use PrivateKey", "Private key does
// not match the certificate", "Cannot read CA's in certificate", "Unable to
// create new SSL connection", and "SSL Chkerror socket %d sts %d yields %d"
// for a TLS call that failed with class SSL_ERROR_SSL, SSL_ERROR_SYSCALL or
// any class above 8.
#pragma once

#include <cstdint>

#include "wire/connection.h"

namespace tmb {

// Results of EstablishTls and EstablishTlsWithTimeout; only kTlsEstablished
// is success (0 means the hand-shake thread could not be started).
constexpr int32_t kTlsEstablished = -1;
constexpr int32_t kTlsFailed = 43;

// The hand-shake time-out of both callers, in units of 10 ms: 15 seconds.
constexpr int32_t kTlsTimeoutTicks = 1500;

// On the listener (`certificate` non-null, no context yet): makes the
// server context from the PEM file at `certificate` (certificate with its
// chain, private key and trusted CA certificates, all in the one file);
// any failure leaves no context behind. On an accepted connection
// (`certificate` null, `c.tls_context` the listener's): makes the TLS
// object and runs the server hand-shake on the blocking socket. A hand-shake
// that fails is a failure: its status goes through CheckTlsStatus and the
// TLS object is freed, so a connection has a TLS object only once it is
// secured and never reads or writes in the clear by mistake.
int32_t EstablishTls(Connection& c, const char* certificate);

// EstablishTls on a hand-shake thread of its own, waited for `ticks` x 10 ms;
// the result is kTlsFailed when the time passes. For a connection the socket
// is then shut down (not closed: its owner closes it, once), which ends a
// hand-shake blocked on it, and the thread is waited for. For the listener
// the thread, which may be stuck reading the certificate file, is left to
// finish on its own and free what it made; the time-out is logged as
// "Can not use certificate on file", and `c` gets no context.
int32_t EstablishTlsWithTimeout(Connection& c, const char* certificate, int32_t ticks);

// The reads and writes of a connection with a TLS object, for Connection's
// tls_io: up to 5 attempts each, the thread's error queue cleared before
// every one; a result > 0 is returned at once, any other goes through
// CheckTlsStatus and is returned unless it is -2 (then the next attempt;
// 0 after five).
extern const TlsIo kServerTlsIo;

// Logs the failure of a TLS read, peek or write (see above) and gives the
// status back unchanged.
int CheckTlsStatus(int socket, void* tls, int status);

// Sends the TLS close notice when the connection has a TLS object; the
// peer's answer is not waited for.
void ShutdownTls(Connection& c);

// Frees the connection's TLS object and, with `release_context` (the
// listener's final close only), the TLS context.
void ReleaseTls(Connection& c, bool release_context);

}  // namespace tmb
