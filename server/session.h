// The session of one connection: its message buffer, socket, client name,
// compression settings and the request loop that its own thread runs.
#pragma once

#include <cstdint>
#include <memory>

#include "secure/rights.h"
#include "wire/connection.h"
#include "wire/frame.h"
#include "wire/message_buffer.h"

namespace tmb {

constexpr size_t kClientNameSize = 128;

struct Session {
  MessageBuffer buffer;
  Connection conn;
  char client_name[kClientNameSize] = {};
  CompressionSettings compression;
  uint32_t last_opcode = 0;
  // The name whose client slot this connection holds, released exactly once
  // when the session ends. Empty while it holds none.
  char slot_name[kClientNameSize] = {};
  // The client address (IPv4, host order) whose connection count this
  // session holds, given back once when it closes its socket.
  uint32_t peer_address = 0;
  bool admitted = false;
  // The directory searches this connection opened (handlers/host_files.cc);
  // freeing the session closes them.
  std::shared_ptr<void> directory_searches;
  ConnectionRights rights;      // what IdentifyClient earned (secure/rights.h)
};

// A session for an accepted socket, or null when its memory cannot be had
// (the caller then closes the socket).
std::unique_ptr<Session> CreateSession(int fd);

// The connection's thread: tunes the socket, serves requests until the peer
// leaves or a frame cannot be sent, then closes the session.
void RunConnection(std::unique_ptr<Session> session);

// Tells the data library the socket is closing, so that everything the
// connection owned there is rolled back and freed, closes the socket and
// frees the session.
void CloseSession(std::unique_ptr<Session> session, bool listener);

}  // namespace tmb
