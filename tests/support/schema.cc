#include "tests/support/schema.h"

#include "tmbio/tmbio.h"

namespace tmb::test {

Schema& Schema::Field(const std::string& name, const std::string& type, int32_t offset,
                      int32_t length, bool nullable) {
  tmbio::FieldDef f;
  f.name = name;
  f.type = type;
  f.offset = offset;
  f.length = length;
  f.nullable = nullable;
  fields.push_back(f);
  return *this;
}

Schema& Schema::Key(const std::string& name, const std::string& field, uint16_t flags,
                    bool unique) {
  tmbio::KeyDef k;
  k.name = name;
  k.unique = unique;
  for (const tmbio::FieldDef& f : fields) {
    if (f.name != field) continue;
    tmbio::SegmentDef s;
    s.field = f.name;
    s.offset = f.offset;
    s.length = f.length;
    s.flags = static_cast<uint16_t>(flags | (unique ? 0 : TMBIO_SEG_DUPLICATES));
    k.segments.push_back(s);
  }
  keys.push_back(k);
  return *this;
}

tmbio::FileDefinition Schema::Definition() const {
  tmbio::FileDefinition d;
  d.description = description;
  d.kind = kind;
  d.record_length = record_length;
  d.variable_length = variable_length;
  d.fields = fields;
  d.keys = keys;
  return d;
}

std::string Int32Le(int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  return std::string{static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16),
                     static_cast<char>(u >> 24)};
}

std::string Padded(const std::string& text, size_t width) {
  std::string s = text.substr(0, width);
  s.resize(width, ' ');
  return s;
}

}  // namespace tmb::test
