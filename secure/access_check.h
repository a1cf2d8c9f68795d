// The access check: what a client's two identity names may do with its two
// resource names, as access entries under the Security key say. The registry
// is read afresh on every call, so a changed entry counts from the next
// check on; the check keeps no state and may run on many threads at once.
//
// The entries' names, form and lookup: config/access_entries.h. Here is what
// an entry grants: F "D" or "d" denies; MODE "RW" in any case grants writing;
// each list is names separated by ";" (one leading ";" allowed) or a text
// with "*" for every name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "config/access_entries.h"

namespace tmb {

// Results. Non-negative results are a combination of the bits.
constexpr int32_t kAccessNoEntry = -3;     // no Security key, or no entry applies
constexpr int32_t kAccessFirst = 0x001;    // the first resource name is allowed
constexpr int32_t kAccessFirstWrite = 0x002;
constexpr int32_t kAccessSecond = 0x100;   // the second resource name is allowed
constexpr int32_t kAccessSecondWrite = 0x200;

// Looks up the entry for the identity names (config/access_entries.h) and
// evaluates it for the two resource names (an empty one is never allowed).
// `unused` is what the client sends between them; it is not looked at.
int32_t CheckAccess(const char* identity1, const char* identity2, const char* unused,
                    const char* resource1, const char* resource2);

// What an entry grants the two resource names; an entry that breaks the form
// (nothing) allows nothing: 0.
int32_t GrantedAccess(const std::optional<AccessEntry>& entry, const char* resource1,
                      const char* resource2);

// Evaluates an entry's data, `size` bytes (ending earlier at a zero byte):
// GrantedAccess of what ParseAccessEntry makes of it.
int32_t EvaluateAccessEntry(const char* data, size_t size, const char* resource1,
                            const char* resource2);

}  // namespace tmb
