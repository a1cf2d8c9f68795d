#include "platform/ascii_case.h"

#include <cstring>

namespace tmb::platform {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool EqualsIgnoringCase(const char* a, const char* b, size_t n) {
  return EqualsIgnoringCase(std::string_view(a, strnlen(a, n)), std::string_view(b, strnlen(b, n)));
}

}  // namespace tmb::platform
