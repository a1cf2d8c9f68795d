#include "tmbio/admin/schema_lines.h"

#include <gtest/gtest.h>

#include <string>

namespace tmbadmin {
namespace {

constexpr char kSchema[] =
    "{\n"                                                                         // 1
    "  \"description\": \"x\",\n"                                                 // 2
    "  \"record_length\": 64, \"kind\": 21,\n"                                    // 3
    "  \"fields\": [\n"                                                           // 4
    "    {\"name\": \"id\", \"type\": \"int\", \"offset\": 0, \"length\": 4},\n"  // 5
    "    {\"name\": \"id2\",\n"                                                   // 6
    "     \"type\": \"char\", \"offset\": 4, \"length\": 8},\n"                   // 7
    "    {\"name\": \"a \\\"q\\\"\", \"type\": \"date\", \"offset\": 12}\n"       // 8
    "  ],\n"                                                                      // 9
    "  \"keys\": [\n"                                                             // 10
    "    {\"name\": \"by_id\", \"segments\": [{\"field\": \"id\"}]},\n"           // 11
    "    {\"name\": \"by_two\", \"unique\": false, \"segments\": [\n"             // 12
    "      {\"field\": \"id2\"},\n"                                               // 13
    "      {\"offset\": 20, \"length\": 4, \"type\": \"int\"}\n"                  // 14
    "    ]}\n"                                                                    // 15
    "  ]\n"                                                                       // 16
    "}\n";

TEST(SchemaLinesTest, ErrorsNamingAMemberFindItsLine) {
  const struct {
    const char* error;
    int line;
  } cases[] = {
      {"field id: unknown type \"float\"", 5},
      {"field id2: lies outside the record", 6},  // the longer name wins over "id"
      {"field 3: \"length\" must be an integer", 8},
      {"field a \"q\": a date is 8 bytes", 8},
      {"key by_id: named twice", 11},
      {"key 2: unknown member \"x\"", 12},
      {"key by_two: segment 1: no field \"zz\"", 13},
      {"key by_two: segment 2: lies outside the record", 14},
      {"key by_two: segment 9: nocase applies to text", 12},  // no such segment: the key
      {"record_length must be 1 to 65535", 3},
      {"kind must be 1, 2 or 21", 3},
      {"a file has 1 to 32 keys", 10},
      {"variable_length must be 0 to 65535", 0},  // not in the file
      {"field nothere: named twice", 0},
      {"something else", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(SchemaErrorLine(kSchema, c.error), c.line) << c.error;
}

TEST(SchemaLinesTest, TruncatedOrHostileTextEndsTheScan) {
  const std::string texts[] = {
      "", "{", "{\"keys\": [[[[[[[[[[[[[[[[[[[[[[", std::string(10000, '['), "{\"a\" 1}", "\"\\"};
  for (const std::string& t : texts) EXPECT_EQ(SchemaErrorLine(t, "field id: x"), 0) << t;
  EXPECT_EQ(SchemaErrorLine("{\"fields\": [{\"name\": \"id\"", "field id: x"), 1);
}

}  // namespace
}  // namespace tmbadmin
