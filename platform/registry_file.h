// The hive file reader behind platform/registry.h: turns the bytes of one
// registry editor export into a tree of keys, and says what it had to skip.
//
// Encodings. A file that starts with FF FE is UTF-16LE (what the registry
// editor writes). A file that starts with EF BB BF is UTF-8. Any other file is
// UTF-8 when all of it is valid UTF-8 and it holds at least one multi-byte
// sequence (what a Linux editor writes), else Windows-1252. Everything is
// turned into Windows-1252, the code page of the callers; characters it lacks
// become '?'. Lines end in LF or CR LF.
//
// Format. The first line is "Windows Registry Editor Version 5.00" or
// "REGEDIT4"; without it the file is not read at all, since the meaning of
// hex(1), hex(2) and hex(7) data depends on it (UTF-16LE in 5.00, 8-bit in
// REGEDIT4). Then sections "[ROOT\key\key]", ROOT being HKEY_CURRENT_USER,
// HKCU, HKEY_LOCAL_MACHINE or HKLM, each followed by its values:
//   "Name"="text"        REG_SZ; \\ and \" are the only escapes
//   @="text"             the default value ("" as a name means it too)
//   "Name"=dword:1a2b    REG_DWORD, 1 to 8 hex digits
//   "Name"=hex:01,02     REG_BINARY
//   "Name"=hex(N):01,02  type N (hexadecimal), e.g. hex(2) REG_EXPAND_SZ,
//                        hex(7) REG_MULTI_SZ, hex(b) REG_QWORD
// A value line ending in "\" goes on in the next line. Lines starting with ';'
// are comments; blank lines are ignored.
//
// Faults. A line that breaks these rules is skipped whole and reported as
// "<file>:<line>: <what is wrong>". Values after a section header that cannot
// be taken (malformed, another hive, a deletion "[-...]") are ignored with it,
// so that they never land in the key above. Deletions ("Name"=-) are reported
// and skipped: a hive file only states what exists.
//
// Meaning. A value set twice in a key keeps the data of its last line and the
// place of its first one (enumeration follows the file). A section may appear
// several times; its values add up. Every key above a section exists.
// Text values (types 1, 2, 7) always end in their terminators: missing ones
// are added, so no caller reads a text that does not end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/registry.h"

namespace tmb::platform::regfile {

// Limits of the Windows registry, kept so that a hostile file cannot make a
// tree that costs more than its own size: names longer than these are
// reported as malformed.
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxKeyDepth = 512;
constexpr size_t kMaxValueNameLength = 16383;

struct Value {
  std::string name;  // as written, Windows-1252; "" for the default value
  uint32_t type = kRegNone;
  std::string data;  // the bytes callers get
};

struct Key {
  std::vector<Value> values;                           // file order
  std::unordered_map<std::string, size_t> by_name;     // folded name -> index
  std::map<std::string, std::unique_ptr<Key>> subkeys; // folded name -> key

  // The value named `name` (any letter case), or null.
  const Value* FindValue(std::string_view name) const;
  // Sets a value; a name already there keeps its place and takes the new data.
  void SetValue(Value value);
};

struct ParsedHive {
  Key root;
  std::vector<std::string> diagnostics;  // "<file>:<line>: <what>", file order
};

// Reads the text of one hive file. `hive` is the hive the file holds;
// sections of the other one are reported and ignored. `file_name` only
// appears in the diagnostics.
ParsedHive ParseHive(std::string_view bytes, std::string_view file_name, Hive hive);

// The key at `path` (backslash-separated, any letter case; one trailing
// backslash is allowed, "" is the root), or null.
const Key* FindKey(const Key& root, std::string_view path);

// The UTF-16 code unit of one Windows-1252 byte (the five bytes the code
// page leaves undefined map to the C1 control of the same number, as on
// Windows).
char16_t Windows1252ToUtf16(unsigned char c);

// Lower-cases ASCII and Windows-1252 letters: the comparison of key and
// value names.
std::string FoldCase(std::string_view text);

}  // namespace tmb::platform::regfile
