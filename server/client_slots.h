// Client slots: one slot per distinct client name, counting that client's
// open connections. The slot count limits distinct clients, not connections.
// A slot belongs to the client address that took it, and one address may
// take only so many, so that a client sending made-up names cannot take
// every slot from the others.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace tmb {

constexpr int kMaxClientSlots = 1024;
constexpr size_t kSlotNameSize = 128;

class ClientSlots {
 public:
  // Builds `count` vacant slots (1 to kMaxClientSlots), of which one address
  // may take `per_address`, and marks the table active.
  void Activate(int count, int per_address = kMaxClientSlots);
  // Empties every slot and marks the table inactive; later acquires are
  // refused and releases do nothing.
  void Deactivate();

  // Admits a connection of `name` from `address`: joins the slot of that
  // name or takes the lowest vacant one. False when the table is inactive or
  // full, or when a new slot would pass the share of `address`. An empty
  // name is admitted without a slot: it could never be told from a vacant
  // one, and so never be given back.
  bool Acquire(const char* name, uint64_t socket, uint32_t address = 0);
  // Gives back one connection of `name`; the slot is vacant at count 0.
  void Release(const char* name);

  int in_use() const { return in_use_.load(std::memory_order_relaxed); }

 private:
  struct Slot {
    uint64_t socket = 0;
    char name[kSlotNameSize] = {};
    int32_t connections = 0;
    uint32_t address = 0;  // of the connection that took the slot
  };

  std::mutex mu_;
  bool active_ = false;
  int count_ = 0;
  int per_address_ = kMaxClientSlots;
  // Read by the status page without the lock.
  std::atomic<int32_t> in_use_{0};
  Slot slots_[kMaxClientSlots];
};

// The server's table. It is never destroyed, so sessions that outlive a stop
// can still take and release its lock.
ClientSlots& ServerSlots();

// Acquire on the server's table, for the client address of `socket`.
bool AcquireSlot(const char* name, uint64_t socket);
void ReleaseSlot(const char* name);
int SlotsInUse();

}  // namespace tmb
