// tmbadmin dump: the records as CSV, in the order of one key.
#include <algorithm>
#include <charconv>
#include <vector>

#include "tmbio/admin/commands.h"
#include "tmbio/admin/data_file.h"
#include "tmbio/admin/field_layouts.h"
#include "tmbio/record_text.h"

namespace tmbadmin {

namespace {

// The key number `key` names: a number from 1, or a key's name. 0 if none.
int32_t FindKey(const tmbio::FileDefinition& def, const std::string& key) {
  int32_t number = 0;
  auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), number);
  if (ec == std::errc() && end == key.data() + key.size()) {
    return number >= 1 && static_cast<size_t>(number) <= def.keys.size() ? number : 0;
  }
  for (size_t k = 0; k < def.keys.size(); ++k) {
    if (def.keys[k].name == key) return static_cast<int32_t>(k + 1);
  }
  return 0;
}

}  // namespace

int DumpCommand(const std::string& file, const std::string& key, int64_t limit, std::ostream& out,
                std::ostream& err) {
  OpenDataFile data;
  std::string error;
  if (!data.Open(file, true, &error)) {
    err << file << ": " << error << "\n";
    return 1;
  }
  const tmbio::FileDefinition& def = data.definition();
  std::vector<tmbio::text::FieldLayout> layouts;
  if (!FieldLayouts(def, &layouts, &error)) {
    err << file << ": " << error << "\n";
    return 1;
  }
  const int32_t key_number = FindKey(def, key);
  if (key_number == 0) {
    err << file << ": no key " << key << " (keys 1 to " << def.keys.size() << ")\n";
    return 1;
  }
  int32_t status = QDK_keyadjust(data.file(), nullptr, 0, key_number);
  if (status < 0) {
    err << file << ": cannot select key " << key_number << ": " << StatusText(status) << "\n";
    return 1;
  }

  std::vector<std::string> row;
  for (const tmbio::FieldDef& f : def.fields) row.push_back(f.name);
  const bool variable = def.variable_length > 0;
  if (variable) row.push_back(kVariableColumn);
  std::string text;
  tmbio::text::AppendCsvRecord(row, &text);

  const size_t fixed = static_cast<size_t>(def.record_length);
  std::vector<uint8_t> record(fixed + static_cast<size_t>(def.variable_length));
  constexpr size_t kFlushBytes = 1 << 16;
  int64_t count = 0;
  for (int32_t mode = 4; limit < 0 || count < limit; mode = 2) {
    status = QDK_read(data.file(), record.data(), static_cast<int32_t>(record.size()), mode);
    if (status == -1) break;
    if (status < 0) {
      out << text << std::flush;
      err << file << ": read failed after " << count << " records: " << StatusText(status) << "\n";
      return 1;
    }
    const size_t length = std::min(static_cast<size_t>(status), record.size());
    // The library pads a short record with zero bytes; so does the dump.
    std::fill(record.begin() + static_cast<std::ptrdiff_t>(std::min(length, fixed)),
              record.begin() + static_cast<std::ptrdiff_t>(fixed), 0);
    row.resize(layouts.size());
    for (size_t f = 0; f < layouts.size(); ++f) {
      if (!tmbio::text::DecodeField(layouts[f], std::span<const uint8_t>(record.data(), fixed),
                                    &row[f], &error)) {
        out << text << std::flush;
        err << file << ": " << error << "\n";
        return 1;
      }
    }
    if (variable) {
      row.push_back(length > fixed ? tmbio::text::HexEncode(std::span<const uint8_t>(
                                         record.data() + fixed, length - fixed))
                                   : std::string());
    }
    tmbio::text::AppendCsvRecord(row, &text);
    if (text.size() >= kFlushBytes) {
      out << text;
      text.clear();
    }
    ++count;
  }
  out << text << std::flush;
  if (!out) {
    err << file << ": cannot write the dump\n";
    return 1;
  }
  return 0;
}

}  // namespace tmbadmin
