#include "wire/message_buffer.h"

#include <cstdlib>
#include <cstring>

#include "wire/allocation_failure.h"
#include "wire/request_memory.h"

namespace tmb {
namespace {

// Every block but the home block counts as request memory: the home blocks
// are bounded by the number of connections, the grown ones only by this.
uint8_t* ObtainBlock(uint64_t size, bool counted) {
  if (AllocationFails()) return nullptr;
  if (counted && !TakeRequestMemory(size)) return nullptr;
  auto* block = static_cast<uint8_t*>(std::malloc(size));
  if (block == nullptr && counted) ReturnRequestMemory(size);
  return block;
}

void DropCountedBlock(uint8_t* block, uint64_t size) {
  if (block == nullptr) return;
  std::free(block);
  ReturnRequestMemory(size);
}

}  // namespace

MessageBuffer::~MessageBuffer() { FreeAll(); }

void MessageBuffer::FreeAll() {
  uint8_t* home = home_;
  const bool storage_was_home = storage_ == home_;
  Release();
  if (!storage_was_home) std::free(home);
  home_ = nullptr;
}

bool MessageBuffer::Create() {
  FreeAll();  // a buffer created again starts afresh, holding nothing old
  storage_ = ObtainBlock(kBufferUnit, false);
  if (storage_ == nullptr) return false;
  home_ = storage_;
  capacity_ = kBufferUnit;
  return true;
}

bool MessageBuffer::Allocate(uint64_t size) {
  if (storage_ != nullptr && storage_ != home_) {
    Release();
  } else {
    Reset();
  }
  storage_ = ObtainBlock(size, true);
  if (storage_ == nullptr) {
    capacity_ = 0;
    return false;
  }
  capacity_ = size;
  return true;
}

void MessageBuffer::Release() {
  if (storage_ == home_) {
    home_ = nullptr;
    std::free(storage_);
  } else {
    DropCountedBlock(storage_, capacity_);
  }
  storage_ = nullptr;
  capacity_ = length_ = cursor_ = 0;
}

void MessageBuffer::ReturnHome() {
  if (storage_ == home_) return;
  Release();  // the grown block; the home block is not storage here
  storage_ = home_;
  capacity_ = home_ != nullptr ? kBufferUnit : 0;
}

bool MessageBuffer::Grow(uint64_t size) {
  if (size <= capacity_) return true;
  uint8_t* block = ObtainBlock(size, true);
  if (block == nullptr) return false;
  if (storage_ != nullptr) {
    if (length_ != 0) std::memcpy(block, storage_, length_);
    if (storage_ != home_) DropCountedBlock(storage_, capacity_);
  } else {
    Reset();
  }
  storage_ = block;
  capacity_ = size;
  return true;
}

bool MessageBuffer::Resize(uint64_t target, bool keep) {
  if (target == capacity_) return true;
  return keep ? Grow(target) : Allocate(target);
}

bool MessageBuffer::EnsureCapacity(uint64_t size, bool keep) {
  if (storage_ == nullptr) {
    // After a failed allocation the home block is still ours: use it again.
    if (home_ == nullptr) return false;
    storage_ = home_;
    capacity_ = kBufferUnit;
    Reset();
  }
  if (!keep) {
    Reset();
  } else if (size < capacity_) {
    return false;
  }
  const uint64_t target = (size + kBufferUnit - 1) / kBufferUnit * kBufferUnit;
  const bool large_size = size > kBufferUnit;
  const bool large_block = capacity_ > kBufferUnit;
  if (!large_size && large_block) {
    Release();  // frees the large block; the home block is not storage here
    storage_ = home_;
    capacity_ = kBufferUnit;
  } else if (large_size && !large_block) {
    Resize(target, keep);
  } else if (large_size && large_block) {
    // Keep a block that is at most 4095 bytes too large; shrink a larger one.
    if (size >= capacity_ || size + kBufferUnit <= capacity_) Resize(target, keep);
  }
  return storage_ != nullptr && capacity_ != 0;
}

bool MessageBuffer::Reserve(uint64_t n) {
  const uint64_t needed = length_ + n;
  if (needed < length_) return false;  // a length that wraps cannot be held
  if (storage_ != nullptr && needed <= capacity_) return true;
  // A failed grow leaves the old, too small block in place and still
  // counts as capacity: the length check is what tells.
  return EnsureCapacity(needed, true) && needed <= capacity_;
}

bool MessageBuffer::Append(const void* bytes, uint64_t n) {
  const uint64_t new_length = length_ + n;
  if (new_length < length_) return false;
  if (storage_ == nullptr || new_length > capacity_) {
    // A reply built of many small pieces would otherwise be copied whole
    // for every unit it grows by: quadratic in its size, which a client
    // picks. Doubling keeps the copies linear; when the double is more
    // than the request memory allows, the exact size may still be had.
    const uint64_t doubled = 2 * capacity_;
    if (doubled <= new_length || !Reserve(doubled - length_)) {
      if (!Reserve(n)) return false;
    }
  }
  if (n != 0) std::memcpy(storage_ + length_, bytes, n);
  length_ = new_length;
  return true;
}

}  // namespace tmb
