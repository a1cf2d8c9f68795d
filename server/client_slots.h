// Client slots: one slot per distinct client name, counting that client's
// open connections. The slot count limits distinct clients, not connections.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace tmb {

constexpr int kMaxClientSlots = 1024;
constexpr size_t kSlotNameSize = 128;

class ClientSlots {
 public:
  // Builds `count` vacant slots (1 to kMaxClientSlots) and marks the table
  // active.
  void Activate(int count);
  // Empties every slot and marks the table inactive; later acquires are
  // refused and releases do nothing.
  void Deactivate();

  // Admits a connection of `name`: joins the slot of that name or takes the
  // lowest vacant one. False when the table is inactive or full. An empty
  // name is admitted without a slot: it could never be told from a vacant
  // one, and so never be given back.
  bool Acquire(const char* name, uint64_t socket);
  // Gives back one connection of `name`; the slot is vacant at count 0.
  void Release(const char* name);

  int in_use() const { return in_use_.load(std::memory_order_relaxed); }

 private:
  struct Slot {
    uint64_t socket = 0;
    char name[kSlotNameSize] = {};
    int32_t connections = 0;
  };

  std::mutex mu_;
  bool active_ = false;
  int count_ = 0;
  // Read by the status page without the lock.
  std::atomic<int32_t> in_use_{0};
  Slot slots_[kMaxClientSlots];
};

// The server's table. It is never destroyed, so sessions that outlive a stop
// can still take and release its lock.
ClientSlots& ServerSlots();

bool AcquireSlot(const char* name, uint64_t socket);
void ReleaseSlot(const char* name);
int SlotsInUse();

}  // namespace tmb
