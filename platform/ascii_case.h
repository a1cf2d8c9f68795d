// Case-insensitive compares of names as Windows makes them for file names,
// profile sections and keys, and the fixed words of its file formats: only
// the ASCII letters fold (A to Z match a to z); every other byte, those
// above 0x7F included, matches only itself, whatever the locale.
#pragma once

#include <cstddef>
#include <string_view>

namespace tmb::platform {

constexpr char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b);

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix);

// The texts at a and b, each ending at its NUL or after n bytes, whichever
// comes first (as strncasecmp compares them): for fixed fields that need not
// hold a terminator.
bool EqualsIgnoringCase(const char* a, const char* b, size_t n);

}  // namespace tmb::platform
