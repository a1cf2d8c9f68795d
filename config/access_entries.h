// Access entries as the registry holds them: values of the Security key
// named "FIRST/SECOND" after a client's two identity names (either part may
// be "*" for any name), whose data is four bracketed fields with nothing
// between them: [F][MODE][LIST1][LIST2]. Text before the first "[" is
// ignored, and so is text after the last field. What the fields grant is
// decided in secure/access_check.h; this unit finds an entry and takes it
// apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tmb {

constexpr const char* kSecurityKey = "Software\\Orlane Systems\\SQL Server\\Security";

// Room for an entry's data; longer data breaks the form.
constexpr uint32_t kAccessEntryDataSize = 1025;
// Longest MODE and list fields.
constexpr size_t kAccessModeMax = 2;
constexpr size_t kAccessListMax = 127;

// An entry's fields as written.
struct AccessEntry {
  char flag = '\0';  // F, always one character
  std::string mode;
  std::string list1;
  std::string list2;
};

// Takes apart an entry's data, `size` bytes (ending earlier at a zero byte).
// Nothing when the data breaks the form: no "[" at all, no "[" where a field
// must begin after the first, a missing "]", an F that is not one character,
// a MODE longer than kAccessModeMax or a list longer than kAccessListMax.
std::optional<AccessEntry> ParseAccessEntry(const char* data, size_t size);

// The entry that decides for a pair of identity names.
struct FoundAccessEntry {
  bool exists = false;               // false: no Security key, or no entry applies
  std::optional<AccessEntry> entry;  // nothing when the entry breaks the form
};

// Looks up the entry for the identity names (an empty one stands for "*")
// under the current user's Security key, else the machine's, trying
// FIRST/SECOND, FIRST/*, */SECOND and */* and stopping at the first that
// exists. Names are looked up whole, however long. An entry whose data does
// not fit kAccessEntryDataSize exists but breaks the form. The registry is
// read afresh on every call.
FoundAccessEntry FindAccessEntry(const char* identity1, const char* identity2);

// Room for the list of administrators; a longer list names nobody.
constexpr uint32_t kAdministratorsSize = 4096;

// The "Administrators" value of the Security key (the first hive that has
// the key, as for the entries), read afresh: its text, or nothing when the
// key or the value is missing or the value does not fit its room. Its form
// is decided in secure/rights.h.
std::optional<std::string> ReadAdministrators();

}  // namespace tmb
