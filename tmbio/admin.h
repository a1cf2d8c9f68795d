// The data library's interface for tools (tmbadmin, tests, benchmarks):
// schemas, creating data files and checking them. Servers use tmbio.h only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tmbio {

struct FieldDef {
  std::string name;
  std::string type;  // "char", "int", "uint", "date", "binary"
  int32_t offset = 0;
  int32_t length = 0;
  bool nullable = false;
  std::string description;
};

struct SegmentDef {
  std::string field;     // the field it was named by; empty when given by offset
  int32_t offset = 0;
  int32_t length = 0;
  uint16_t flags = 0;    // TMBIO_SEG_* bits, type field included
  uint8_t attribute = 0; // kind 2 attribute byte
};

struct KeyDef {
  std::string name;
  bool unique = true;
  std::vector<SegmentDef> segments;
};

struct FileDefinition {
  std::string description;
  int32_t kind = 21;
  int32_t record_length = 0;
  int32_t variable_length = 0;
  std::vector<FieldDef> fields;
  std::vector<KeyDef> keys;
};

// Parses a schema (docs/data-library.md section 9) and checks it: fields and
// segments inside the record, types and lengths that fit, 1 to 32 keys of 1
// to 16 segments and at most 255 bytes. On failure *error says where and
// what: the line of a syntax error ("line 12: ..."), the member of a
// meaning error ("key by_name: segment 2: ...").
bool ParseSchema(std::string_view json, FileDefinition* def, std::string* error);

// The schema of `def` as JSON (what ParseSchema reads back to the same).
std::string SchemaToJson(const FileDefinition& def);

// Creates a new, empty data file; refuses to replace an existing one.
// Returns 0 or a negative status with *error set.
int32_t CreateDataFile(const std::string& path, const FileDefinition& def, std::string* error);

// Reads the definition stored in a data file. 0 or a negative status.
int32_t ReadDefinition(const std::string& path, FileDefinition* def, std::string* error);

// Checks a data file: SQLite's own integrity check, the definition, and every
// key of every record against the stored indexes (missing, extra or wrong
// entries, duplicates in unique keys). Returns 0 when sound, else a negative
// status; *problems lists what is wrong, one line each.
int32_t CheckDataFile(const std::string& path, std::vector<std::string>* problems);

// One line of a users file `tmbusers` (without its newline) that lets `name`
// log on with `password`; `attributes` is handed to the client at logon.
// The password is kept as a salted PBKDF2-HMAC-SHA256 hash of `iterations`
// rounds. Empty when the name is empty or holds ':' or a line break, the
// attributes hold a line break, or iterations is outside 1 to 10,000,000.
std::string MakeUserLine(std::string_view name, std::string_view password,
                         std::string_view attributes, uint32_t iterations = 100000);

}  // namespace tmbio
