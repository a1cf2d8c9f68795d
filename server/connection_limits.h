// The connections the server admits: at most so many in total and so many
// from one client address. The accept loop asks before it spends a session
// or a thread on a connection, and the session gives its place back when it
// closes its socket.
//
// Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace tmb {

class ConnectionLimits {
 public:
  // Takes effect for the next Admit; connections already admitted stay.
  void Configure(size_t total, size_t per_address);

  // Counts a connection from `address` (IPv4, host order) in. False, counting
  // nothing, when either limit is reached.
  bool Admit(uint32_t address);
  // Gives back the place of an admitted connection from `address`.
  void Leave(uint32_t address);

  size_t admitted() const;

 private:
  mutable std::mutex mu_;
  size_t total_limit_ = SIZE_MAX;        // guarded by mu_
  size_t per_address_limit_ = SIZE_MAX;  // guarded by mu_
  size_t admitted_ = 0;                  // guarded by mu_
  // Only addresses with connections have an entry, so the map never holds
  // more entries than the total limit.
  std::unordered_map<uint32_t, size_t> by_address_;  // guarded by mu_
};

// The server's. Never destroyed, so that a session left running at the stop
// bound can still give its place back while the process exits.
ConnectionLimits& ServerConnections();

}  // namespace tmb
