#include "server/connection_limits.h"

#include <new>

namespace tmb {

void ConnectionLimits::Configure(size_t total, size_t per_address) {
  std::lock_guard<std::mutex> lock(mu_);
  total_limit_ = total;
  per_address_limit_ = per_address;
}

bool ConnectionLimits::Admit(uint32_t address) {
  std::lock_guard<std::mutex> lock(mu_);
  if (admitted_ >= total_limit_) return false;
  try {
    size_t& from_address = by_address_[address];
    if (from_address >= per_address_limit_) return false;
    ++from_address;
  } catch (const std::bad_alloc&) {
    return false;
  }
  ++admitted_;
  return true;
}

void ConnectionLimits::Leave(uint32_t address) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = by_address_.find(address);
  if (it == by_address_.end()) return;
  if (--it->second == 0) by_address_.erase(it);
  --admitted_;
}

size_t ConnectionLimits::admitted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return admitted_;
}

ConnectionLimits& ServerConnections() {
  static ConnectionLimits* limits = new ConnectionLimits;
  return *limits;
}

}  // namespace tmb
