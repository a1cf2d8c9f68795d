// tmbadmin load: CSV rows become records, inserted in one transaction.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tmbio/admin/commands.h"
#include "tmbio/admin/data_file.h"
#include "tmbio/admin/field_layouts.h"
#include "tmbio/record_text.h"

namespace tmbadmin {

namespace {

constexpr int kVariable = -1;  // the field index of the variable part's column
constexpr int kNoField = -2;

// Field names are unique ignoring ASCII case (the library refuses a schema
// naming one twice), so a header may spell them in any case.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

struct Column {
  int field;   // index into the definition's fields, or kVariable
  size_t csv;  // index in the CSV row
};

// The key value of `key` in `record`: its segments' bytes, concatenated.
std::vector<uint8_t> KeyValue(const tmbio::KeyDef& key, const std::vector<uint8_t>& record) {
  std::vector<uint8_t> value;
  for (const tmbio::SegmentDef& s : key.segments) {
    if (s.offset < 0 ||
        static_cast<size_t>(s.offset) + static_cast<size_t>(s.length) > record.size()) {
      continue;
    }
    value.insert(value.end(), record.begin() + s.offset, record.begin() + s.offset + s.length);
  }
  return value;
}

// Explains a refused insert: which unique key already holds the value, and
// which line of this load (or which record already in the file) holds it.
std::string DescribeDuplicate(const OpenDataFile& data, const std::vector<uint8_t>& record,
                              const std::unordered_map<int32_t, int64_t>& line_of) {
  const tmbio::FileDefinition& def = data.definition();
  std::vector<uint8_t> found(static_cast<size_t>(def.record_length + def.variable_length) + 1);
  std::string text;
  for (size_t k = 0; k < def.keys.size(); ++k) {
    if (!def.keys[k].unique) continue;
    std::vector<uint8_t> value = KeyValue(def.keys[k], record);
    if (value.empty() || QDK_keyadjust(data.file(), nullptr, 0, static_cast<int32_t>(k + 1)) < 0)
      continue;
    if (QDK_seek(data.file(), value.data(), static_cast<int32_t>(value.size()), 1) != 1) continue;
    if (!text.empty()) text += "; ";
    text += "duplicate value in unique key " + def.keys[k].name;
    if (QDK_read(data.file(), found.data(), static_cast<int32_t>(found.size()), 1) < 0) continue;
    const int32_t position = QDK_getpos(data.file());
    auto it = line_of.find(position);
    if (it != line_of.end()) {
      text += ", as on line " + std::to_string(it->second);
    } else if (position > 0) {
      text += ", as record " + std::to_string(position) + " already in the file";
    }
  }
  return text.empty() ? "a unique key already holds this record's value" : text;
}

}  // namespace

int LoadCommand(const std::string& file, const std::string& csv, std::ostream& out,
                std::ostream& err) {
  OpenDataFile data;
  std::string error;
  if (!data.Open(file, false, &error)) {
    err << file << ": " << error << "\n";
    return 1;
  }
  const tmbio::FileDefinition& def = data.definition();
  std::vector<tmbio::text::FieldLayout> layouts;
  if (!FieldLayouts(def, &layouts, &error)) {
    err << file << ": " << error << "\n";
    return 1;
  }
  std::ifstream in(csv, std::ios::binary);
  if (!in) {
    err << csv << ": cannot open: " << std::strerror(errno) << "\n";
    return 1;
  }
  tmbio::text::CsvReader reader(&in);
  auto csv_error = [&](int64_t line, const std::string& what) {
    err << csv << ": line " << line << ": " << what << "\n";
    return 1;
  };

  std::vector<std::string> row;
  if (!reader.Next(&row)) {
    return csv_error(reader.line() > 0 ? reader.line() : 1,
                     reader.error().empty() ? "no header row" : reader.error());
  }
  std::vector<Column> columns;
  for (size_t i = 0; i < row.size(); ++i) {
    int field = kNoField;
    if (def.variable_length > 0 && row[i] == kVariableColumn) field = kVariable;
    for (size_t f = 0; f < def.fields.size() && field == kNoField; ++f) {
      if (SameName(def.fields[f].name, row[i])) field = static_cast<int>(f);
    }
    if (field == kNoField) {
      std::string names;
      for (const tmbio::FieldDef& f : def.fields) names += (names.empty() ? "" : ", ") + f.name;
      if (def.variable_length > 0)
        names += std::string(names.empty() ? "" : ", ") + kVariableColumn;
      return csv_error(reader.line(), "column " + std::to_string(i + 1) + ": " + file +
                                          " has no field '" + row[i] + "' (it has: " + names + ")");
    }
    for (const Column& c : columns) {
      if (c.field == field)
        return csv_error(reader.line(), "column '" + row[i] + "' appears twice");
    }
    columns.push_back({field, i});
  }
  // Fields are written in the definition's order whatever the column order,
  // so that overlapping fields always settle the same way.
  std::sort(columns.begin(), columns.end(),
            [](const Column& a, const Column& b) { return a.field < b.field; });
  const size_t width = row.size();

  // Fields the CSV leaves out hold their empty value.
  std::vector<uint8_t> blank(static_cast<size_t>(def.record_length), 0);
  for (const tmbio::text::FieldLayout& f : layouts) tmbio::text::ClearField(f, blank);

  int32_t status = QDK_BeginTX(data.environment());
  if (status < 0) {
    err << file << ": cannot begin a transaction: " << StatusText(status) << "\n";
    return 1;
  }
  // Every failure from here on undoes the whole load.
  auto abandon = [&](const std::string& where, const std::string& what) {
    const int32_t undone = QDK_RollbackTX(data.environment());
    err << where << ": " << what << "\n";
    if (undone < 0) {
      err << file << ": the rollback failed too: " << StatusText(undone) << "\n";
    } else {
      err << file << ": nothing loaded; the file is as it was\n";
    }
    return 1;
  };
  auto at_line = [&](int64_t line) { return csv + ": line " + std::to_string(line); };

  std::unordered_map<int32_t, int64_t> line_of;  // position -> CSV line, for duplicates
  std::vector<uint8_t> record;
  int64_t loaded = 0;
  while (reader.Next(&row)) {
    const int64_t line = reader.line();
    if (row.size() != width) {
      return abandon(at_line(line), std::to_string(row.size()) + " fields where the header has " +
                                        std::to_string(width));
    }
    record = blank;
    for (const Column& c : columns) {
      if (c.field == kVariable) {
        std::string bytes;
        if (!tmbio::text::HexDecode(row[c.csv], &bytes, &error)) {
          return abandon(at_line(line), std::string(kVariableColumn) + ": " + error);
        }
        if (bytes.size() > static_cast<size_t>(def.variable_length)) {
          return abandon(at_line(line), std::string(kVariableColumn) + ": " +
                                            std::to_string(bytes.size()) +
                                            " bytes, the variable part holds " +
                                            std::to_string(def.variable_length));
        }
        record.insert(record.end(), bytes.begin(), bytes.end());
        continue;
      }
      if (!tmbio::text::EncodeField(layouts[static_cast<size_t>(c.field)], row[c.csv],
                                    std::span<uint8_t>(record.data(), blank.size()), &error)) {
        return abandon(at_line(line), error);
      }
    }
    status = QDK_ExtWrite(data.file(), record.data(), static_cast<int32_t>(record.size()), nullptr,
                          0, 0, 0);
    if (status == -5) return abandon(at_line(line), DescribeDuplicate(data, record, line_of));
    if (status < 0) return abandon(at_line(line), "insert refused: " + StatusText(status));
    line_of.emplace(status, line);
    ++loaded;
  }
  if (!reader.error().empty()) return abandon(at_line(reader.line()), reader.error());
  if (in.bad()) return abandon(csv, "read error");
  status = QDK_CommitTX(data.environment());
  if (status < 0) {
    // A transaction the library could not commit is still open: undo it.
    if (QDGetEnvMode(data.environment(), 4) == 1)
      return abandon(file, "commit failed: " + StatusText(status));
    err << file << ": commit failed: " << StatusText(status) << "\n";
    return 1;
  }
  out << "loaded " << loaded << " record" << (loaded == 1 ? "" : "s") << " into " << file << "\n";
  return 0;
}

}  // namespace tmbadmin
