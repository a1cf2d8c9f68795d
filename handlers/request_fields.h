// Field readers and limits shared by the handler families. They add to the
// wire primitives what handlers need beyond them: blocks that are checked and
// stepped over, and the bound on any buffer whose size a client chooses.
// Texts that must end inside their field are read by handlers/text_field.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/message_buffer.h"
#include "wire/scratch_buffer.h"
#include "server/session.h"
#include "tmbio/tmbio.h"

namespace tmb {

// Steps over a counted block that would land in a buffer of `capacity`
// bytes, with the same checks as GetBlock, when there is nowhere to put it.
uint32_t SkipBlock(MessageBuffer& b, uint32_t capacity);

// A buffer size or element count that a client asks for. Refuses (as
// malformed) a negative one and one whose `unit`-byte elements would take
// more than a message may hold: such a reply could never be sent, and the
// memory must not be reserved for it. Returns n * unit.
uint64_t CheckedSize(int64_t n, uint64_t unit = 1);

// Zero-filled scratch memory for n elements of `unit` bytes, with the checks
// of CheckedSize; exhaustion abandons the request. Up to N bytes come from a
// local array. Never null, even for n = 0.
template <size_t N = 0>
ScratchBuffer<N> Scratch(int64_t n, uint64_t unit = 1) {
  return ScratchBuffer<N>(CheckedSize(n, unit));
}

// The low 32 bits of a word the library answers with: the i32 a reply
// carries, whatever the upper half holds.
inline int32_t Low32(intptr_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

// An id a request names, as the object it names for this connection: the
// library answers only for objects the connection owns, so another
// connection's id is treated as an id that names nothing (nullptr).
TMBEnvironment* OwnEnvironment(const Session& s, int32_t id);
TMBFile* OwnFile(const Session& s, int32_t id);
TMBSqlHandle* OwnSqlHandle(const Session& s, int32_t id);

}  // namespace tmb
