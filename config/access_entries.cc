#include "config/access_entries.h"

#include <cstring>
#include <string_view>

#include "config/bracketed_fields.h"
#include "config/hive_order.h"

namespace tmb {

std::optional<AccessEntry> ParseAccessEntry(const char* data, size_t size) {
  BracketedFields text(data, strnlen(data, size));
  if (!text.SkipPast('[')) return std::nullopt;  // also the empty entry
  AccessEntry entry;
  const auto flag = text.Field(1);
  if (!flag || flag->size() != 1 || !text.Take('[')) return std::nullopt;
  entry.flag = flag->front();
  const auto mode = text.Field(kAccessModeMax);
  if (!mode || !text.Take('[')) return std::nullopt;
  entry.mode = *mode;
  const auto list1 = text.Field(kAccessListMax);
  if (!list1 || !text.Take('[')) return std::nullopt;
  entry.list1 = *list1;
  const auto list2 = text.Field(kAccessListMax);
  if (!list2) return std::nullopt;
  entry.list2 = *list2;
  return entry;
}

FoundAccessEntry FindAccessEntry(const char* identity1, const char* identity2) {
  const std::string first = identity1[0] != '\0' ? identity1 : "*";
  const std::string second = identity2[0] != '\0' ? identity2 : "*";

  platform::RegistryKey key;
  if (!OpenFirstKey(kSecurityKey, &key)) return {};

  // From the most specific entry to the most general; the first that exists
  // decides, even when it denies and a more general one would allow.
  const std::string candidates[] = {first + "/" + second, first + "/*", "*/" + second, "*/*"};
  for (const std::string& name : candidates) {
    char data[kAccessEntryDataSize] = {};
    uint32_t size = sizeof data;
    const long rc = key.QueryValue(name.c_str(), nullptr, data, &size);
    // An entry too long for its room exists but breaks the form: it allows
    // nothing rather than letting a more general entry decide.
    if (rc == platform::kErrorMoreData) return {true, std::nullopt};
    if (rc != platform::kErrorSuccess) continue;
    return {true, ParseAccessEntry(data, size < sizeof data ? size : sizeof data)};
  }
  return {};
}

std::optional<std::string> ReadAdministrators() {
  platform::RegistryKey key;
  if (!OpenFirstKey(kSecurityKey, &key)) return std::nullopt;
  std::string data(kAdministratorsSize, '\0');
  uint32_t size = kAdministratorsSize;
  if (key.QueryValue("Administrators", nullptr, data.data(), &size) != platform::kErrorSuccess) {
    return std::nullopt;
  }
  data.resize(strnlen(data.data(), size < kAdministratorsSize ? size : kAdministratorsSize));
  return data;
}

}  // namespace tmb
