#include "locks.h"

#include <mutex>
#include <new>
#include <unordered_map>

#include "tmbio/tmbio.h"

namespace tmbio::locks {

namespace {

struct LockKey {
  FileId file;
  int64_t pos;
  bool operator==(const LockKey& o) const { return file == o.file && pos == o.pos; }
};

struct LockKeyHash {
  size_t operator()(const LockKey& k) const noexcept {
    size_t h = std::hash<uint64_t>()(static_cast<uint64_t>(k.file.ino));
    h ^= std::hash<uint64_t>()(static_cast<uint64_t>(k.file.dev)) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    h ^= std::hash<int64_t>()(k.pos) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h;
  }
};

struct Holder {
  const void* env;
  const void* via;
};

struct Table {
  std::mutex mu;
  std::unordered_map<LockKey, Holder, LockKeyHash> held;  // guarded by mu
};

// Lives until the process ends, like the object table. Built in place:
// every caller is noexcept, and an empty table needs no memory of its own.
Table& TheTable() {
  alignas(Table) static unsigned char storage[sizeof(Table)];
  static Table* const table = new (storage) Table;
  return *table;
}

template <typename Pred>
int32_t EraseIf(Pred pred) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mu);
  int32_t n = 0;
  for (auto it = t.held.begin(); it != t.held.end();) {
    if (pred(it->first, it->second)) {
      it = t.held.erase(it);
      ++n;
    } else {
      ++it;
    }
  }
  return n;
}

}  // namespace

int32_t Lock(const FileId& file, int64_t pos, const void* env, const void* via) noexcept {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mu);
  try {
    auto [it, inserted] = t.held.try_emplace(LockKey{file, pos}, Holder{env, via});
    if (!inserted && it->second.env != env) return TMBIO_LOCKED;
    return 1;
  } catch (const std::bad_alloc&) {
    return TMBIO_NO_MEMORY;
  }
}

bool LockedByOther(const FileId& file, int64_t pos, const void* env) noexcept {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mu);
  auto it = t.held.find(LockKey{file, pos});
  return it != t.held.end() && it->second.env != env;
}

int32_t Unlock(const FileId& file, int64_t pos, const void* env) noexcept {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mu);
  auto it = t.held.find(LockKey{file, pos});
  if (it == t.held.end() || it->second.env != env) return 0;
  t.held.erase(it);
  return 1;
}

int32_t UnlockFile(const FileId& file, const void* env) noexcept {
  return EraseIf([&](const LockKey& k, const Holder& h) { return k.file == file && h.env == env; });
}

int32_t UnlockVia(const void* via) noexcept {
  return EraseIf([via](const LockKey&, const Holder& h) { return h.via == via; });
}

int32_t UnlockEnvironment(const void* env) noexcept {
  return EraseIf([env](const LockKey&, const Holder& h) { return h.env == env; });
}

int32_t Count(const void* env) noexcept {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mu);
  int32_t n = 0;
  for (const auto& [key, holder] : t.held) {
    if (holder.env == env) ++n;
  }
  return n;
}

}  // namespace tmbio::locks
