// The catalog list and the view library, read from the registry into each
// new data-library environment right after it is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tmbio/tmbio.h"

namespace tmb {

// Capacities of the registry reads.
constexpr uint32_t kCatalogNameBufferSize = 256;   // value name, terminator included
constexpr uint32_t kCatalogDataBufferSize = 1284;  // value data
constexpr size_t kViewLibrarySize = sizeof(TMBEnvironment::view_library);

// Parses one catalog value's data, `size` bytes (the registry's count; the
// text may end earlier at a zero byte), into `entry`'s default flag and
// texts: an optional "*" then "[text1][text2][text3]". The opening brackets
// are skipped unchecked. Parsing stops at the first text that has no "]"
// before the end of the data or does not fit its field; that text and the
// ones after it are left untouched. No scan passes the end of the data.
void ParseCatalogData(const char* data, size_t size, TMBCatalogEntry* entry);

// Reads "ViewLib" into view_library (current user first; an empty value, or
// one without room for its terminator, falls through to the machine's), and
// the values of the Catalogs key of the first hive that has it into
// table[0, TMBIO_MAX_CATALOGS) in enumeration order, setting *count. The
// default value, and values whose name or data do not fit their buffers, are
// skipped. Fields nothing is read into keep what they held (the library
// hands environments out zero-filled).
void ReadCatalogs(TMBCatalogEntry* table, int32_t* count, char* view_library);

// Fills a freshly allocated environment.
inline void ReadCatalogs(TMBEnvironment* env) {
  ReadCatalogs(env->catalogs, &env->catalog_count, env->view_library);
}

}  // namespace tmb
