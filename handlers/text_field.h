// Texts in requests and replies. A request's text lands in a field of fixed
// capacity and must fit there with its terminator; the field is the
// handler's own, zero-filled before the read, so what the library gets
// always ends inside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tmb {

class MessageBuffer;

// Reads a counted block of at most `capacity` bytes into dest[0, size)
// (size >= capacity; the bytes past capacity stay zero and so always end the
// text) and returns its length. A longer block, or one that leaves no zero
// byte in dest, is malformed (the connection ends) and nothing is written
// past dest.
uint32_t GetText(MessageBuffer& b, char* dest, size_t size, uint32_t capacity);

template <size_t N>
void GetText(MessageBuffer& b, char (&dest)[N]) {
  GetText(b, dest, N, static_cast<uint32_t>(N));
}

// GetText into dest[0, capacity), held to the stricter rule of a text that
// carries its own terminator: a block that fills the whole field must end
// with its NUL; one that merely holds a NUL earlier is malformed too.
// Returns the block's length.
uint32_t GetTerminatedText(MessageBuffer& b, char* dest, uint32_t capacity);

// A field a request's text lands in: `size` bytes at dest, of which the text
// may take `capacity` (see GetText).
struct TextField {
  char* dest;
  size_t size;
  uint32_t capacity;
};

// A field the text may fill to its last byte.
template <size_t N>
TextField WholeField(char (&dest)[N]) {
  return {dest, N, static_cast<uint32_t>(N)};
}

// How a request says whether an optional text follows.
enum class TextFlag {
  kInt32AboveZero,  // an i32; the text follows when it is above 0
  kInt16One,        // an i16; the text follows when it is 1
};

// Reads, for each field in turn, its flag and, when the flag says so, its
// text. Every field is zero-filled, so an absent text reads as empty.
// present[i], when given, tells whether the i-th text came.
void GetOptionalTexts(MessageBuffer& b, std::span<const TextField> fields, TextFlag flag,
                      bool* present = nullptr);

// Puts the text held in field[0, size) as a counted text with its
// terminator; a field filled to its last byte gives all of it and a
// terminator of our own, never a byte past the field.
void PutFieldText(MessageBuffer& b, const char* field, size_t size);

}  // namespace tmb
