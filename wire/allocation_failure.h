// The test seam of request memory: every allocation whose failure abandons
// a request (UnwindingAlloc and so scratch blocks, message-buffer blocks,
// the read buffers of open files) asks AllocationFails() first. Tests arm it
// to count those allocations and to fail chosen ones as if memory had run
// out; disarmed, the question costs one relaxed atomic load.
//
// The count is process-wide: while it is armed, allocations on every thread
// count, so a test arms it only while the one connection it watches works.
#pragma once

#include <atomic>
#include <cstdint>

namespace tmb {

namespace allocation_failure_detail {
extern std::atomic<bool> g_armed;
bool CountAndDecide();
}  // namespace allocation_failure_detail

// True when this allocation is to fail.
inline bool AllocationFails() {
  return allocation_failure_detail::g_armed.load(std::memory_order_relaxed) &&
         allocation_failure_detail::CountAndDecide();
}

// Counts allocations from now on, from 1, and fails those numbered `nth` to
// nth + failures - 1: with the largest count, every one from nth on, as
// memory that stays short. ArmAllocationFailure(0, 0) only counts.
void ArmAllocationFailure(uint64_t nth, uint64_t failures = 1);
// Stops counting and failing; the count stays readable.
void DisarmAllocationFailure();
// Allocations counted since the seam was last armed.
uint64_t AllocationsCounted();

}  // namespace tmb
