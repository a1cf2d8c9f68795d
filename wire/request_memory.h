// The memory that requests hold at once, counted for the whole process: the
// grown blocks of message buffers and the coded bodies of frames on their
// way in. A request that would take the count past its limit is refused
// (the frame reader closes its connection; a reply that cannot grow
// abandons its request), so that many connections together can never ask
// the process for more than the limit, however little each sends.
#pragma once

#include <cstdint>

namespace tmb {

// Without a limit until the server sets one; the client library never does.
void SetRequestMemoryLimit(uint64_t bytes);
uint64_t RequestMemoryInUse();

// Counts `n` more bytes as held. False, counting nothing, when that would
// pass the limit.
bool TakeRequestMemory(uint64_t n);
void ReturnRequestMemory(uint64_t n);

// Bytes counted for as long as the hold lives.
class RequestMemoryHold {
 public:
  RequestMemoryHold() = default;
  RequestMemoryHold(const RequestMemoryHold&) = delete;
  RequestMemoryHold& operator=(const RequestMemoryHold&) = delete;
  ~RequestMemoryHold() { ReturnRequestMemory(held_); }

  bool Take(uint64_t n) {
    if (!TakeRequestMemory(n)) return false;
    held_ += n;
    return true;
  }

 private:
  uint64_t held_ = 0;
};

}  // namespace tmb
