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
// what ("line 12: key by_name: ...").
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

}  // namespace tmbio
