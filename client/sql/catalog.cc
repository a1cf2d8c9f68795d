#include "client/sql/catalog.h"

#include <algorithm>
#include <map>
#include <utility>

#include "client/data_calls.h"
#include "client/field_kinds.h"
#include "tmbio/tmbio.h"

namespace tmb::sql {
namespace {

namespace text = tmbio::text;

constexpr int32_t kFetchBatch = 64;

struct ColumnEntry {
  Column column;
  text::FieldLayout layout;
  int32_t ordinal = 0;
};

ColumnType SqlType(text::FieldKind kind) {
  switch (kind) {
    case text::FieldKind::kText: return ColumnType::kText;
    case text::FieldKind::kSigned:
    case text::FieldKind::kUnsigned: return ColumnType::kInteger;
    case text::FieldKind::kDate: return ColumnType::kDate;
    case text::FieldKind::kBinary: return ColumnType::kBinary;
  }
  return ColumnType::kBinary;
}

// The table records, keyed by name (which also sorts them).
bool FetchTables(Client& c, int32_t handle, std::map<std::string, TableRow>* rows,
                 std::string* error) {
  int32_t status = 0, tables = 0, columns = 0;
  if (!CallGetTables(c, handle, "", &status, &tables, &columns, error)) return false;
  if (status < 0) {
    *error = "listing the tables: " + StatusText(status);
    return false;
  }
  size_t fetched = 0;
  for (int32_t filled = kFetchBatch; filled == kFetchBatch;) {
    std::vector<TableRow> batch;
    if (!CallFetchTable(c, handle, kFetchBatch, &filled, &batch, error)) return false;
    fetched += batch.size();
    for (TableRow& t : batch) {
      if (t.texts[0].empty()) continue;
      (*rows)[t.texts[0]] = std::move(t);
    }
    // Counted as sent, so that a server repeating one name still ends.
    if (fetched > kMaxTables) {
      *error = "the catalog has more than " + std::to_string(kMaxTables) + " tables";
      return false;
    }
  }
  return true;
}

bool FetchColumns(Client& c, int32_t handle, const std::map<std::string, TableRow>& tables,
                  std::map<std::string, std::vector<ColumnEntry>>* columns, std::string* error) {
  int32_t status = 0, count = 0;
  if (!CallGetColumns(c, handle, "", "", &status, &count, error)) return false;
  if (status < 0) {
    *error = "listing the columns: " + StatusText(status);
    return false;
  }
  size_t total = 0;
  for (int32_t filled = kFetchBatch; filled == kFetchBatch;) {
    std::vector<ColumnRow> batch;
    if (!CallFetchColumn(c, handle, kFetchBatch, &filled, &batch, error)) return false;
    for (const ColumnRow& r : batch) {
      const auto table = tables.find(r.texts[2]);
      if (table == tables.end() || r.texts[3].empty()) continue;
      ColumnEntry e;
      e.column.name = r.texts[3];
      e.column.type_name = r.texts[4];
      e.column.offset = r.ints[7];
      e.column.length = r.ints[2];
      e.column.nullable = r.ints[5] != 0;
      e.ordinal = r.ints[6];
      const std::string& schema = table->second.has_extension ? table->second.extension : "";
      e.layout = FieldAt(ColumnKind(e.column.type_name, schema, e.column.name),
                         "column " + e.column.name, e.column.offset, e.column.length);
      e.column.type = SqlType(e.layout.kind);
      (*columns)[r.texts[2]].push_back(std::move(e));
      if (++total > kMaxColumns) {
        *error = "the catalog has more than " + std::to_string(kMaxColumns) + " columns";
        return false;
      }
    }
  }
  return true;
}

// The keys of the open file `t.opened`, each segment tied to the column
// that covers exactly its bytes.
bool LoadKeys(Client& c, int32_t key_count, TableLayout* t, std::string* error) {
  if (key_count <= 0) return true;
  key_count = std::min(key_count, TMBIO_MAX_KEYS);
  int32_t status = 0;
  std::vector<IndexKey> keys;
  std::vector<IndexSegment> segments;
  if (!CallDescribeIndex(c, t->opened, 0, key_count, TMBIO_MAX_KEYS * TMBIO_MAX_SEGMENTS, &status,
                         &keys, &segments, error)) {
    return false;
  }
  for (const IndexKey& k : keys) {
    Key key;
    key.number = k.number;
    key.name = k.name;
    key.unique = k.duplicates == 0;
    std::vector<IndexSegment> mine;
    for (const IndexSegment& s : segments) {
      if (s.key == k.number) mine.push_back(s);
    }
    std::sort(mine.begin(), mine.end(),
              [](const IndexSegment& a, const IndexSegment& b) { return a.segment < b.segment; });
    std::vector<text::FieldLayout> fields;
    int32_t at = 0;
    bool fits = !mine.empty();
    for (const IndexSegment& s : mine) {
      if (s.length < 1 || s.length > TMBIO_MAX_KEY_LENGTH || s.offset < 0 ||
          int64_t{s.offset} + s.length > t->table.record_length ||
          at + s.length > TMBIO_MAX_KEY_LENGTH) {
        fits = false;
        break;
      }
      KeySegment g;
      g.offset = s.offset;
      g.length = s.length;
      g.flags = s.flags;
      g.descending = (s.flags & TMBIO_SEG_DESCENDING) != 0;
      for (size_t i = 0; i < t->table.columns.size(); ++i) {
        const Column& col = t->table.columns[i];
        if (col.offset == s.offset && col.length == s.length &&
            t->fields[i].kind == FieldAt(SegmentKind(s.flags), "", 0, s.length).kind) {
          g.column = static_cast<int32_t>(i);
        }
      }
      key.segments.push_back(g);
      // The key's value in client form: the segments' bytes one after the other.
      fields.push_back(FieldAt(SegmentKind(s.flags), "key " + k.name, at, s.length));
      at += s.length;
    }
    // A key the view cannot read is not declared: its plans would need it.
    if (!fits) continue;
    t->table.keys.push_back(std::move(key));
    t->key_fields.push_back(std::move(fields));
    t->key_lengths.push_back(at);
  }
  return true;
}

}  // namespace

bool LoadCatalog(Client& c, int32_t env, std::vector<TableLayout>* out, std::string* error) {
  out->clear();
  int32_t handle = 0, handle_error = 0;
  if (!CallRequestHandle(c, env, &handle, &handle_error, error)) return false;
  if (handle == 0) {
    *error = "the server lists no tables: " + StatusText(-handle_error);
    return false;
  }
  std::map<std::string, TableRow> tables;
  std::map<std::string, std::vector<ColumnEntry>> columns;
  const bool listed = FetchTables(c, handle, &tables, error) &&
                      FetchColumns(c, handle, tables, &columns, error);
  std::string ignored;
  if (c.connected()) CallFreeHandle(c, handle, &ignored);
  if (!listed) return false;

  for (const auto& [name, row] : tables) {
    TableLayout t;
    t.table.name = name;
    t.table.file = name + ".tmb";
    t.table.record_count = std::max(row.record_count, 0);
    OpenedFile file;
    if (!CallOpenFile(c, env, t.table.file, TMBIO_OPEN_NORMAL, &file, error)) return false;
    // A file the catalog lists but this client may not open is left out:
    // a query on it then finds no such table rather than half of one.
    if (file.id == -1) continue;
    t.opened = file.id;
    if (file.record_length < 1 || file.record_length > 65535 || file.variable_length < 0 ||
        file.variable_length > kMaxRecordBytes - file.record_length) {
      *error = "the server gives " + t.table.file + " records of " +
               std::to_string(file.record_length) + " + " + std::to_string(file.variable_length) +
               " bytes";
      return false;
    }
    t.table.record_length = file.record_length;
    t.variable_length = file.variable_length;
    t.block_reads = (file.flags & 0x1) == 0 && file.variable_length == 0;
    auto& mine = columns[name];
    std::stable_sort(mine.begin(), mine.end(),
                     [](const ColumnEntry& a, const ColumnEntry& b) {
                       return a.ordinal < b.ordinal;
                     });
    for (ColumnEntry& e : mine) {
      std::string why;
      // A column outside the record has no value to read.
      if (!text::CheckField(e.layout, static_cast<size_t>(file.record_length), &why)) continue;
      t.table.columns.push_back(std::move(e.column));
      t.fields.push_back(std::move(e.layout));
    }
    if (!LoadKeys(c, file.key_count, &t, error)) return false;
    out->push_back(std::move(t));
  }
  return true;
}

}  // namespace tmb::sql
