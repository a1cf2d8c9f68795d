#include "config/hive_order.h"

#include <cstring>

namespace tmb {
namespace {

using platform::Hive;
using platform::RegistryKey;

constexpr Hive kHiveOrder[] = {Hive::kCurrentUser, Hive::kLocalMachine};

// Whether the value just read into data[0, size), `got` bytes long, is the
// answer; when it is, the value ends with a terminator within the room.
bool IsAnswer(ValueFound found, char* data, uint32_t size, uint32_t got) {
  if (got < size) {
    data[got] = '\0';
  } else if (found == ValueFound::kHeld) {
    data[size - 1] = '\0';
  } else if (data[size - 1] != '\0') {
    return false;
  }
  return found == ValueFound::kHeld || data[0] != '\0';
}

}  // namespace

bool OpenFirstKey(std::string_view path, RegistryKey* key) {
  for (Hive hive : kHiveOrder) {
    if (key->Open(hive, path) == platform::kErrorSuccess) return true;
  }
  return false;
}

bool ReadFirstValue(std::string_view path, const char* name, ValueFound found, uint32_t* type,
                    char* data, uint32_t size) {
  for (Hive hive : kHiveOrder) {
    // Each hive reads into a clean room, so that nothing of a value that was
    // not the answer lingers after the one that is.
    std::memset(data, 0, size);
    RegistryKey key;
    if (key.Open(hive, path) != platform::kErrorSuccess) continue;
    uint32_t got = size;
    if (key.QueryValue(name, type, data, &got) != platform::kErrorSuccess) continue;
    if (IsAnswer(found, data, size, got)) return true;
  }
  std::memset(data, 0, size);
  return false;
}

}  // namespace tmb
