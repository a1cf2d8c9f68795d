// The opcode table: one row per opcode that the server knows, saying all it
// knows of it. This is the one place where an opcode gains its handler or
// opens a connection; every opcode without a row is answered through the
// unknown-opcode path.
#pragma once

#include <cstdint>
#include <span>

namespace tmb {

struct Session;

// A handler reads its fields from the request in the session's buffer (cursor
// just past the opcode), calls BeginReply after its last read, and writes its
// reply body.
using Handler = void (*)(Session&);

struct OpcodeRow {
  uint8_t opcode;
  const char* name;
  Handler handler;        // null: answered as an unknown opcode
  bool opens_connection;  // a first request with it admits all others
};

// Every row, in opcode order.
std::span<const OpcodeRow> OpcodeRows();

// The row of `opcode`, or null when the table has none.
const OpcodeRow* RowFor(uint8_t opcode);

// Runs the handler of `opcode`. Echo runs none: its reply is the request
// itself from the ninth body byte on. Opcodes without a handler print
// "Unknown TMBIO Opcode - N" to standard error and reply i16 0.
void Dispatch(Session& session, uint8_t opcode);

// Whether a request with `opcode` opens the connection for all others.
bool OpensConnection(uint8_t opcode);

}  // namespace tmb
