#include "wire/primitives.h"

#include <cstring>

#include "wire/errors.h"

namespace tmb {
namespace {

const uint8_t* Take(MessageBuffer& b, uint64_t n) {
  if (Remaining(b) < n) throw MalformedMessage("message ends inside a field");
  const uint8_t* p = b.data() + b.cursor();
  b.set_cursor(b.cursor() + n);
  return p;
}

void Put(MessageBuffer& b, const void* bytes, uint64_t n) {
  if (!b.Append(bytes, n)) throw RequestAbandoned();
}

}  // namespace

uint64_t Remaining(const MessageBuffer& b) {
  return b.cursor() < b.length() ? b.length() - b.cursor() : 0;
}

uint8_t GetByte(MessageBuffer& b) { return *Take(b, 1); }

bool GetBoolean(MessageBuffer& b) { return *Take(b, 1) == 'T'; }

int16_t GetInt16(MessageBuffer& b) {
  const uint8_t* p = Take(b, 2);
  return static_cast<int16_t>((p[0] << 8) | p[1]);
}

int32_t GetInt32(MessageBuffer& b) { return static_cast<int32_t>(LoadBigEndian32(Take(b, 4))); }

uint32_t GetBlock(MessageBuffer& b, void* dest, uint32_t capacity) {
  const int32_t n = GetInt32(b);
  if (n < 0) throw MalformedMessage("negative block length");
  if (static_cast<uint32_t>(n) > capacity) throw MalformedMessage("block longer than its field");
  const uint8_t* p = Take(b, static_cast<uint64_t>(n));
  if (n != 0) std::memcpy(dest, p, static_cast<size_t>(n));
  return static_cast<uint32_t>(n);
}

void PutByte(MessageBuffer& b, uint8_t v) { Put(b, &v, 1); }

void PutBoolean(MessageBuffer& b, bool v) { PutByte(b, v ? 'T' : 'F'); }

void PutInt16(MessageBuffer& b, int16_t v) {
  const uint16_t u = static_cast<uint16_t>(v);
  const uint8_t bytes[2] = {static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u)};
  Put(b, bytes, 2);
}

void PutInt32(MessageBuffer& b, int32_t v) {
  uint8_t bytes[4];
  StoreBigEndian32(bytes, static_cast<uint32_t>(v));
  Put(b, bytes, 4);
}

void PutBlock(MessageBuffer& b, const void* bytes, uint32_t n) {
  PutInt32(b, static_cast<int32_t>(n));
  Put(b, bytes, n);
}

void PutText(MessageBuffer& b, const char* text) {
  PutBlock(b, text, static_cast<uint32_t>(std::strlen(text) + 1));
}

}  // namespace tmb
