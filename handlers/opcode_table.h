// The opcode table: which handler serves each request opcode. This is the one
// place where an opcode gains its handler; every opcode without one is
// answered through the unknown-opcode path.
#pragma once

#include <cstdint>

namespace tmb {

struct Session;

// A handler reads its fields from the request in the session's buffer (cursor
// just past the opcode), calls BeginReply after its last read, and writes its
// reply body.
using Handler = void (*)(Session&);

// Runs the handler of `opcode`. Opcode 16 runs none: its reply is the request
// itself from the ninth body byte on. Opcodes without a handler print
// "Unknown TMBIO Opcode - N" to standard error and reply i16 0.
void Dispatch(Session& session, uint8_t opcode);

// The handler of `opcode`, or null when the opcode has none.
Handler HandlerFor(uint8_t opcode);

}  // namespace tmb
