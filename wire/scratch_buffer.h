// Zero-filled temporary memory for one request or one frame: a local array
// of N bytes when the size asked for fits it, so that the common small case
// costs no allocation, else a block of its own from UnwindingAlloc, whose
// exhaustion abandons the request. ScratchBuffer<0> always takes a block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "wire/unwinding_alloc.h"

namespace tmb {

template <size_t N>
class ScratchBuffer {
 public:
  // Room for at least `size` bytes, all zero. Never null, even for size 0:
  // some callers pass the address on as "a buffer was given".
  explicit ScratchBuffer(uint64_t size) {
    if (N == 0 || size > N) {
      block_ = UnwindingAlloc(size);
      data_ = block_.get();
      capacity_ = size;
    }
  }
  // data() may point into the object itself.
  ScratchBuffer(const ScratchBuffer&) = delete;
  ScratchBuffer& operator=(const ScratchBuffer&) = delete;

  uint8_t* data() { return data_; }
  // N for the local array, else the size asked for.
  uint64_t capacity() const { return capacity_; }

 private:
  std::array<uint8_t, N> local_{};
  std::unique_ptr<uint8_t[]> block_;
  uint8_t* data_ = local_.data();
  uint64_t capacity_ = N;
};

}  // namespace tmb
