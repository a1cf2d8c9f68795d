// The status page: a browser that sends "GET " to the server's port gets one
// fixed-layout HTML page with the server's version, TLS state and usage
// counts, and the connection is closed.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace tmb {

struct Session;

struct StatusCounts {
  bool secure = false;
  int32_t slots_in_use = 0;
  int32_t connections = 0;
  int32_t open_files = 0;
};

// The whole HTTP response for `counts` at time `now`.
std::string BuildStatusPage(const StatusCounts& counts, std::time_t now);

// Peeks at the next four bytes of the session's connection; when they are
// "GET " answers with the status page and returns true (the caller then
// closes the connection). Consumes nothing otherwise.
bool AnswerStatusPage(Session& session);

}  // namespace tmb
