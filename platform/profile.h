// Profile (initialisation) files, read with the rules of
// GetPrivateProfileStringA:
//
//   [section]
//   key=value
//
// Section and key names match without regard to case; names and values are
// trimmed of blanks; a value enclosed in matching single or double quotation
// marks loses them; lines starting with ';' are comments; lines without '='
// and lines before the first section are skipped. When a section name comes
// twice, its keys are looked for in each in turn, and listed once each.
//
// The file is read afresh on every call. A missing or unreadable file, or one
// that is not a regular file, reads as empty; only its first 16 MiB are read.
// A relative file name is taken from the current directory (there is no
// Windows directory to look in). Held to roots (platform/path_roots.h), a
// file that leads outside them reads as a missing one.
#pragma once

#include <cstdint>

#include "platform/path_roots.h"

namespace tmb::platform {

// As GetPrivateProfileStringA. `section` null lists the section names, `key`
// null the key names of the section: each name followed by a NUL, the list
// by a second NUL. Otherwise the key's value, or `default_text` (null: "")
// without its trailing blanks when the key is absent. The result never
// overruns buffer[0, size) and is always terminated within it:
// - a value that does not fit is cut to size - 1 characters and the result
//   is size - 1;
// - a list that does not fit is cut to size - 2 characters, ended with two
//   NULs, and the result is size - 2;
// - otherwise the result counts the characters copied without the final NUL
//   (for a list, the names and their NULs).
uint32_t GetPrivateProfileString(const char* section, const char* key, const char* default_text,
                                 char* buffer, uint32_t size, const char* file_name,
                                 const PathRoots* roots = nullptr);

}  // namespace tmb::platform
