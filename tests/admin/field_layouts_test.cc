#include "tmbio/admin/field_layouts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tmbadmin {
namespace {

using tmbio::text::FieldKind;
using tmbio::text::FieldLayout;

tmbio::FieldDef Field(const char* name, const char* type, int32_t offset, int32_t length) {
  tmbio::FieldDef f;
  f.name = name;
  f.type = type;
  f.offset = offset;
  f.length = length;
  return f;
}

TEST(FieldLayoutsTest, SchemaTypesBecomeKindsNamedForErrors) {
  tmbio::FileDefinition def;
  def.record_length = 32;
  def.fields = {Field("name", "char", 0, 10), Field("id", "int", 10, 4),
                Field("stock", "uint", 14, 2), Field("added", "date", 16, 8),
                Field("code", "binary", 24, 8)};
  std::vector<FieldLayout> layouts;
  std::string error;
  ASSERT_TRUE(FieldLayouts(def, &layouts, &error)) << error;
  const FieldKind kinds[] = {FieldKind::kText, FieldKind::kSigned, FieldKind::kUnsigned,
                             FieldKind::kDate, FieldKind::kBinary};
  ASSERT_EQ(layouts.size(), std::size(kinds));
  for (size_t i = 0; i < layouts.size(); ++i) {
    EXPECT_EQ(layouts[i].kind, kinds[i]) << i;
    EXPECT_EQ(layouts[i].offset, def.fields[i].offset) << i;
    EXPECT_EQ(layouts[i].length, def.fields[i].length) << i;
    EXPECT_EQ(layouts[i].name, "field " + def.fields[i].name) << i;
  }
}

TEST(FieldLayoutsTest, FieldsTheCodecCannotTakeAreRefusedByName) {
  const struct {
    tmbio::FieldDef field;
    const char* error;
  } cases[] = {
      {Field("ratio", "float", 0, 4), "field ratio: unknown field type 'float'"},
      {Field("tail", "char", 4, 5),
       "field tail: offset 4 and length 5 lie outside the record of 8 bytes"},
      {Field("odd", "int", 0, 3), "field odd: integer field of 3 bytes (1, 2, 4 or 8)"},
  };
  for (const auto& c : cases) {
    tmbio::FileDefinition def;
    def.record_length = 8;
    def.fields = {Field("ok", "char", 0, 2), c.field};
    std::vector<FieldLayout> layouts;
    std::string error;
    EXPECT_FALSE(FieldLayouts(def, &layouts, &error)) << c.field.name;
    EXPECT_EQ(error, c.error);
  }
}

}  // namespace
}  // namespace tmbadmin
