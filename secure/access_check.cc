#include "secure/access_check.h"

#include <string_view>

#include "platform/ascii_case.h"

namespace tmb {
namespace {

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

bool GrantsWriting(std::string_view mode) { return platform::StartsWithIgnoringCase(mode, "rw"); }

}  // namespace

int32_t GrantedAccess(const std::optional<AccessEntry>& entry, const char* resource1,
                      const char* resource2) {
  if (!entry || platform::FoldAscii(entry->flag) == 'd') return 0;
  const bool write = GrantsWriting(entry->mode);
  int32_t result = 0;
  if (ListAllows(entry->list1, resource1)) result |= kAccessFirst | (write ? kAccessFirstWrite : 0);
  if (ListAllows(entry->list2, resource2)) result |= kAccessSecond | (write ? kAccessSecondWrite : 0);
  return result;
}

int32_t EvaluateAccessEntry(const char* data, size_t size, const char* resource1,
                            const char* resource2) {
  return GrantedAccess(ParseAccessEntry(data, size), resource1, resource2);
}

int32_t CheckAccess(const char* identity1, const char* identity2, const char* /*unused*/,
                    const char* resource1, const char* resource2) {
  const FoundAccessEntry found = FindAccessEntry(identity1, identity2);
  if (!found.exists) return kAccessNoEntry;
  return GrantedAccess(found.entry, resource1, resource2);
}

}  // namespace tmb
