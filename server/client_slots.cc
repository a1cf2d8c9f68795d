#include "server/client_slots.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace tmb {

void ClientSlots::Activate(int count, int per_address) {
  std::lock_guard<std::mutex> lock(mu_);
  count_ = count < 1 ? 1 : (count > kMaxClientSlots ? kMaxClientSlots : count);
  per_address_ = per_address < 1 ? 1 : per_address;
  for (Slot& slot : slots_) slot = Slot{};
  in_use_.store(0, std::memory_order_relaxed);
  active_ = true;
}

void ClientSlots::Deactivate() {
  std::lock_guard<std::mutex> lock(mu_);
  for (Slot& slot : slots_) slot = Slot{};
  in_use_.store(0, std::memory_order_relaxed);
  active_ = false;
}

bool ClientSlots::Acquire(const char* name, uint64_t socket, uint32_t address) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!active_) return false;
  if (name[0] == '\0') return true;
  Slot* vacant = nullptr;
  int taken_by_address = 0;
  for (int i = 0; i < count_; ++i) {
    Slot& slot = slots_[i];
    if (slot.name[0] == '\0') {
      if (vacant == nullptr) vacant = &slot;
    } else if (std::strncmp(slot.name, name, kSlotNameSize) == 0) {
      ++slot.connections;
      return true;
    } else if (slot.address == address) {
      ++taken_by_address;
    }
  }
  if (vacant == nullptr || taken_by_address >= per_address_) return false;
  vacant->socket = socket;
  vacant->address = address;
  vacant->connections = 1;
  std::strncpy(vacant->name, name, kSlotNameSize - 1);
  vacant->name[kSlotNameSize - 1] = '\0';
  in_use_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void ClientSlots::Release(const char* name) {
  if (name[0] == '\0') return;
  std::lock_guard<std::mutex> lock(mu_);
  if (!active_) return;
  for (int i = 0; i < count_; ++i) {
    Slot& slot = slots_[i];
    if (slot.name[0] == '\0' || std::strncmp(slot.name, name, kSlotNameSize) != 0) continue;
    if (--slot.connections <= 0) {
      slot = Slot{};
      in_use_.fetch_sub(1, std::memory_order_relaxed);
    }
    return;  // names are unique among occupied slots
  }
}

ClientSlots& ServerSlots() {
  static ClientSlots* table = new ClientSlots;
  return *table;
}

bool AcquireSlot(const char* name, uint64_t socket) {
  // The address the connection was accepted from; a socket without one
  // (not IPv4, or already reset by its peer) counts as address 0.
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  uint32_t address = 0;
  if (getpeername(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&peer), &len) == 0 &&
      peer.sin_family == AF_INET) {
    address = ntohl(peer.sin_addr.s_addr);
  }
  return ServerSlots().Acquire(name, socket, address);
}
void ReleaseSlot(const char* name) { ServerSlots().Release(name); }
int SlotsInUse() { return ServerSlots().in_use(); }

}  // namespace tmb
