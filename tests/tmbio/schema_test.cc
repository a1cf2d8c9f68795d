// Schemas, data file creation and the checker (admin.h), and the key image
// order the indexes rely on.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/tmbio/test_util.h"
#include "tmbio/admin.h"
#include "tmbio/definition.h"
#include "tmbio/key_image.h"

namespace {

// The example of docs/data-library.md section 9.
const char* kExample = R"({
  "description": "Customers",
  "kind": 21,
  "record_length": 64,
  "variable_length": 0,
  "fields": [
    {"name": "id",   "type": "int",  "offset": 0, "length": 4},
    {"name": "name", "type": "char", "offset": 4, "length": 40, "nullable": true,
     "description": "Customer name"},
    {"name": "since", "type": "date", "offset": 44, "length": 8}
  ],
  "keys": [
    {"name": "by_id", "unique": true, "segments": [{"field": "id"}]},
    {"name": "by_name", "unique": false,
     "segments": [{"field": "name", "nocase": true}, {"field": "id", "descending": true}]}
  ]
})";

std::string ParseError(const std::string& json) {
  tmbio::FileDefinition def;
  std::string error;
  EXPECT_FALSE(tmbio::ParseSchema(json, &def, &error)) << json;
  return error;
}

std::string WithKeys(const std::string& keys) {
  return R"({"record_length": 300, "fields": [{"name": "a", "type": "int", "offset": 0, "length": 4},
    {"name": "t", "type": "char", "offset": 4, "length": 296}], "keys": [)" + keys + "]}";
}

TEST(Schema, TheDocumentedExampleParsesAndRoundTrips) {
  tmbio::FileDefinition def;
  std::string error;
  ASSERT_TRUE(tmbio::ParseSchema(kExample, &def, &error)) << error;
  EXPECT_EQ(def.description, "Customers");
  ASSERT_EQ(def.fields.size(), 3u);
  EXPECT_TRUE(def.fields[1].nullable);
  ASSERT_EQ(def.keys.size(), 2u);
  const tmbio::SegmentDef& s0 = def.keys[1].segments[0];
  const tmbio::SegmentDef& s1 = def.keys[1].segments[1];
  EXPECT_EQ(s0.offset, 4);
  EXPECT_EQ(s0.length, 40);
  EXPECT_EQ(s0.flags, TMBIO_SEG_DUPLICATES | TMBIO_SEG_NOCASE | TMBIO_SEG_MORE);
  EXPECT_EQ(s1.flags, TMBIO_SEG_DUPLICATES | TMBIO_SEG_DESCENDING | TMBIO_SEG_SIGNED);
  EXPECT_EQ(def.keys[0].segments[0].flags, TMBIO_SEG_SIGNED);

  tmbio::FileDefinition again;
  ASSERT_TRUE(tmbio::ParseSchema(tmbio::SchemaToJson(def), &again, &error)) << error;
  EXPECT_EQ(tmbio::SchemaToJson(again), tmbio::SchemaToJson(def));
  EXPECT_EQ(again.keys[1].segments[1].flags, s1.flags);
}

TEST(Schema, MistakesAreNamed) {
  EXPECT_EQ(ParseError("{\n\"record_length\": 4,\n \"keys\": [}").substr(0, 7), "line 3:");
  EXPECT_NE(ParseError(R"({"record_length": 4, "keyz": []})").find("unknown member \"keyz\""), std::string::npos);
  EXPECT_NE(ParseError(R"({"record_length": 4, "keys": []})").find("1 to 32 keys"), std::string::npos);
  EXPECT_NE(ParseError(WithKeys(R"({"name": "k", "segments": [{"field": "nope"}]})")).find("no field"),
            std::string::npos);
  EXPECT_NE(ParseError(WithKeys(R"({"name": "k", "segments": [{"offset": 290, "length": 20}]})"))
                .find("key k: segment 1: lies outside the record"),
            std::string::npos);
  EXPECT_NE(ParseError(WithKeys(R"({"name": "k", "segments": [{"field": "t"}]})")).find("at most 255"),
            std::string::npos);
  EXPECT_NE(ParseError(WithKeys(R"({"name": "k", "segments": [{"offset": 0, "length": 3, "type": "int"}]})"))
                .find("1, 2, 4 or 8"),
            std::string::npos);
  EXPECT_NE(ParseError(WithKeys(R"({"name": "k", "segments": [{"field": "a", "nocase": true}]})")).find("nocase"),
            std::string::npos);
  EXPECT_NE(ParseError(WithKeys(R"({"name": "k", "segments": [{"offset": 4, "length": 2}, {"field": "a", "autoinc": true}]})"))
                .find("first segment"),
            std::string::npos);
  EXPECT_NE(ParseError(WithKeys(R"({"name": "k", "segments": [{"offset": 4, "length": 2, "autoinc": true}]})"))
                .find("integers"),
            std::string::npos);
  EXPECT_NE(ParseError(WithKeys(R"({"name": "k", "segments": [{"field": "a"}]}, {"name": "K", "segments": [{"field": "a"}]})"))
                .find("named twice"),
            std::string::npos);
  std::string many;
  for (int i = 0; i < 33; ++i) {
    many += (i ? "," : "") + std::string(R"({"name": "k)") + std::to_string(i) + R"(", "segments": [{"field": "a"}]})";
  }
  EXPECT_NE(ParseError(WithKeys(many)).find("1 to 32 keys"), std::string::npos);
  EXPECT_NE(ParseError(R"({"record_length": 4, "kind": 3, "keys": [{"name": "k", "segments": [{"offset": 0, "length": 4}]}]})")
                .find("kind"),
            std::string::npos);
  EXPECT_NE(ParseError(R"({"record_length": 70000, "keys": [{"name": "k", "segments": [{"offset": 0, "length": 4}]}]})")
                .find("record_length"),
            std::string::npos);
}

TEST(Schema, CreateReadAndCheckADataFile) {
  tmbtest::ScratchDir dir;
  tmbio::FileDefinition def;
  std::string error;
  ASSERT_TRUE(tmbio::ParseSchema(kExample, &def, &error));
  const std::string path = dir.File("c.tmb");
  ASSERT_EQ(tmbio::CreateDataFile(path, def, &error), 0) << error;
  EXPECT_EQ(tmbio::CreateDataFile(path, def, &error), TMBIO_DENIED);
  EXPECT_NE(error.find("exists"), std::string::npos);
  EXPECT_EQ(tmbio::CreateDataFile(dir.File("no/such/dir.tmb"), def, &error), TMBIO_NO_FILE);
  tmbio::FileDefinition back;
  ASSERT_EQ(tmbio::ReadDefinition(path, &back, &error), 0) << error;
  EXPECT_EQ(tmbio::SchemaToJson(back), tmbio::SchemaToJson(def));
  EXPECT_EQ(tmbio::ReadDefinition(dir.File("missing.tmb"), &back, &error), TMBIO_NO_FILE);

  TMBEnvironment* env = tmbtest::NewEnv(dir.path());
  TMBFile* f = tmbtest::Open(env, "c");
  tmbtest::Record r(64);
  for (int i = 1; i <= 5; ++i) {
    r.Int(0, i, 4).Text(4, "name" + std::to_string(i), 40).Text(44, "20240101", 8);
    ASSERT_GT(QDK_ExtWrite(f, r.data(), 64, nullptr, 0, TMBIO_WRITE_INSERT, 0), 0);
  }
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
  EXPECT_EQ(tmbtest::Problems(path), "");

  // Damage: a wrong key image, a record too short, a missing index.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "UPDATE records SET k2 = x'00' WHERE pos = 2;"
                         "UPDATE records SET data = x'0102' WHERE pos = 3;"
                         "UPDATE records SET k1 = NULL WHERE pos = 4;"
                         "DROP INDEX records_k1;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  std::vector<std::string> problems;
  EXPECT_EQ(tmbio::CheckDataFile(path, &problems), TMBIO_CORRUPT);
  std::string all;
  for (const auto& p : problems) all += p + "\n";
  EXPECT_NE(all.find("record 2: key 2 entry does not match"), std::string::npos) << all;
  EXPECT_NE(all.find("record 3: length 2 out of range"), std::string::npos) << all;
  EXPECT_NE(all.find("record 4: key 1 entry missing"), std::string::npos) << all;
  EXPECT_NE(all.find("index records_k1 is missing"), std::string::npos) << all;
  EXPECT_EQ(tmbio::CheckDataFile(dir.File("missing.tmb"), &problems), TMBIO_NO_FILE);
}

// Images must sort as their keys: memcmp order equals the value order.
TEST(KeyImage, ImageOrderIsValueOrder) {
  std::mt19937_64 rng(12345);
  for (uint16_t type : {uint16_t{TMBIO_SEG_SIGNED}, uint16_t{TMBIO_SEG_UNSIGNED}}) {
    for (int32_t length : {1, 2, 4, 8}) {
      for (bool descending : {false, true}) {
        tmbio::Key key;
        key.segments.push_back(tmbio::Segment{0, length,
            static_cast<uint16_t>(type | (descending ? TMBIO_SEG_DESCENDING : 0))});
        key.value_length = length;
        std::vector<std::pair<std::string, uint64_t>> items;
        for (int i = 0; i < 300; ++i) {
          uint64_t raw = rng();
          if (i < 6) raw = std::vector<uint64_t>{0, 1, ~uint64_t{0}, uint64_t{1} << 63, (uint64_t{1} << 63) - 1, 0x80}[static_cast<size_t>(i)];
          uint8_t rec[8];
          tmbio::WriteInteger(raw, rec, length);
          std::string image;
          ASSERT_TRUE(tmbio::BuildImage(key, rec, &image));
          items.emplace_back(image, raw);
        }
        std::sort(items.begin(), items.end());
        for (size_t i = 1; i < items.size(); ++i) {
          uint8_t a[8], b[8];
          tmbio::WriteInteger(items[i - 1].second, a, length);
          tmbio::WriteInteger(items[i].second, b, length);
          bool le = type == TMBIO_SEG_SIGNED ? tmbio::ReadSigned(a, length) <= tmbio::ReadSigned(b, length)
                                             : tmbio::ReadUnsigned(a, length) <= tmbio::ReadUnsigned(b, length);
          if (descending) {
            bool ge = type == TMBIO_SEG_SIGNED ? tmbio::ReadSigned(a, length) >= tmbio::ReadSigned(b, length)
                                               : tmbio::ReadUnsigned(a, length) >= tmbio::ReadUnsigned(b, length);
            ASSERT_TRUE(ge) << "type " << type << " length " << length;
          } else {
            ASSERT_TRUE(le) << "type " << type << " length " << length;
          }
        }
      }
    }
  }
}

TEST(KeyImage, TextPrefixesAndSparseSegments) {
  tmbio::Key key;
  key.segments = {tmbio::Segment{0, 4, TMBIO_SEG_NOCASE}, tmbio::Segment{4, 2, TMBIO_SEG_SIGNED | TMBIO_SEG_SPARSE}};
  key.value_length = 6;
  std::string image;
  uint8_t rec[6] = {'a', 'B', 'c', 'd', 0, 0};
  EXPECT_FALSE(tmbio::BuildImage(key, rec, &image));  // all zero: left out
  rec[4] = 1;
  ASSERT_TRUE(tmbio::BuildImage(key, rec, &image));
  EXPECT_EQ(image, std::string("ABCD\x80\x01", 6));
  std::string prefix;
  EXPECT_EQ(tmbio::ImagePrefix(key, rec, 2, &prefix), 0);
  EXPECT_EQ(prefix, "AB");
  EXPECT_EQ(tmbio::ImagePrefix(key, rec, 5, &prefix), TMBIO_INVALID);
  EXPECT_EQ(tmbio::ImagePrefix(key, rec, 7, &prefix), TMBIO_BAD_LENGTH);
  std::string s = "AB\xff\xff";
  EXPECT_TRUE(tmbio::PrefixSuccessor(&s));
  EXPECT_EQ(s, "AC");
  s = "\xff";
  EXPECT_FALSE(tmbio::PrefixSuccessor(&s));
}

}  // namespace
