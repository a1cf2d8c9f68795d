#include "handlers/read_buffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "wire/allocation_failure.h"
#include "wire/errors.h"

namespace tmb {
namespace {

void** CellOf(TMBFile* file) {
  const intptr_t address = QDGetEnvMode(file, TMBIO_FILE_CELL);
  if (address == 0 || address == TMBIO_UNKNOWN_MODE) return &file->server_cell;
  return reinterpret_cast<void**>(address);
}

uint32_t CapacityOf(const void* block) {
  uint32_t capacity;
  std::memcpy(&capacity, block, sizeof capacity);
  return capacity;
}

}  // namespace

uint8_t* PrepareReadBuffer(TMBFile* file, uint64_t need) {
  if (need > UINT32_MAX) throw MalformedRequest("read buffer beyond its capacity field");
  if (need < kReadBufferHeader) need = kReadBufferHeader;
  void** cell = CellOf(file);
  auto* block = static_cast<uint8_t*>(*cell);
  if (block != nullptr && CapacityOf(block) >= need) {
    std::memset(block + kReadBufferHeader, 0, need - kReadBufferHeader);
    return block + kReadBufferHeader;
  }
  // Freed before the new one is taken: the old contents are never needed,
  // and a large buffer should not be held twice.
  std::free(block);
  *cell = nullptr;
  block = AllocationFails() ? nullptr : static_cast<uint8_t*>(std::calloc(need, 1));
  if (block == nullptr) throw RequestAbandoned();
  const uint32_t capacity = static_cast<uint32_t>(need);
  std::memcpy(block, &capacity, sizeof capacity);
  *cell = block;
  return block + kReadBufferHeader;
}

void ReleaseReadBuffer(TMBFile* file) {
  void** cell = CellOf(file);
  std::free(*cell);
  *cell = nullptr;
}

int32_t RecordRoom(TMBFile* file, int32_t asked) {
  const intptr_t base = QDGetEnvMode(file, TMBIO_FILE_RECORD_BASE);
  const intptr_t extra = QDGetEnvMode(file, TMBIO_FILE_RECORD_EXTRA);
  // Answers the library cannot mean as sizes leave the client's number to
  // the other checks (it is already held within the message size).
  if (base < 0 || extra < 0 || base > INT32_MAX || extra > INT32_MAX) return asked;
  const int64_t longest = static_cast<int64_t>(base) + extra + 1;
  return asked < longest ? asked : static_cast<int32_t>(longest);
}

ReadBufferTrim::~ReadBufferTrim() {
  if (file_ == nullptr) return;
  void** cell = CellOf(file_);
  if (*cell != nullptr && CapacityOf(*cell) > kKeptReadBuffer) ReleaseReadBuffer(file_);
}

}  // namespace tmb
