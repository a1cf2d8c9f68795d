// Wire primitives: how values are laid into and taken out of a message
// buffer. All integers are big-endian; booleans are "T"/"F"; counted blocks
// are a 32-bit length followed by that many bytes; texts are counted blocks
// that carry their terminating zero byte.
//
// Reads take from the cursor and never pass the body's length: a message
// that is too short throws MalformedMessage. Writes append at the write end;
// a buffer that cannot grow throws RequestAbandoned.
#pragma once

#include <cstdint>

#include "wire/message_buffer.h"

namespace tmb {

inline void StoreBigEndian32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline uint32_t LoadBigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint8_t GetByte(MessageBuffer& b);
bool GetBoolean(MessageBuffer& b);
int16_t GetInt16(MessageBuffer& b);
int32_t GetInt32(MessageBuffer& b);
// Reads a counted block into dest[0, capacity) and returns its length. A
// negative length or one above capacity is malformed.
uint32_t GetBlock(MessageBuffer& b, void* dest, uint32_t capacity);
// Bytes left between the cursor and the end of the body.
uint64_t Remaining(const MessageBuffer& b);

void PutByte(MessageBuffer& b, uint8_t v);
void PutBoolean(MessageBuffer& b, bool v);
void PutInt16(MessageBuffer& b, int16_t v);
void PutInt32(MessageBuffer& b, int32_t v);
void PutBlock(MessageBuffer& b, const void* bytes, uint32_t n);
// A zero-terminated text, terminator included.
void PutText(MessageBuffer& b, const char* text);

}  // namespace tmb
