// Handlers that open a connection and set it up.
#pragma once

namespace tmb {

struct Session;

// Opcode 41: replies i16 0. One of the requests that open a connection.
void Hello(Session& s);
// Opcode 23: replies i16 -2.
void RefuseRequest(Session& s);
// Opcode 69: the compression negotiation. Grants zlib (100) only when 100 is
// asked for and the library is loaded; stores both thresholds as sent.
void SetCompression(Session& s);

}  // namespace tmb
