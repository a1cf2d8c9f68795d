#include "secure/access_check.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace tmb {
namespace {

using platform::Hive;
using platform::RegistryKey;

// The entry's fields, in a text that ends at `end`.
class EntryReader {
 public:
  EntryReader(const char* data, size_t end) : data_(data), end_(end) {}

  // The field that starts at the cursor (just past its "[") and runs to the
  // next "]" within `max` characters; the cursor then moves past that "]"
  // and, unless `last`, past the "[" that must follow it.
  std::optional<std::string_view> Field(size_t max, bool last) {
    if (pos_ > end_) return std::nullopt;
    const void* close = std::memchr(data_ + pos_, ']', end_ - pos_);
    if (close == nullptr) return std::nullopt;
    const size_t length = static_cast<size_t>(static_cast<const char*>(close) - (data_ + pos_));
    if (length > max) return std::nullopt;
    const std::string_view field(data_ + pos_, length);
    pos_ += length + 1;
    if (!last) {
      if (pos_ >= end_ || data_[pos_] != '[') return std::nullopt;
      ++pos_;
    }
    return field;
  }

  void set_pos(size_t pos) { pos_ = pos; }

 private:
  const char* data_;
  size_t end_;
  size_t pos_ = 0;
};

bool ListAllows(std::string_view list, std::string_view name) {
  if (name.empty()) return false;
  if (list.find('*') != std::string_view::npos) return true;
  if (!list.empty() && list.front() == ';') list.remove_prefix(1);
  for (;;) {
    const size_t semicolon = list.find(';');
    if (list.substr(0, semicolon) == name) return true;
    if (semicolon == std::string_view::npos) return false;
    list.remove_prefix(semicolon + 1);
  }
}

bool GrantsWriting(std::string_view mode) {
  return mode.size() >= 2 && (mode[0] == 'R' || mode[0] == 'r') && (mode[1] == 'W' || mode[1] == 'w');
}

// Opens the Security key of the first hive that has it.
bool OpenSecurityKey(RegistryKey* key) {
  return key->Open(Hive::kCurrentUser, kSecurityKey) == platform::kErrorSuccess ||
         key->Open(Hive::kLocalMachine, kSecurityKey) == platform::kErrorSuccess;
}

}  // namespace

int32_t EvaluateAccessEntry(const char* data, size_t size, const char* resource1,
                            const char* resource2) {
  const size_t end = strnlen(data, size);
  const void* open = std::memchr(data, '[', end);
  if (open == nullptr) return 0;  // also the empty entry
  const size_t f = static_cast<size_t>(static_cast<const char*>(open) - data) + 1;
  if (f < end && (data[f] == 'D' || data[f] == 'd')) return 0;

  EntryReader reader(data, end);
  reader.set_pos(f);
  const auto flag = reader.Field(1, false);
  if (!flag || flag->size() != 1) return 0;
  const auto mode = reader.Field(kAccessModeMax, false);
  if (!mode) return 0;
  const auto list1 = reader.Field(kAccessListMax, false);
  if (!list1) return 0;
  const auto list2 = reader.Field(kAccessListMax, true);
  if (!list2) return 0;

  const bool write = GrantsWriting(*mode);
  int32_t result = 0;
  if (ListAllows(*list1, resource1)) result |= kAccessFirst | (write ? kAccessFirstWrite : 0);
  if (ListAllows(*list2, resource2)) result |= kAccessSecond | (write ? kAccessSecondWrite : 0);
  return result;
}

int32_t CheckAccess(const char* identity1, const char* identity2, const char* /*unused*/,
                    const char* resource1, const char* resource2) {
  const std::string first = identity1[0] != '\0' ? identity1 : "*";
  const std::string second = identity2[0] != '\0' ? identity2 : "*";

  RegistryKey key;
  if (!OpenSecurityKey(&key)) return kAccessNoEntry;

  // From the most specific entry to the most general; the first that exists
  // decides, even when it denies and a more general one would allow.
  const std::string candidates[] = {first + "/" + second, first + "/*", "*/" + second, "*/*"};
  for (const std::string& name : candidates) {
    char data[kAccessEntryDataSize] = {};
    uint32_t size = sizeof data;
    const long rc = key.QueryValue(name.c_str(), nullptr, data, &size);
    // An entry too long for its room exists but breaks the form: it allows
    // nothing rather than letting a more general entry decide.
    if (rc == platform::kErrorMoreData) return 0;
    if (rc != platform::kErrorSuccess) continue;
    return EvaluateAccessEntry(data, size < sizeof data ? size : sizeof data, resource1, resource2);
  }
  return kAccessNoEntry;
}

}  // namespace tmb
