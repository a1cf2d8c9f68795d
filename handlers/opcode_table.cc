#include "handlers/opcode_table.h"

#include <array>
#include <cstdio>

#include "handlers/session_control.h"
#include "server/frame.h"
#include "server/session.h"
#include "server/wire.h"

namespace tmb {
namespace {

constexpr uint8_t kEchoOpcode = 16;

std::array<Handler, 256> BuildTable() {
  std::array<Handler, 256> table{};
  table[23] = RefuseRequest;
  table[41] = Hello;
  table[69] = SetCompression;
  return table;
}

const std::array<Handler, 256> kTable = BuildTable();

// The request stays in the buffer and goes back from its ninth byte on: the
// reply frame's header is written over the first eight. A request shorter
// than that has nothing to echo and gets an empty body.
void Echo(Session& s) {
  if (s.buffer.length() < kFrameHeaderSize) s.buffer.SetPosition(kFrameHeaderSize);
}

void Unknown(Session& s, uint8_t opcode) {
  std::fprintf(stderr, "Unknown TMBIO Opcode - %d\n", opcode);
  s.buffer.BeginReply();
  PutInt16(s.buffer, 0);
}

}  // namespace

Handler HandlerFor(uint8_t opcode) { return kTable[opcode]; }

void Dispatch(Session& s, uint8_t opcode) {
  if (opcode == kEchoOpcode) {
    Echo(s);
  } else if (Handler handler = kTable[opcode]) {
    handler(s);
  } else {
    Unknown(s, opcode);
  }
}

}  // namespace tmb
