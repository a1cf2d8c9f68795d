#include "config/catalogs.h"

#include <cstring>
#include <optional>
#include <string_view>

#include "config/bracketed_fields.h"
#include "config/hive_order.h"
#include "config/settings.h"

namespace tmb {

void ParseCatalogData(const char* data, size_t size, TMBCatalogEntry* entry) {
  // The text ends at its terminator, or at the end of the data when a value
  // that is not of a text type has none.
  BracketedFields text(data, strnlen(data, size));
  entry->is_default = text.Take('*') ? 1 : 0;
  text.Skip();  // the opening "[", taken on trust
  struct Field {
    char* dest;
    size_t capacity;
  };
  const Field fields[] = {{entry->text1, sizeof entry->text1},
                          {entry->text2, sizeof entry->text2},
                          {entry->text3, sizeof entry->text3}};
  for (const Field& field : fields) {
    // A text is copied only when it fits with its terminator.
    const std::optional<std::string_view> value = text.Field(field.capacity - 1);
    if (!value) return;
    std::memcpy(field.dest, value->data(), value->size());
    field.dest[value->size()] = '\0';
    text.Skip();  // the next "[", taken on trust like the first
  }
}

void ReadCatalogs(TMBCatalogEntry* table, int32_t* count, char* view_library) {
  // An empty value under the current user falls through to the machine's,
  // unlike the port and the certificate, where only a missing one does.
  char value[kViewLibrarySize];
  if (ReadFirstValue(kSettingsKey, "ViewLib", ValueFound::kNonEmpty, nullptr, value, sizeof value)) {
    std::memcpy(view_library, value, sizeof value);
  }

  // The first hive that has the key is the whole list: the two are never
  // merged, so a user's empty key hides the machine's catalogs.
  platform::RegistryKey key;
  if (!OpenFirstKey(kCatalogsKey, &key)) {
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
