#include "secure/rights.h"

#include <climits>
#include <cstdlib>

#include "config/access_entries.h"
#include "config/settings.h"
#include "platform/ascii_case.h"
#include "secure/access_check.h"

namespace tmb {
namespace {

// The data library's open mode bits (tmbio/tmbio.h; this layer does not
// include the library).
constexpr int32_t kOpenReadOnly = 0x1;
constexpr int32_t kOpenExclusive = 0x2;

bool Names(std::string_view catalog, const std::string& resource) {
  return !resource.empty() && platform::EqualsIgnoringCase(catalog, resource);
}

bool Allows(const ConnectionRights& rights, std::string_view catalog, int32_t first,
            int32_t second) {
  return ((rights.granted & first) != 0 && Names(catalog, rights.resource1)) ||
         ((rights.granted & second) != 0 && Names(catalog, rights.resource2));
}

std::string Resolved(const char* path) {
  char* real = realpath(path, nullptr);
  if (real == nullptr) return std::string();
  std::string result(real);
  std::free(real);
  return result;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool PartNames(std::string_view part, std::string_view name) {
  return part == "*" || (!name.empty() && platform::EqualsIgnoringCase(part, name));
}

}  // namespace

bool AccessEnforced() {
  static const bool enforced = ReadEnforceAccess();
  return enforced;
}

void EarnRights(ConnectionRights* rights, const char* identity1, const char* identity2,
                const char* resource1, const char* resource2, int32_t check) {
  rights->identified = true;
  rights->identity1 = identity1;
  rights->identity2 = identity2;
  rights->resource1 = resource1;
  rights->resource2 = resource2;
  rights->granted = check > 0 ? check : 0;
}

void DropRights(ConnectionRights* rights) {
  rights->identified = false;
  rights->identity1.clear();
  rights->identity2.clear();
  rights->resource1.clear();
  rights->resource2.clear();
  rights->granted = 0;
}

bool MayReadCatalog(const ConnectionRights& rights, std::string_view catalog) {
  return Allows(rights, catalog, kAccessFirst, kAccessSecond);
}

bool MayWriteCatalog(const ConnectionRights& rights, std::string_view catalog) {
  return Allows(rights, catalog, kAccessFirstWrite, kAccessSecondWrite);
}

bool MayRead(const ConnectionRights& rights, std::span<const std::string> catalogs) {
  for (const std::string& catalog : catalogs) {
    if (MayReadCatalog(rights, catalog)) return true;
  }
  return false;
}

bool MayWrite(const ConnectionRights& rights, std::span<const std::string> catalogs) {
  for (const std::string& catalog : catalogs) {
    if (MayWriteCatalog(rights, catalog)) return true;
  }
  return false;
}

bool OpenNeedsWrite(int32_t mode) {
  return (mode & kOpenReadOnly) == 0 || (mode & kOpenExclusive) != 0;
}

std::string LibraryPath(std::string_view data_dir, std::string_view name) {
  std::string path = !name.empty() && name.front() == '/'
                         ? std::string(name)
                         : std::string(data_dir) + "/" + std::string(name);
  if (path.size() < 4 || !platform::EqualsIgnoringCase(std::string_view(path).substr(path.size() - 4), ".tmb")) {
    path += ".tmb";
  }
  return path;
}

std::string ResolvedDirectory(const std::string& directory) {
  return Resolved(directory.empty() ? "." : directory.c_str());
}

std::string HoldingDirectory(const std::string& path) {
  // The file itself first: a link in one catalog's directory to a file in
  // another's belongs to the other. A file that does not exist (yet) is
  // judged by the directory it would be in.
  std::string file = Resolved(path.c_str());
  if (file.empty()) file = path;
  const size_t slash = file.find_last_of('/');
  if (slash == std::string::npos) return ResolvedDirectory(".");
  return ResolvedDirectory(slash == 0 ? "/" : file.substr(0, slash));
}

std::vector<std::string> CatalogsAt(std::string_view resolved,
                                    std::span<const CatalogDirectory> catalogs) {
  std::vector<std::string> names;
  if (resolved.empty()) return names;
  for (const CatalogDirectory& catalog : catalogs) {
    if (catalog.directory.empty()) continue;  // no data directory: holds nothing
    if (ResolvedDirectory(catalog.directory) == resolved) names.push_back(catalog.name);
  }
  return names;
}

bool NamesAdministrator(std::string_view list, std::string_view identity1,
                        std::string_view identity2) {
  for (;;) {
    const size_t semicolon = list.find(';');
    const std::string_view item = Trimmed(list.substr(0, semicolon));
    const size_t slash = item.find('/');
    if (slash != std::string_view::npos && PartNames(item.substr(0, slash), identity1) &&
        PartNames(item.substr(slash + 1), identity2)) {
      return true;
    }
    if (semicolon == std::string_view::npos) return false;
    list.remove_prefix(semicolon + 1);
  }
}

bool IsAdministrator(const ConnectionRights& rights) {
  if (!rights.identified) return false;
  const auto list = ReadAdministrators();
  return list && NamesAdministrator(*list, rights.identity1, rights.identity2);
}

int16_t CappedLockWait(int16_t tenths, int32_t max_ms) {
  const int32_t cap = (max_ms < 0 ? 0 : max_ms) / 100;
  if (tenths < 0 || tenths <= cap) return tenths;
  return static_cast<int16_t>(cap > SHRT_MAX ? SHRT_MAX : cap);
}

}  // namespace tmb
