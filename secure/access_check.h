// The access check: what a client's two identity names may do with its two
// resource names, as access entries under the Security key say. The registry
// is read afresh on every call, so a changed entry counts from the next
// check on; the check keeps no state and may run on many threads at once.
//
// An access entry is a value of the Security key named "FIRST/SECOND"
// (either part may be "*" for any name) whose data is four bracketed fields
// with nothing between them: [F][MODE][LIST1][LIST2]. F "D" or "d" denies;
// MODE "RW" in any case grants writing; each list is names separated by ";"
// (one leading ";" allowed) or a text with "*" for every name. Text before
// the first "[" is ignored, and so is text after the last field.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tmb {

constexpr const char* kSecurityKey = "Software\\Orlane Systems\\SQL Server\\Security";

// Results. Non-negative results are a combination of the bits.
constexpr int32_t kAccessNoEntry = -3;     // no Security key, or no entry applies
constexpr int32_t kAccessFirst = 0x001;    // the first resource name is allowed
constexpr int32_t kAccessFirstWrite = 0x002;
constexpr int32_t kAccessSecond = 0x100;   // the second resource name is allowed
constexpr int32_t kAccessSecondWrite = 0x200;

// Room for an entry's data; longer data breaks the form.
constexpr uint32_t kAccessEntryDataSize = 1025;
// Longest MODE and list fields.
constexpr size_t kAccessModeMax = 2;
constexpr size_t kAccessListMax = 127;

// Looks up the entry for the identity names (an empty one stands for "*")
// under the current user's Security key, else the machine's, trying
// FIRST/SECOND, FIRST/*, */SECOND and */* and stopping at the first that
// exists, and evaluates it for the two resource names (an empty one is never
// allowed). `unused` is what the client sends between them; it is not
// looked at. Names are looked up whole, however long.
int32_t CheckAccess(const char* identity1, const char* identity2, const char* unused,
                    const char* resource1, const char* resource2);

// Evaluates an entry's data, `size` bytes (ending earlier at a zero byte).
// Data that breaks the form (no "[" after the first one where a field must
// begin, a missing "]", a MODE longer than 2 or a list longer than 127
// characters) allows nothing: 0.
int32_t EvaluateAccessEntry(const char* data, size_t size, const char* resource1,
                            const char* resource2);

}  // namespace tmb
