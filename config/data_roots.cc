#include "config/data_roots.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "config/catalogs.h"
#include "config/hive_order.h"
#include "config/settings.h"

namespace tmb {
namespace {

std::string_view TrimBlanks(std::string_view s) {
  const size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

void AddHostFileRoots(platform::PathRoots* roots) {
  for (const std::string& root : ReadHostFileRoots()) roots->Add(root);
}

}  // namespace

std::vector<std::string> ReadHostFileRoots() {
  std::vector<std::string> roots;
  char text[kHostFileRootsSize];
  uint32_t type = 0;
  if (!ReadFirstValue(kSettingsKey, "HostFileRoots", ValueFound::kNonEmpty, &type, text,
                      sizeof text)) {
    return roots;
  }
  if (type != platform::kRegSz && type != platform::kRegExpandSz) return roots;
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t cut = rest.find(';');
    const std::string_view entry = TrimBlanks(rest.substr(0, cut));
    if (!entry.empty()) roots.emplace_back(entry);
    rest = cut == std::string_view::npos ? std::string_view{} : rest.substr(cut + 1);
  }
  return roots;
}

void AddCatalogRoots(const TMBCatalogEntry* table, int32_t count, platform::PathRoots* roots) {
  const int32_t n = count < 0 ? 0 : (count > TMBIO_MAX_CATALOGS ? TMBIO_MAX_CATALOGS : count);
  for (int32_t i = 0; i < n; ++i) {
    const TMBCatalogEntry& entry = table[i];
    // The library reads the field only up to its size, terminated or not.
    const std::string directory(entry.text1, strnlen(entry.text1, sizeof entry.text1));
    if (!directory.empty()) roots->Add(directory);
  }
}

platform::PathRoots ReadDataRoots() {
  // A whole table, as an environment gets it, so that the catalogs are read
  // by the one reader there is. calloc: its zero pages cost nothing until
  // an entry is written.
  std::unique_ptr<TMBCatalogEntry, decltype(&std::free)> table(
      static_cast<TMBCatalogEntry*>(std::calloc(TMBIO_MAX_CATALOGS, sizeof(TMBCatalogEntry))),
      &std::free);
  if (table == nullptr) throw std::bad_alloc();
  int32_t count = 0;
  char view_library[kViewLibrarySize] = {};
  ReadCatalogs(table.get(), &count, view_library);
  platform::PathRoots roots;
  AddCatalogRoots(table.get(), count, &roots);
  AddHostFileRoots(&roots);
  return roots;
}

platform::PathRoots EnvironmentDataRoots(const TMBEnvironment& env) {
  platform::PathRoots roots;
  AddCatalogRoots(env.catalogs, env.catalog_count, &roots);
  AddHostFileRoots(&roots);
  return roots;
}

}  // namespace tmb
