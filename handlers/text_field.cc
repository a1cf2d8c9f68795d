#include "handlers/text_field.h"

#include <cstring>

#include "wire/errors.h"
#include "wire/message_buffer.h"
#include "wire/primitives.h"

namespace tmb {

uint32_t GetText(MessageBuffer& b, char* dest, size_t size, uint32_t capacity) {
  std::memset(dest, 0, size);
  const uint32_t n = GetBlock(b, dest, capacity);
  if (std::memchr(dest, '\0', size) == nullptr) {
    throw MalformedRequest("text without room for its terminator");
  }
  return n;
}

uint32_t GetTerminatedText(MessageBuffer& b, char* dest, uint32_t capacity) {
  const uint32_t n = GetText(b, dest, capacity, capacity);
  if (n == capacity && dest[capacity - 1] != '\0') {
    throw MalformedRequest("text without its terminator fills its field");
  }
  return n;
}

void GetOptionalTexts(MessageBuffer& b, std::span<const TextField> fields, TextFlag flag,
                      bool* present) {
  for (size_t i = 0; i < fields.size(); ++i) {
    const TextField& f = fields[i];
    const bool follows = flag == TextFlag::kInt32AboveZero ? GetInt32(b) > 0 : GetInt16(b) == 1;
    if (follows) {
      GetText(b, f.dest, f.size, f.capacity);
    } else {
      std::memset(f.dest, 0, f.size);
    }
    if (present != nullptr) present[i] = follows;
  }
}

void PutFieldText(MessageBuffer& b, const char* field, size_t size) {
  const size_t length = strnlen(field, size);
  PutInt32(b, static_cast<int32_t>(length + 1));
  if (!b.Append(field, length)) throw RequestAbandoned();
  PutByte(b, 0);
}

}  // namespace tmb
