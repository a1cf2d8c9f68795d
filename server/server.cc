#include "server/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>

#include "diag/debug_trace.h"
#include "config/settings.h"
#include "platform/descriptor_limit.h"
#include "platform/event_log.h"
#include "platform/message_box.h"
#include "secure/tls_binding.h"
#include "secure/tls_session.h"
#include "wire/compression.h"
#include "wire/request_memory.h"
#include "server/client_slots.h"
#include "server/connection_limits.h"
#include "server/session.h"
#include "server/session_threads.h"
#include "tmbio/tmbio.h"

namespace tmb {
namespace {

constexpr const char* kErrorCaption = "Tamblo SQL Server Error";
// Clients that connect together must not find the queue full: a dropped
// handshake is only tried again after a second or more. The kernel cuts
// the value to net.core.somaxconn, so the system's maximum applies.
constexpr int kListenBacklog = std::numeric_limits<int>::max();

std::atomic<int> g_listen_fd{-1};
std::atomic<bool> g_thread_ended{false};
std::atomic<uint64_t> g_max_message_size{kDefaultMaxMessageSize};
std::atomic<int64_t> g_frame_timeout_ms{int64_t{kDefaultFrameTimeoutSeconds} * 1000};
std::atomic<int32_t> g_tls_timeout_ticks{kTlsTimeoutTicks};
std::atomic<int64_t> g_transaction_idle_timeout_ms{int64_t{kDefaultTransactionIdleTimeoutSeconds} *
                                                   1000};
std::unique_ptr<Session> g_listener;  // touched by the server thread and by stop
std::thread g_server_thread;
RequestRouting g_routing{};  // set before the server thread starts, then read only

// A service has no window to show a box in: its start-up failures go to the
// event log, by id, with the message table's text.
void ReportStartFailure(const char* text, unsigned style, uint32_t event_id) {
  if (!Settings().service_mode) {
    platform::MessageBox(text, kErrorCaption, style);
    return;
  }
  platform::EventSourceHandle* source = platform::RegisterEventSource(nullptr, "tmbsqlsvr");
  platform::ReportEvent(source, platform::kEventlogErrorType, 1, event_id);
  platform::DeregisterEventSource(source);
}

std::unique_ptr<Session> OpenListener(uint16_t port) {
  const std::string& certificate = Settings().certificate;
  if (!certificate.empty() && !LoadTlsLibraries()) return nullptr;
  StopServer();  // in case a listener is already open
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  // Lets a restarted server take its port while connections of the previous
  // run linger in TIME_WAIT; a port held by a live listener is still refused.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return nullptr;
  }
  std::unique_ptr<Session> listener = CreateSession(fd);
  if (!listener) {
    close(fd);
    return nullptr;
  }
  if (!certificate.empty() &&
      EstablishTlsWithTimeout(listener->conn, certificate.c_str(), TlsTimeoutTicks()) !=
          kTlsEstablished) {
    CloseSession(std::move(listener), true);
    return nullptr;
  }
  if (listen(fd, kListenBacklog) != 0) {
    CloseSession(std::move(listener), true);
    return nullptr;
  }
  return listener;
}

void StartSessionThread(std::unique_ptr<Session> session) {
  Session* raw = session.release();
  const int fd = raw->conn.fd;
  if (!ServerSessions().Start(fd, [raw] { RunConnection(std::unique_ptr<Session>(raw)); })) {
    CloseSession(std::unique_ptr<Session>(raw), false);  // not retried
  }
}

// With no descriptor left, a connection waiting in the listen queue would
// wait there unanswered for as long as the shortage lasts. The spare is
// given up for the moment it takes to accept that connection and close it,
// so that its client learns at once; false when there was no spare to give.
bool ShedWaitingConnection(int listen_fd, int* spare) {
  if (*spare < 0) return false;
  close(*spare);
  const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) close(fd);
  // Another thread may have taken the descriptor meanwhile: then there is
  // no spare until one is free again.
  *spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
  return fd >= 0;
}

void AcceptLoop(int listen_fd) {
  int spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
  while (g_listen_fd.load() == listen_fd) {
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    const int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC);
    if (fd < 0) {
      const bool no_descriptor = errno == EMFILE || errno == ENFILE;
      if (no_descriptor && ShedWaitingConnection(listen_fd, &spare)) continue;
      // Out of memory, or of descriptors with no spare: wait a little
      // rather than spin on a failure that only time cures.
      if (no_descriptor || errno == ENOBUFS || errno == ENOMEM) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      continue;
    }
    if (spare < 0) spare = open("/dev/null", O_RDONLY | O_CLOEXEC);  // the shortage is over
    // Past the limits a connection is closed before a session or a thread
    // is spent on it: a client that opens connections without end costs
    // the server no more than this.
    const uint32_t address = ntohl(peer.sin_addr.s_addr);
    if (!ServerConnections().Admit(address)) {
      close(fd);
      continue;
    }
    std::unique_ptr<Session> session = CreateSession(fd);
    if (!session) {
      // Only this connection goes without; the next may find memory again.
      close(fd);
      ServerConnections().Leave(address);
      continue;
    }
    session->peer_address = address;
    session->admitted = true;
    session->conn.tls_context = g_listener ? g_listener->conn.tls_context : nullptr;
    StartSessionThread(std::move(session));
    ServerSessions().Reap();
  }
  if (spare >= 0) close(spare);
}

void ServerThread() {
  const ServerLimits limits = ReadServerLimits();
  g_max_message_size = limits.max_message_size;
  const ClientLimits client_limits = ReadClientLimits(limits.max_message_size);
  g_frame_timeout_ms = int64_t{client_limits.frame_timeout_seconds} * 1000;
  g_transaction_idle_timeout_ms = int64_t{ReadTransactionIdleTimeoutSeconds()} * 1000;
  g_tls_timeout_ticks = ReadTlsHandshakeTimeoutSeconds() * 100;
  SetRequestMemoryLimit(client_limits.max_request_memory);
  // Connections cost descriptors, so the server takes every one the system
  // lets it have before it sizes its connection total.
  const platform::DescriptorLimitChange descriptors = platform::RaiseDescriptorLimit();
  const int connections = ConnectionsWithin(descriptors.after, client_limits.max_connections);
  ServerConnections().Configure(static_cast<size_t>(connections),
                                static_cast<size_t>(client_limits.max_connections_per_address));

  if (QDGetEnvMode(nullptr, TMBIO_MODE_VERSION) < kMinLibraryVersion) {
    ReportStartFailure("Version conflict between the server and low level I/O routines (tmbio.dll)",
                       platform::kMbIconWarning, 0xC0000002);
    return;
  }
  if (!CatalogsKeyExists()) {
    ReportStartFailure("Tamblo SQL Server Error: Unable to find a valid catalog",
                       platform::kMbIconWarning, 0xC0000004);
    return;
  }
  if (Settings().port == 0) Settings().port = kDefaultPort;
  std::unique_ptr<Session> listener = OpenListener(Settings().port);
  if (!listener) {
    char text[128];
    std::snprintf(text, sizeof text, "Unable to open socket %d. Another process may be using it.",
                  Settings().port);
    ReportStartFailure(text, platform::kMbOk, 0xC0000003);
    return;
  }
  // Said once the server is sure to run, before it counts as listening so
  // that the line comes before the host's: a limit left low is the first
  // thing to know when connections are refused, and a start that fails
  // shows its failure alone.
  std::fprintf(stderr, "tmbsqlsvr: open descriptor limit %s; room for %d connections\n",
               platform::DescribeDescriptorLimit(descriptors).c_str(), connections);
  std::fflush(stderr);
  const int listen_fd = listener->conn.fd;
  g_listener = std::move(listener);
  g_listen_fd = listen_fd;
  ServerSlots().Activate(limits.client_slots, client_limits.client_slots_per_address);
  SetCompressionCapability(LoadCompressionLibrary() ? kZlibCapability : 0);
  AcceptLoop(listen_fd);
}

}  // namespace

ServerSettings& Settings() {
  static ServerSettings settings;
  return settings;
}

const RequestRouting& Routing() { return g_routing; }

int StartServer(const RequestRouting& routing) {
  g_routing = routing;
  g_thread_ended = false;
  try {
    g_server_thread = std::thread([] {
      ServerThread();
      g_thread_ended = true;
    });
  } catch (const std::system_error& e) {
    return e.code().value();
  }
  while (!ServerListening()) {
    if (g_thread_ended.load()) {
      g_server_thread.join();
      return -1;
    }
    std::this_thread::yield();
  }
  return 0;
}

void StopServer() {
  const int fd = g_listen_fd.exchange(-1);
  if (fd < 0) return;
  ServerSlots().Deactivate();
  // Wakes a server thread blocked in accept; it sees the listener gone and
  // ends, and only then is the socket closed, so that accept never runs on a
  // descriptor number that has meanwhile been reused.
  shutdown(fd, SHUT_RDWR);
  if (g_server_thread.joinable() && g_server_thread.get_id() != std::this_thread::get_id()) {
    g_server_thread.join();
  }
  // The listener is closed only after the sessions: one accepted just before
  // the stop may not have made its TLS object from the listener's context
  // yet. The socket takes no connections already, being shut down.
  std::unique_ptr<Session> listener = std::move(g_listener);
  // No new session can start now; the running ones are ended in order, so
  // that each rolls back, unlocks and closes what its connection owned and
  // its thread frees its per-thread state before the process exits.
  const bool all_ended = ServerSessions().EndAll(kSessionStopBound);
  if (!all_ended) {
    DebugTrace("tmbsqlsvr: %d sessions still running at the stop bound\n",
               static_cast<int>(ServerSessions().running()));
  }
  if (listener) {
    // Sessions still running past the bound may yet use the context; the
    // process's exit takes it with them.
    if (!all_ended) listener->conn.tls_context = nullptr;
    CloseSession(std::move(listener), true);
  }
}

bool ServerListening() { return g_listen_fd.load() >= 0; }

uint64_t MaxMessageSize() { return g_max_message_size.load(std::memory_order_relaxed); }

std::chrono::milliseconds FrameTimeout() {
  return std::chrono::milliseconds(g_frame_timeout_ms.load(std::memory_order_relaxed));
}

int32_t TlsTimeoutTicks() { return g_tls_timeout_ticks.load(std::memory_order_relaxed); }

std::chrono::milliseconds TransactionIdleTimeout() {
  return std::chrono::milliseconds(g_transaction_idle_timeout_ms.load(std::memory_order_relaxed));
}

int ConnectionsWithin(uint64_t descriptors, int configured) {
  const uint64_t room = descriptors > kReservedDescriptors
                            ? (descriptors - kReservedDescriptors) / kDescriptorsPerConnection
                            : 0;
  if (room < 1) return 1;
  return room < static_cast<uint64_t>(configured) ? static_cast<int>(room) : configured;
}

}  // namespace tmb
