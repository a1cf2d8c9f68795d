#include "server/session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <new>

#include "server/client_slots.h"
#include "server/connection_limits.h"
#include "wire/errors.h"
#include "server/server.h"
#include "server/session_threads.h"
#include "secure/tls_session.h"
#include "wire/opcodes.h"
#include "wire/primitives.h"
#include "tmbio/tmbio.h"

namespace tmb {
namespace {

void TuneSocket(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  const linger no_linger{0, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &no_linger, sizeof no_linger);
  // A reply the client does not take within a minute ends the session; an
  // idle client is waited for without limit unless it holds a transaction
  // open (NextRequestInTime).
  const timeval send_timeout{60, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
}

// A connection with a transaction open holds its files' write right against
// every other connection, so it may stay quiet only so long; without one it
// holds nothing the others wait for and is waited for without limit. The
// wait comes before the status-page peek, which would otherwise block on the
// first byte itself. False when the time passed with nothing to read.
bool NextRequestInTime(Session& s) {
  if (GetNumOwnedTransactions(static_cast<uint64_t>(s.conn.fd)) == 0) return true;
  return ConnectionReadableBy(s.conn, std::chrono::steady_clock::now() + TransactionIdleTimeout());
}

// Serves requests until the peer leaves, a frame cannot be sent, a browser
// has been answered or a transaction stays idle past its time.
void ServeRequests(Session& s) {
  const RequestRouting& routing = Routing();
  bool opened = false;
  for (;;) {
    if (!NextRequestInTime(s)) return;
    if (routing.answer_status_page(s)) return;
    if (ReceiveFrame(s.conn, s.buffer, s.compression, MaxMessageSize(), FrameTimeout()) !=
        ReceiveResult::kOk) {
      return;
    }
    uint8_t opcode = GetByte(s.buffer);
    s.last_opcode = opcode;
    if (routing.opens_connection(opcode)) opened = true;
    if (!opened) opcode = opcode::kRefused;
    {
      // The library's read statements live as long as the request does,
      // also when it is abandoned half-way.
      struct LibraryRequest {
        LibraryRequest() { QD_BeginRequest(); }
        ~LibraryRequest() { QD_EndRequest(); }
      } request;
      routing.dispatch(s, opcode);
    }
    if (!SendFrame(s.conn, s.buffer, s.compression)) return;
    // What the request grew is given back before the client is waited for:
    // idle connections hold their home blocks and nothing more.
    s.buffer.ReturnHome();
  }
}

}  // namespace

std::unique_ptr<Session> CreateSession(int fd) {
  std::unique_ptr<Session> s(new (std::nothrow) Session);
  if (!s || !s->buffer.Create()) return nullptr;
  s->conn.fd = fd;
  return s;
}

void RunConnection(std::unique_ptr<Session> session) {
  Session& s = *session;
  TuneSocket(s.conn.fd);
  if (s.conn.tls_context != nullptr &&
      EstablishTlsWithTimeout(s.conn, nullptr, TlsTimeoutTicks()) != kTlsEstablished) {
    // Closed without a reply; no slot was taken yet.
    CloseSession(std::move(session), false);
    return;
  }
  s.compression.warmup = 2;
  try {
    ServeRequests(s);
  } catch (const RequestAbandoned&) {
    // Out of memory inside a request: nothing of it is sent.
  } catch (const std::bad_alloc&) {
    // The same, from a standard container (registry reads, access checks).
  } catch (const MalformedMessage&) {
    // A request that does not hold its own fields: the client is out of step
    // with the protocol, and nothing it sends next can be trusted.
  }
  // However the session ended (the status page included), the slot it took
  // is given back once, so a name is never left counted by a gone client.
  if (s.slot_name[0] != '\0') {
    ReleaseSlot(s.slot_name);
    s.slot_name[0] = '\0';
  }
  CloseSession(std::move(session), false);
}

void CloseSession(std::unique_ptr<Session> session, bool listener) {
  // Also after a last request that released an environment: the connection
  // may own others, and their transactions and locks must not outlive it.
  // For a socket that owns nothing the call does nothing.
  QD_SocketClosed(static_cast<uint64_t>(session->conn.fd));
  ShutdownTls(session->conn);
  if (!listener) ServerSessions().SocketClosing(session->conn.fd);
  close(session->conn.fd);
  // The listener's close is the only one that frees the shared context.
  ReleaseTls(session->conn, listener);
  if (session->admitted) ServerConnections().Leave(session->peer_address);
}

}  // namespace tmb
