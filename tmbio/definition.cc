#include "definition.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <set>
#include <utility>

namespace tmbio {

namespace {

using nlohmann::json;

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return s;
}

bool IntegerLength(int32_t n) { return n == 1 || n == 2 || n == 4 || n == 8; }

// Segment type bits of a field or segment type name; false for an unknown
// name.
bool TypeBits(const std::string& type, uint16_t* bits) {
  if (type == "char" || type == "binary") {
    *bits = TMBIO_SEG_TEXT;
  } else if (type == "int") {
    *bits = TMBIO_SEG_SIGNED;
  } else if (type == "uint") {
    *bits = TMBIO_SEG_UNSIGNED;
  } else if (type == "date") {
    *bits = TMBIO_SEG_DATE;
  } else {
    return false;
  }
  return true;
}

const char* TypeName(uint16_t bits) {
  switch (bits & TMBIO_SEG_TYPE_MASK) {
    case TMBIO_SEG_SIGNED:
      return "int";
    case TMBIO_SEG_UNSIGNED:
      return "uint";
    case TMBIO_SEG_DATE:
      return "date";
    default:
      return "char";
  }
}

// Checks that a type and length go together; "" when they do.
std::string CheckTypeLength(const std::string& type, int32_t length) {
  if (type == "int" || type == "uint") {
    if (!IntegerLength(length)) return "an integer is 1, 2, 4 or 8 bytes";
  } else if (type == "date") {
    if (length != 8) return "a date is 8 bytes (YYYYMMDD)";
  } else if (length < 1) {
    return "length must be at least 1";
  }
  return std::string();
}

constexpr uint16_t kUserFlags =
    TMBIO_SEG_NOCASE | TMBIO_SEG_DESCENDING | TMBIO_SEG_SPARSE | TMBIO_SEG_AUTOINC;

// ---- JSON reading: each helper throws SchemaError with the member's path.

struct SchemaError {
  std::string message;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw SchemaError{where.empty() ? what : where + ": " + what};
}

void OnlyMembers(const json& j, const std::string& where, std::initializer_list<const char*> names) {
  if (!j.is_object()) Fail(where, "must be an object");
  for (const auto& item : j.items()) {
    bool known = false;
    for (const char* n : names) known = known || item.key() == n;
    if (!known) Fail(where, "unknown member \"" + item.key() + "\"");
  }
}

int32_t Int(const json& j, const char* name, const std::string& where, bool required,
            int32_t fallback) {
  auto it = j.find(name);
  if (it == j.end()) {
    if (required) Fail(where, std::string("missing \"") + name + "\"");
    return fallback;
  }
  if (!it->is_number_integer()) Fail(where, std::string("\"") + name + "\" must be an integer");
  int64_t v = it->get<int64_t>();
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
    Fail(where, std::string("\"") + name + "\" is out of range");
  }
  return static_cast<int32_t>(v);
}

std::string Text(const json& j, const char* name, const std::string& where, bool required) {
  auto it = j.find(name);
  if (it == j.end()) {
    if (required) Fail(where, std::string("missing \"") + name + "\"");
    return std::string();
  }
  if (!it->is_string()) Fail(where, std::string("\"") + name + "\" must be a text");
  return it->get<std::string>();
}

bool Bool(const json& j, const char* name, const std::string& where, bool fallback) {
  auto it = j.find(name);
  if (it == j.end()) return fallback;
  if (!it->is_boolean()) Fail(where, std::string("\"") + name + "\" must be true or false");
  return it->get<bool>();
}

const json& Array(const json& j, const char* name, const std::string& where, bool required) {
  static const json kEmpty = json::array();
  auto it = j.find(name);
  if (it == j.end()) {
    if (required) Fail(where, std::string("missing \"") + name + "\"");
    return kEmpty;
  }
  if (!it->is_array()) Fail(where, std::string("\"") + name + "\" must be an array");
  return *it;
}

void ReadSchema(const json& root, FileDefinition* def) {
  OnlyMembers(root, "", {"description", "kind", "record_length", "variable_length", "fields", "keys"});
  def->description = Text(root, "description", "", false);
  def->kind = Int(root, "kind", "", false, TMBIO_KIND_EXTENDED);
  def->record_length = Int(root, "record_length", "", true, 0);
  def->variable_length = Int(root, "variable_length", "", false, 0);
  int n = 0;
  for (const json& f : Array(root, "fields", "", false)) {
    std::string where = "field " + std::to_string(++n);
    OnlyMembers(f, where, {"name", "type", "offset", "length", "nullable", "description"});
    FieldDef field;
    field.name = Text(f, "name", where, true);
    where = "field " + field.name;
    field.type = Text(f, "type", where, true);
    field.offset = Int(f, "offset", where, true, 0);
    field.length = Int(f, "length", where, field.type != "date", 8);
    field.nullable = Bool(f, "nullable", where, false);
    field.description = Text(f, "description", where, false);
    def->fields.push_back(std::move(field));
  }
  n = 0;
  for (const json& k : Array(root, "keys", "", true)) {
    std::string where = "key " + std::to_string(++n);
    OnlyMembers(k, where, {"name", "unique", "segments"});
    KeyDef key;
    key.name = Text(k, "name", where, true);
    where = "key " + key.name;
    key.unique = Bool(k, "unique", where, true);
    int s = 0;
    for (const json& sj : Array(k, "segments", where, true)) {
      std::string swhere = where + ": segment " + std::to_string(++s);
      OnlyMembers(sj, swhere,
                  {"field", "offset", "length", "type", "nocase", "descending", "sparse", "autoinc"});
      SegmentDef seg;
      seg.field = Text(sj, "field", swhere, false);
      if (seg.field.empty()) {
        seg.offset = Int(sj, "offset", swhere, true, 0);
        seg.length = Int(sj, "length", swhere, true, 0);
        std::string type = Text(sj, "type", swhere, false);
        if (type.empty()) type = "char";
        uint16_t bits = 0;
        if (!TypeBits(type, &bits)) Fail(swhere, "unknown type \"" + type + "\"");
        std::string bad = CheckTypeLength(type, seg.length);
        if (!bad.empty()) Fail(swhere, bad);
        seg.flags = bits;
      } else if (sj.contains("offset") || sj.contains("length") || sj.contains("type")) {
        Fail(swhere, "a segment names a field or gives offset, length and type, not both");
      }
      if (Bool(sj, "nocase", swhere, false)) seg.flags |= TMBIO_SEG_NOCASE;
      if (Bool(sj, "descending", swhere, false)) seg.flags |= TMBIO_SEG_DESCENDING;
      if (Bool(sj, "sparse", swhere, false)) seg.flags |= TMBIO_SEG_SPARSE;
      if (Bool(sj, "autoinc", swhere, false)) seg.flags |= TMBIO_SEG_AUTOINC;
      key.segments.push_back(std::move(seg));
    }
    def->keys.push_back(std::move(key));
  }
}

}  // namespace

bool ValidateDefinition(FileDefinition* def, std::string* error) {
  auto fail = [error](const std::string& what) {
    if (error != nullptr) *error = what;
    return false;
  };
  if (def->kind != TMBIO_KIND_PLAIN && def->kind != TMBIO_KIND_CLASSIC &&
      def->kind != TMBIO_KIND_EXTENDED) {
    return fail("kind must be 1, 2 or 21");
  }
  if (def->record_length < 1 || def->record_length > kMaxRecordLength) {
    return fail("record_length must be 1 to " + std::to_string(kMaxRecordLength));
  }
  if (def->variable_length < 0 || def->variable_length > kMaxVariableLength) {
    return fail("variable_length must be 0 to " + std::to_string(kMaxVariableLength));
  }
  if (def->description.size() > kMaxDescription) return fail("description is too long");
  if (def->fields.size() > kMaxFields) return fail("too many fields");
  std::set<std::string> names;
  for (const FieldDef& f : def->fields) {
    std::string where = "field " + f.name + ": ";
    if (f.name.empty() || f.name.size() > kMaxFieldName) {
      return fail("field names are 1 to " + std::to_string(kMaxFieldName) + " characters");
    }
    if (!names.insert(Upper(f.name)).second) return fail(where + "named twice");
    uint16_t bits = 0;
    if (!TypeBits(f.type, &bits)) return fail(where + "unknown type \"" + f.type + "\"");
    std::string bad = CheckTypeLength(f.type, f.length);
    if (!bad.empty()) return fail(where + bad);
    if (f.offset < 0 || f.length > def->record_length - f.offset) {
      return fail(where + "lies outside the record");
    }
    if (f.description.size() > kMaxDescription) return fail(where + "description is too long");
  }
  if (def->keys.empty() || def->keys.size() > TMBIO_MAX_KEYS) return fail("a file has 1 to 32 keys");
  names.clear();
  for (KeyDef& k : def->keys) {
    std::string where = "key " + k.name + ": ";
    if (k.name.empty() || k.name.size() > kMaxKeyName) {
      return fail("key names are 1 to " + std::to_string(kMaxKeyName) + " characters");
    }
    if (!names.insert(Upper(k.name)).second) return fail(where + "named twice");
    if (k.segments.empty() || k.segments.size() > TMBIO_MAX_SEGMENTS) {
      return fail(where + "a key has 1 to 16 segments");
    }
    int32_t total = 0;
    for (size_t i = 0; i < k.segments.size(); ++i) {
      SegmentDef& s = k.segments[i];
      std::string swhere = where + "segment " + std::to_string(i + 1) + ": ";
      if (!s.field.empty()) {
        auto f = std::find_if(def->fields.begin(), def->fields.end(),
                              [&](const FieldDef& fd) { return fd.name == s.field; });
        if (f == def->fields.end()) return fail(swhere + "no field \"" + s.field + "\"");
        uint16_t bits = 0;
        TypeBits(f->type, &bits);
        s.offset = f->offset;
        s.length = f->length;
        s.flags = static_cast<uint16_t>((s.flags & ~TMBIO_SEG_TYPE_MASK) | bits);
      }
      uint16_t type = s.flags & TMBIO_SEG_TYPE_MASK;
      if (type != TMBIO_SEG_TEXT && type != TMBIO_SEG_SIGNED && type != TMBIO_SEG_UNSIGNED &&
          type != TMBIO_SEG_DATE) {
        return fail(swhere + "unknown type bits");
      }
      bool integer = type == TMBIO_SEG_SIGNED || type == TMBIO_SEG_UNSIGNED;
      if (s.flags & ~(kUserFlags | TMBIO_SEG_TYPE_MASK | TMBIO_SEG_DUPLICATES | TMBIO_SEG_MORE)) {
        return fail(swhere + "unknown flag bits");
      }
      if (integer && !IntegerLength(s.length)) return fail(swhere + "an integer is 1, 2, 4 or 8 bytes");
      if (type == TMBIO_SEG_DATE && s.length != 8) return fail(swhere + "a date is 8 bytes");
      if (s.offset < 0 || s.length < 1 || s.length > def->record_length - s.offset) {
        return fail(swhere + "lies outside the record");
      }
      if ((s.flags & TMBIO_SEG_NOCASE) && type != TMBIO_SEG_TEXT) {
        return fail(swhere + "nocase applies to text");
      }
      if (s.flags & TMBIO_SEG_AUTOINC) {
        if (!integer) return fail(swhere + "autoinc applies to integers");
        if (i != 0) return fail(swhere + "autoinc must be the key's first segment");
      }
      if (s.attribute != 0) return fail(swhere + "the alternate collating sequence is not offered");
      total += s.length;
      // Set from the key, so that every segment tells what the key does.
      s.flags = static_cast<uint16_t>(s.flags & ~(TMBIO_SEG_DUPLICATES | TMBIO_SEG_MORE));
      if (!k.unique) s.flags |= TMBIO_SEG_DUPLICATES;
      if (i + 1 < k.segments.size()) s.flags |= TMBIO_SEG_MORE;
    }
    if (total > TMBIO_MAX_KEY_LENGTH) return fail(where + "a key value is at most 255 bytes");
  }
  return true;
}

bool ParseSchema(std::string_view text, FileDefinition* def, std::string* error) {
  json root;
  try {
    root = json::parse(text.begin(), text.end());
  } catch (const json::parse_error& e) {
    size_t line = 1;
    for (size_t i = 0; i < text.size() && i + 1 < e.byte; ++i) line += text[i] == '\n';
    if (error != nullptr) {
      std::string what = e.what();
      // nlohmann's text starts with its own error id; keep what follows.
      size_t colon = what.find("]: ");
      *error = "line " + std::to_string(line) + ": " +
               (colon == std::string::npos ? what : what.substr(colon + 3));
    }
    return false;
  }
  FileDefinition parsed;
  try {
    ReadSchema(root, &parsed);
  } catch (const SchemaError& e) {
    if (error != nullptr) *error = e.message;
    return false;
  } catch (const json::exception& e) {
    if (error != nullptr) *error = e.what();
    return false;
  }
  if (!ValidateDefinition(&parsed, error)) return false;
  *def = std::move(parsed);
  return true;
}

std::string SchemaToJson(const FileDefinition& def) {
  json root = json::object();
  if (!def.description.empty()) root["description"] = def.description;
  root["kind"] = def.kind;
  root["record_length"] = def.record_length;
  root["variable_length"] = def.variable_length;
  json fields = json::array();
  for (const FieldDef& f : def.fields) {
    json jf = {{"name", f.name}, {"type", f.type}, {"offset", f.offset}, {"length", f.length}};
    if (f.nullable) jf["nullable"] = true;
    if (!f.description.empty()) jf["description"] = f.description;
    fields.push_back(std::move(jf));
  }
  root["fields"] = std::move(fields);
  json keys = json::array();
  for (const KeyDef& k : def.keys) {
    json segments = json::array();
    for (const SegmentDef& s : k.segments) {
      json js = json::object();
      if (!s.field.empty()) {
        js["field"] = s.field;
      } else {
        js["offset"] = s.offset;
        js["length"] = s.length;
        js["type"] = TypeName(s.flags);
      }
      if (s.flags & TMBIO_SEG_NOCASE) js["nocase"] = true;
      if (s.flags & TMBIO_SEG_DESCENDING) js["descending"] = true;
      if (s.flags & TMBIO_SEG_SPARSE) js["sparse"] = true;
      if (s.flags & TMBIO_SEG_AUTOINC) js["autoinc"] = true;
      segments.push_back(std::move(js));
    }
    keys.push_back(json{{"name", k.name}, {"unique", k.unique}, {"segments", std::move(segments)}});
  }
  root["keys"] = std::move(keys);
  // The dump is ASCII-safe: invalid UTF-8 in a description is replaced
  // rather than thrown at the caller.
  return root.dump(-1, ' ', false, json::error_handler_t::replace);
}

SqlType SqlTypeOf(const FieldDef& field) {
  if (field.type == "int" || field.type == "uint") {
    bool u = field.type == "uint";
    switch (field.length) {
      case 1:
        return {-6, "TINYINT", 3, 10, "%d"};
      case 2:
        return {5, "SMALLINT", 5, 10, "%d"};
      case 4:
        return {4, "INTEGER", 10, 10, "%d"};
      default:
        return {-5, "BIGINT", u ? 20 : 19, 10, "%d"};
    }
  }
  if (field.type == "date") return {91, "DATE", 8, 0, "YYYYMMDD"};
  if (field.type == "binary") return {-2, "BINARY", field.length, 0, "%s"};
  return {1, "CHAR", field.length, 0, "%s"};
}

Schema::Schema(FileDefinition def) : def_(std::move(def)) {
  for (const KeyDef& kd : def_.keys) {
    Key key;
    key.name = kd.name;
    key.unique = kd.unique;
    TMBFileKey pub{};
    pub.segment_count = static_cast<uint8_t>(kd.segments.size());
    pub.first_segment = static_cast<int32_t>(pub_segments_.size());
    pub_keys_.push_back(pub);
    for (const SegmentDef& sd : kd.segments) {
      key.segments.push_back(Segment{sd.offset, sd.length, sd.flags});
      key.value_length += sd.length;
      key.sparse = key.sparse || (sd.flags & TMBIO_SEG_SPARSE) != 0;
      TMBFileSegment ps{};
      ps.flags = sd.flags;
      ps.attribute = sd.attribute;
      pub_segments_.push_back(ps);
    }
    key.autoinc = (kd.segments.front().flags & TMBIO_SEG_AUTOINC) != 0;
    max_key_length_ = std::max(max_key_length_, key.value_length);
    keys_.push_back(std::move(key));
  }
}

}  // namespace tmbio
