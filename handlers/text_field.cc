#include "handlers/text_field.h"

#include <cstring>

#include "wire/errors.h"
#include "wire/message_buffer.h"
#include "wire/primitives.h"

namespace tmb {

void GetText(MessageBuffer& b, char* dest, size_t size, uint32_t capacity) {
  std::memset(dest, 0, size);
  GetBlock(b, dest, capacity);
  if (std::memchr(dest, '\0', size) == nullptr) {
    throw MalformedRequest("text without room for its terminator");
  }
}

void PutFieldText(MessageBuffer& b, const char* field, size_t size) {
  const size_t length = strnlen(field, size);
  PutInt32(b, static_cast<int32_t>(length + 1));
  if (!b.Append(field, length)) throw RequestAbandoned();
  PutByte(b, 0);
}

}  // namespace tmb
