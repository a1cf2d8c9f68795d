// Texts in requests and replies. A request's text lands in a field of fixed
// capacity and must fit there with its terminator; the field is the
// handler's own, zero-filled before the read, so what the library gets
// always ends inside it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tmb {

class MessageBuffer;

// Reads a counted block of at most `capacity` bytes into dest[0, size)
// (size >= capacity; the bytes past capacity stay zero and so always end the
// text). A longer block, or one that leaves no zero byte in dest, is
// malformed (MalformedRequest: the connection ends) and nothing is written
// past dest.
void GetText(MessageBuffer& b, char* dest, size_t size, uint32_t capacity);

template <size_t N>
void GetText(MessageBuffer& b, char (&dest)[N]) {
  GetText(b, dest, N, static_cast<uint32_t>(N));
}

// Puts the text held in field[0, size) as a counted text with its
// terminator; a field filled to its last byte gives all of it and a
// terminator of our own, never a byte past the field.
void PutFieldText(MessageBuffer& b, const char* field, size_t size);

}  // namespace tmb
