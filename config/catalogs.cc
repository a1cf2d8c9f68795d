#include "config/catalogs.h"

#include <cstring>

#include "config/settings.h"
#include "platform/registry.h"

namespace tmb {
namespace {

using platform::Hive;
using platform::RegistryKey;

// Copies data[begin, next "]") into dest when it fits with its terminator.
// Returns the position of that "]", or `end` when there is none before the
// end of the text or the field is too small.
size_t TakeBracketedText(const char* data, size_t begin, size_t end, char* dest, size_t capacity) {
  if (begin >= end) return end;
  const void* close = std::memchr(data + begin, ']', end - begin);
  if (close == nullptr) return end;
  const size_t length = static_cast<size_t>(static_cast<const char*>(close) - (data + begin));
  if (length >= capacity) return end;
  std::memcpy(dest, data + begin, length);
  dest[length] = '\0';
  return begin + length;
}

// Reads "ViewLib" of `hive` into view_library. False when the key or the
// value is missing or the value does not fit the field with a terminator.
bool ReadViewLibraryFrom(Hive hive, char* view_library) {
  RegistryKey key;
  if (key.Open(hive, kSettingsKey) != platform::kErrorSuccess) return false;
  char value[kViewLibrarySize] = {};
  uint32_t size = sizeof value;
  if (key.QueryValue("ViewLib", nullptr, value, &size) != platform::kErrorSuccess) return false;
  // The value's type is not checked, so its data need not carry a
  // terminator: a field filled to the last byte has no room for one.
  if (size >= sizeof value && value[sizeof value - 1] != '\0') return false;
  std::memcpy(view_library, value, sizeof value);
  return true;
}

}  // namespace

void ParseCatalogData(const char* data, size_t size, TMBCatalogEntry* entry) {
  // The text ends at its terminator, or at the end of the data when a value
  // that is not of a text type has none.
  const size_t end = strnlen(data, size);
  size_t pos = 0;
  entry->is_default = 0;
  if (end > 0 && data[0] == '*') {
    entry->is_default = 1;
    pos = 1;
  }
  ++pos;  // the opening "[", taken on trust
  struct Field {
    char* dest;
    size_t capacity;
  };
  const Field fields[] = {{entry->text1, sizeof entry->text1},
                          {entry->text2, sizeof entry->text2},
                          {entry->text3, sizeof entry->text3}};
  for (const Field& field : fields) {
    const size_t close = TakeBracketedText(data, pos, end, field.dest, field.capacity);
    if (close >= end) return;
    pos = close + 2;  // past this "]" and the next "["
  }
}

void ReadCatalogs(TMBCatalogEntry* table, int32_t* count, char* view_library) {
  // An empty value under the current user falls through to the machine's,
  // unlike the port and the certificate, where only a missing one does.
  ReadViewLibraryFrom(Hive::kCurrentUser, view_library);
  if (view_library[0] == '\0') ReadViewLibraryFrom(Hive::kLocalMachine, view_library);

  // The first hive that has the key is the whole list: the two are never
  // merged, so a user's empty key hides the machine's catalogs.
  RegistryKey key;
  if (key.Open(Hive::kCurrentUser, kCatalogsKey) != platform::kErrorSuccess &&
      key.Open(Hive::kLocalMachine, kCatalogsKey) != platform::kErrorSuccess) {
    *count = 0;
    return;
  }
  int32_t filled = 0;
  for (uint32_t index = 0; filled < TMBIO_MAX_CATALOGS; ++index) {
    char name[kCatalogNameBufferSize];
    uint32_t name_size = sizeof name;
    char data[kCatalogDataBufferSize];
    uint32_t data_size = sizeof data;
    const long rc = key.EnumValue(index, name, &name_size, nullptr, data, &data_size);
    if (rc == platform::kErrorMoreData) continue;  // name or data too long: skipped
    if (rc != platform::kErrorSuccess) break;      // no more values
    if (name_size == 0 || name_size >= sizeof name) continue;  // the default value
    TMBCatalogEntry& entry = table[filled++];
    std::memcpy(entry.name, name, name_size);
    entry.name[name_size] = '\0';
    ParseCatalogData(data, data_size < sizeof data ? data_size : sizeof data, &entry);
  }
  *count = filled;
}

}  // namespace tmb
