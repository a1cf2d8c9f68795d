// Field readers and limits shared by the handler families. They add to the
// wire primitives what handlers need beyond them: texts that must end inside
// their buffer, blocks that are checked and stepped over, and the bound on
// any buffer whose size a client chooses.
#pragma once

#include <cstdint>
#include <memory>

#include "wire/message_buffer.h"
#include "server/session.h"
#include "tmbio/tmbio.h"

namespace tmb {

// Reads a text (a counted block) into dest[0, capacity) and makes sure it is
// terminated there: a shorter block gets a NUL after its bytes; a block that
// fills the whole buffer must end with its own NUL, or the request is
// malformed. Returns the block's length.
uint32_t GetTerminatedText(MessageBuffer& b, char* dest, uint32_t capacity);

// Steps over a counted block that would land in a buffer of `capacity`
// bytes, with the same checks as GetBlock, when there is nowhere to put it.
uint32_t SkipBlock(MessageBuffer& b, uint32_t capacity);

// A buffer size or element count that a client asks for. Refuses (as
// malformed) a negative one and one whose `unit`-byte elements would take
// more than a message may hold: such a reply could never be sent, and the
// memory must not be reserved for it. Returns n * unit.
uint64_t CheckedSize(int64_t n, uint64_t unit = 1);

// Zero-filled scratch memory for n elements of `unit` bytes, with the checks
// of CheckedSize; exhaustion abandons the request. Never null, even for n = 0.
std::unique_ptr<uint8_t[]> Scratch(int64_t n, uint64_t unit = 1);

// An id a request names, as the object it names for this connection: the
// library answers only for objects the connection owns, so another
// connection's id is treated as an id that names nothing (nullptr).
TMBEnvironment* OwnEnvironment(const Session& s, int32_t id);
TMBFile* OwnFile(const Session& s, int32_t id);
TMBSqlHandle* OwnSqlHandle(const Session& s, int32_t id);

}  // namespace tmb
