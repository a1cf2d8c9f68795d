// Zero-filled temporary memory for one request. Exhaustion throws
// RequestAbandoned, which abandons the request and ends the connection.
#pragma once

#include <cstdint>
#include <memory>
#include <new>

#include "wire/allocation_failure.h"
#include "wire/errors.h"

namespace tmb {

inline std::unique_ptr<uint8_t[]> UnwindingAlloc(uint64_t n) {
  uint8_t* block = AllocationFails() ? nullptr : new (std::nothrow) uint8_t[n]();
  if (block == nullptr) throw RequestAbandoned();
  return std::unique_ptr<uint8_t[]>(block);
}

}  // namespace tmb
