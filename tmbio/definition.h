// A data file's definition: validating a FileDefinition (admin.h), its
// schema JSON, and the key layout the engine works with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "admin.h"
#include "tmbio/tmbio.h"

namespace tmbio {

// Limits of a definition beyond those of tmbio.h.
constexpr int32_t kMaxRecordLength = 65535;
constexpr int32_t kMaxVariableLength = 16 * 1024 * 1024;
constexpr size_t kMaxFields = 1024;
constexpr size_t kMaxFieldName = 63;   // a column label holds 64 bytes
constexpr size_t kMaxKeyName = 24;     // an index description holds 25
constexpr size_t kMaxDescription = 1000;

// Checks `def` and completes it: segments named by a field take the field's
// offset, length and type; the duplicates and "more segments" bits are set
// from the key. False with *error saying what is wrong.
bool ValidateDefinition(FileDefinition* def, std::string* error);

// SQL type code and name of a field (column records).
struct SqlType {
  int32_t code;
  const char* name;
  int32_t column_size;
  int32_t radix;
  const char* format;
};
SqlType SqlTypeOf(const FieldDef& field);

struct Segment {
  int32_t offset;
  int32_t length;
  uint16_t flags;
  uint16_t type() const { return flags & TMBIO_SEG_TYPE_MASK; }
  bool integer() const { return type() == TMBIO_SEG_SIGNED || type() == TMBIO_SEG_UNSIGNED; }
};

struct Key {
  std::string name;
  bool unique = true;
  std::vector<Segment> segments;
  int32_t value_length = 0;  // bytes of the client form, also of the image
  bool sparse = false;       // some segment is sparse
  bool autoinc = false;      // the first segment is given on insert
};

// The engine's view of a validated definition. The TMBFile key tables point
// into it, so it lives as long as the open file.
class Schema {
 public:
  explicit Schema(FileDefinition def);

  const FileDefinition& def() const { return def_; }
  const std::vector<Key>& keys() const { return keys_; }
  int32_t key_count() const { return static_cast<int32_t>(keys_.size()); }
  const Key& key(int32_t number) const { return keys_[static_cast<size_t>(number - 1)]; }
  int32_t record_length() const { return def_.record_length; }
  int32_t variable_length() const { return def_.variable_length; }
  int32_t max_key_length() const { return max_key_length_; }
  int32_t segment_total() const { return static_cast<int32_t>(pub_segments_.size()); }
  const TMBFileKey* pub_keys() const { return pub_keys_.data(); }
  const TMBFileSegment* pub_segments() const { return pub_segments_.data(); }

 private:
  FileDefinition def_;
  std::vector<Key> keys_;
  int32_t max_key_length_ = 0;
  std::vector<TMBFileKey> pub_keys_;
  std::vector<TMBFileSegment> pub_segments_;
};

}  // namespace tmbio
