// Test support without GoogleTest, for tests and fuzz targets alike: data
// file schemas built in code, and the byte layouts of record fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tmbio/admin.h"

namespace tmb::test {

// A schema built in code: fields and keys by (offset, length, flags).
struct Schema {
  int32_t kind = 21;
  int32_t record_length = 0;
  int32_t variable_length = 0;
  std::string description = "test file";
  std::vector<tmbio::FieldDef> fields;
  std::vector<tmbio::KeyDef> keys;

  Schema& Field(const std::string& name, const std::string& type, int32_t offset, int32_t length,
                bool nullable = false);
  // A one-segment key over a field, with the segment's flag word; a key
  // that is not unique gets the duplicates flag.
  Schema& Key(const std::string& name, const std::string& field, uint16_t flags,
              bool unique = true);
  tmbio::FileDefinition Definition() const;
};

// A 32-bit integer field, little-endian as records hold it.
std::string Int32Le(int32_t v);
// `text` cut or padded with spaces to `width`.
std::string Padded(const std::string& text, size_t width);

}  // namespace tmb::test
