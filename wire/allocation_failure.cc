#include "wire/allocation_failure.h"

namespace tmb {
namespace allocation_failure_detail {

std::atomic<bool> g_armed{false};

namespace {
std::atomic<uint64_t> g_counted{0};
std::atomic<uint64_t> g_first{0};
std::atomic<uint64_t> g_last{0};  // past the last to fail
}  // namespace

bool CountAndDecide() {
  const uint64_t n = g_counted.fetch_add(1, std::memory_order_relaxed) + 1;
  return n >= g_first.load(std::memory_order_relaxed) &&
         n < g_last.load(std::memory_order_relaxed);
}

}  // namespace allocation_failure_detail

using namespace allocation_failure_detail;

void ArmAllocationFailure(uint64_t nth, uint64_t failures) {
  g_armed.store(false);
  g_counted.store(0);
  g_first.store(nth);
  // A count of failures that passes the end fails everything from nth on.
  g_last.store(failures > UINT64_MAX - nth ? UINT64_MAX : nth + failures);
  g_armed.store(true);
}

void DisarmAllocationFailure() { g_armed.store(false); }

uint64_t AllocationsCounted() { return g_counted.load(); }

}  // namespace tmb
