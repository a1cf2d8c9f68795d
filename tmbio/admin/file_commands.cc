// tmbadmin create, describe and check: a data file's definition and health.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "tmbio/admin/commands.h"
#include "tmbio/admin/data_file.h"
#include "tmbio/admin/schema_lines.h"

namespace tmbadmin {

namespace {

// Schemas are small; anything past this is not one.
constexpr std::streamsize kMaxSchemaBytes = 1 << 20;

bool ReadSmallFile(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  std::vector<char> buffer(static_cast<size_t>(kMaxSchemaBytes) + 1);
  in.read(buffer.data(), kMaxSchemaBytes + 1);
  if (in.bad()) {
    *error = "read error";
    return false;
  }
  if (in.gcount() > kMaxSchemaBytes) {
    *error = "larger than " + std::to_string(kMaxSchemaBytes) + " bytes: not a schema";
    return false;
  }
  text->assign(buffer.data(), static_cast<size_t>(in.gcount()));
  return true;
}

// The segment flag word in words: type, order and the other flags.
std::string FlagWords(uint16_t flags, uint8_t attribute, int32_t kind) {
  static const char* const kTypes[] = {"text", "signed integer", "unsigned integer", "date"};
  const unsigned type = (flags & 0x3800u) >> 11;
  std::string words = type < 4 ? kTypes[type] : "type " + std::to_string(type);
  words += flags & 0x0004 ? ", descending" : ", ascending";
  if (flags & 0x0002) words += ", ignoring case";
  if (flags & 0x0008) words += ", sparse";
  if (flags & 0x0010) words += ", autoincrement";
  if (kind == 2 && (attribute & 0x80)) words += ", alternate collating sequence";
  return words;
}

const char* KindName(int32_t kind) {
  switch (kind) {
    case 1:
      return "plain";
    case 2:
      return "classic";
    case 21:
      return "extended";
    default:
      return "unknown";
  }
}

}  // namespace

int CreateCommand(const std::string& file, const std::string& schema, std::ostream& out,
                  std::ostream& err) {
  std::string json;
  std::string error;
  if (!ReadSmallFile(schema, &json, &error)) {
    err << schema << ": " << error << "\n";
    return 1;
  }
  tmbio::FileDefinition def;
  if (!tmbio::ParseSchema(json, &def, &error)) {
    // Syntax errors come with their line; a definition error names the
    // member, which the schema text turns into a line.
    const int line = error.rfind("line ", 0) == 0 ? 0 : SchemaErrorLine(json, error);
    err << schema << ": ";
    if (line > 0) err << "line " << line << ": ";
    err << error << "\n";
    return 1;
  }
  const int32_t status = tmbio::CreateDataFile(file, def, &error);
  if (status < 0) {
    err << file << ": " << FileError(file, error, status) << "\n";
    return 1;
  }
  out << "created " << file << ": " << def.fields.size() << " fields, " << def.keys.size()
      << " keys, " << def.record_length << "-byte records\n";
  return 0;
}

int DescribeCommand(const std::string& file, std::ostream& out, std::ostream& err) {
  OpenDataFile data;
  std::string error;
  if (!data.Open(file, true, &error)) {
    err << file << ": " << error << "\n";
    return 1;
  }
  const tmbio::FileDefinition& def = data.definition();
  const int64_t records = data.RecordCount();
  std::ostringstream text;
  text << file << "\n";
  if (!def.description.empty()) text << "  description: " << def.description << "\n";
  text << "  kind: " << def.kind << " (" << KindName(def.kind) << ")\n";
  text << "  record length: " << def.record_length << " bytes";
  if (def.variable_length > 0) text << " and a variable part of up to " << def.variable_length;
  text << "\n  records: ";
  if (records >= 0) {
    text << records << "\n";
  } else {
    text << "unknown (" << StatusText(static_cast<int32_t>(records)) << ")\n";
  }
  text << "fields:\n";
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const tmbio::FieldDef& f = def.fields[i];
    text << "  " << i + 1 << ". " << f.name << ": " << f.type << ", offset " << f.offset
         << ", length " << f.length;
    if (f.nullable) text << ", nullable";
    if (!f.description.empty()) text << " -- " << f.description;
    text << "\n";
  }
  text << "keys:\n";
  for (size_t k = 0; k < def.keys.size(); ++k) {
    const tmbio::KeyDef& key = def.keys[k];
    int32_t value_length = 0;
    for (const tmbio::SegmentDef& s : key.segments) value_length += s.length;
    text << "  " << k + 1 << ". " << key.name << ": "
         << (key.unique ? "unique" : "duplicates allowed") << ", " << key.segments.size()
         << " segment" << (key.segments.size() == 1 ? "" : "s") << ", " << value_length
         << "-byte value\n";
    for (size_t s = 0; s < key.segments.size(); ++s) {
      const tmbio::SegmentDef& seg = key.segments[s];
      text << "     segment " << s + 1 << ": ";
      if (!seg.field.empty()) text << "field " << seg.field << ", ";
      text << "offset " << seg.offset << ", length " << seg.length << ", "
           << FlagWords(seg.flags, seg.attribute, def.kind) << "\n";
    }
  }
  out << text.str();
  return 0;
}

int CheckCommand(const std::string& file, std::ostream& out, std::ostream& err) {
  std::vector<std::string> problems;
  const int32_t status = tmbio::CheckDataFile(file, &problems);
  if (status >= 0 && problems.empty()) {
    out << file << ": sound\n";
    return 0;
  }
  if (problems.empty()) {
    err << file << ": " << StatusText(status) << "\n";
    return 1;
  }
  for (const std::string& p : problems) out << file << ": " << p << "\n";
  err << file << ": " << problems.size() << " problem" << (problems.size() == 1 ? "" : "s") << "\n";
  return 1;
}

}  // namespace tmbadmin
