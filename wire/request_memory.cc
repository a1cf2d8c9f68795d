#include "wire/request_memory.h"

#include <atomic>
#include <limits>

namespace tmb {
namespace {

std::atomic<uint64_t> g_limit{std::numeric_limits<uint64_t>::max()};
std::atomic<uint64_t> g_in_use{0};

}  // namespace

void SetRequestMemoryLimit(uint64_t bytes) { g_limit.store(bytes, std::memory_order_relaxed); }

uint64_t RequestMemoryInUse() { return g_in_use.load(std::memory_order_relaxed); }

bool TakeRequestMemory(uint64_t n) {
  const uint64_t limit = g_limit.load(std::memory_order_relaxed);
  uint64_t in_use = g_in_use.load(std::memory_order_relaxed);
  do {
    if (n > limit || in_use > limit - n) return false;
  } while (!g_in_use.compare_exchange_weak(in_use, in_use + n, std::memory_order_relaxed));
  return true;
}

void ReturnRequestMemory(uint64_t n) {
  if (n != 0) g_in_use.fetch_sub(n, std::memory_order_relaxed);
}

}  // namespace tmb
