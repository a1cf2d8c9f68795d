// Handlers that open a connection and set it up.
#pragma once

namespace tmb {

struct Session;

// Opcode 41: replies i16 0. One of the requests that open a connection.
void Hello(Session& s);
// Opcode 23: replies i16 -2.
void RefuseRequest(Session& s);
// Opcode 66: six optional texts, each after an i16 flag that must be 1 for
// the text to follow: two identity names, a text passed over, two resource
// names and the client name. Takes the client slot of that name and replies
// the access check's result as i16, or -2 when the slot table has no room.
// A connection holds at most one slot: identifying again with the same name
// keeps it; with another name it gives its slot back first. The result
// becomes the connection's rights (secure/rights.h), replacing those of an
// earlier identification; a refused one leaves none.
void IdentifyClient(Session& s);
// Opcode 69: the compression negotiation. Grants zlib (100) only when 100 is
// asked for and the library is loaded; stores both thresholds as sent.
void SetCompression(Session& s);

}  // namespace tmb
