// The server thread: checks the data library and the catalog configuration,
// listens on its port, builds the client slots, learns whether zlib is
// available, and gives every accepted connection a session and a thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "tmbio/tmbio.h"
#include "wire/connection.h"

namespace tmb {

// The oldest data library the server starts with.
constexpr int32_t kMinLibraryVersion = TMBIO_MIN_VERSION;

// Process-wide settings the host fills in before StartServer.
struct ServerSettings {
  uint16_t port = 0;              // 0: not chosen, listen on kDefaultPort
  std::string certificate;        // non-empty turns TLS on
  bool service_mode = false;      // report start-up failures as events
};
ServerSettings& Settings();

struct Session;

// What the layers above the server hand it at start, so that it includes
// none of them: the request dispatcher with its acceptance rule, and the
// status-page responder, which is asked before each request and returns true
// when it has answered (the session then ends).
struct RequestRouting {
  void (*dispatch)(Session& session, uint8_t opcode);
  bool (*opens_connection)(uint8_t opcode);
  bool (*answer_status_page)(Session& session);
};

// The routing StartServer was given.
const RequestRouting& Routing();

// Runs the server thread with `routing` and waits until it listens. 0 when listening, -1
// when the thread ended without listening, or an errno when the thread could
// not be started.
int StartServer(const RequestRouting& routing);

// How long a stop waits for the running sessions to end.
constexpr std::chrono::seconds kSessionStopBound{5};

// Closes the listener and empties the slot table, then ends every running
// session in order (its socket shut down, everything its connection owned
// in the data library released) and waits for their threads, up to
// kSessionStopBound.
void StopServer();

// Whether the listening socket is open.
bool ServerListening();

// The largest frame body a client may send (the MaxMessageSize setting).
uint64_t MaxMessageSize();

// How long a frame may take from its first byte to its last (the
// FrameTimeout setting).
std::chrono::milliseconds FrameTimeout();

// How long a TLS hand-shake may take, in units of 10 ms (the
// TlsHandshakeTimeout setting).
int32_t TlsTimeoutTicks();

// How long a connection with a transaction open is waited for between
// requests (the TransactionIdleTimeout setting).
std::chrono::milliseconds TransactionIdleTimeout();

// Descriptors kept aside for the listener, the log and the library's own
// files, and those counted for each connection: its socket and room for the
// SQLite files of the data it opens.
constexpr uint64_t kReservedDescriptors = 64;
constexpr uint64_t kDescriptorsPerConnection = 4;

// The connection total that `descriptors` open files leave room for: at most
// `configured`, at least 1.
int ConnectionsWithin(uint64_t descriptors, int configured);

}  // namespace tmb
