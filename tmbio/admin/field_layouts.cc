#include "tmbio/admin/field_layouts.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace tmbadmin {

namespace {

using tmbio::text::FieldKind;

bool KindOf(const std::string& type, FieldKind* kind) {
  static constexpr struct {
    const char* type;
    FieldKind kind;
  } kKinds[] = {{"char", FieldKind::kText},
                {"int", FieldKind::kSigned},
                {"uint", FieldKind::kUnsigned},
                {"date", FieldKind::kDate},
                {"binary", FieldKind::kBinary}};
  for (const auto& k : kKinds) {
    if (type == k.type) {
      *kind = k.kind;
      return true;
    }
  }
  return false;
}

}  // namespace

bool FieldLayouts(const tmbio::FileDefinition& def, std::vector<tmbio::text::FieldLayout>* layouts,
                  std::string* error) {
  layouts->clear();
  const size_t record_size = static_cast<size_t>(std::max(def.record_length, 0));
  for (const tmbio::FieldDef& f : def.fields) {
    tmbio::text::FieldLayout layout;
    layout.name = "field " + f.name;
    layout.offset = f.offset;
    layout.length = f.length;
    if (!KindOf(f.type, &layout.kind)) {
      *error = layout.name + ": unknown field type '" + f.type + "'";
      return false;
    }
    if (!tmbio::text::CheckField(layout, record_size, error)) return false;
    layouts->push_back(std::move(layout));
  }
  return true;
}

}  // namespace tmbadmin
