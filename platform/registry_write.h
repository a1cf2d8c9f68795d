// Changes to a hive, as service installation makes them (RegCreateKeyExA,
// RegSetValueExA, RegDeleteTree). Each call edits the hive file's text in
// place of the lines it concerns, so comments, the spelling of names and
// every other key stay as they were, and then replaces the file atomically
// (a new file renamed over it) while holding an exclusive lock on
// "<hive file>.lock", so that two writers never lose each other's change and
// a reader never sees half a file.
//
// A file in UTF-16LE is written back as UTF-8 with its byte-order mark. A
// missing file is created with the 5.00 header. Text values made only of
// printable ASCII are written as "Name"="text"; any other value as hex(N)
// bytes (UTF-16LE texts in a 5.00 file, as the registry editor writes them).
//
// Results are Windows error codes: kErrorSuccess; kErrorFileNotFound for a
// key that is not there; kErrorInvalidParameter for an empty key path;
// kErrorAccessDenied when the hive file, its lock or its new copy cannot be
// written.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/registry.h"

namespace tmb::platform {

constexpr long kErrorAccessDenied = 5;

// Creates `path` under `hive` unless it exists (success either way).
long CreateRegistryKey(Hive hive, std::string_view path);

// Sets one value of `path` (the key is created when missing). `name` "" is
// the default value. `data` holds `size` bytes, text types with their
// terminators as RegSetValueExA takes them.
long SetRegistryValue(Hive hive, std::string_view path, std::string_view name, uint32_t type,
                      const void* data, uint32_t size);

// Removes `path` with every key and value below it.
long DeleteRegistryKey(Hive hive, std::string_view path);

}  // namespace tmb::platform
