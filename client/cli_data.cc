// tmbcli's data commands: list tables and columns, describe a file, dump,
// get, put and delete records, and list files on the server. Records are
// shown and entered field by field, as the server's column descriptions lay
// them out; keys are entered as CSV values, one per key segment. Values
// and CSV follow tmbio::text, as tmbadmin's do.
#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "client/cli.h"
#include "client/cli_data_session.h"
#include "client/data_calls.h"
#include "tmbio/record_text.h"
#include "tmbio/tmbio.h"

namespace tmb::cli {
namespace {

namespace text = tmbio::text;

bool WantCsv(Context& ctx) {
  const auto it = std::find(ctx.args.begin(), ctx.args.end(), "--csv");
  if (it == ctx.args.end()) return false;
  ctx.args.erase(it);
  return true;
}

// Prints rows as an aligned table or as CSV.
class RecordPrinter {
 public:
  RecordPrinter(Context& ctx, const DataSession& session, bool csv)
      : ctx_(ctx), session_(session), fields_(session.fields()), csv_(csv) {
    if (csv_) {
      std::vector<std::string> names;
      for (const FieldInfo& f : fields_) names.push_back(f.name);
      Print(names);
    }
  }
  void Add(const std::string& record) {
    std::vector<std::string> row = session_.Values(record);
    if (csv_) {
      Print(row);
    } else {
      rows_.push_back(std::move(row));
    }
    ++count_;
  }
  void Finish() {
    if (csv_) return;
    std::vector<size_t> widths;
    for (const FieldInfo& f : fields_) widths.push_back(f.name.size());
    for (const auto& row : rows_) {
      for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    auto line = [&](const std::vector<std::string>& cells) {
      std::string shown;
      for (size_t i = 0; i < cells.size(); ++i) {
        const bool right = fields_[i].layout.kind == text::FieldKind::kSigned ||
                           fields_[i].layout.kind == text::FieldKind::kUnsigned;
        const std::string pad(widths[i] - cells[i].size(), ' ');
        shown += (i ? "  " : "") + (right ? pad + cells[i] : cells[i] + pad);
      }
      ctx_.Out() << shown.substr(0, shown.find_last_not_of(' ') + 1) << "\n";
    };
    std::vector<std::string> header;
    for (const FieldInfo& f : fields_) header.push_back(f.name);
    line(header);
    std::vector<std::string> rule;
    for (size_t w : widths) rule.push_back(std::string(w, '-'));
    line(rule);
    for (const auto& row : rows_) line(row);
    ctx_.Out() << "(" << count_ << " record" << (count_ == 1 ? "" : "s") << ")\n";
  }

 private:
  void Print(const std::vector<std::string>& row) {
    std::string line;
    text::AppendCsvRecord(row, &line);
    ctx_.Out() << line;
  }

  Context& ctx_;
  const DataSession& session_;
  const std::vector<FieldInfo>& fields_;
  bool csv_;
  std::vector<std::vector<std::string>> rows_;
  int64_t count_ = 0;
};

int Tables(Context& ctx) {
  if (ctx.args.size() > 1) {
    ctx.Err() << "tmbcli: usage: tmbcli tables [PATTERN]\n";
    return kExitUsage;
  }
  DataSession session(ctx);
  if (int code = session.Start(); code != kExitOk) return code;
  int32_t handle = 0;
  if (int code = session.RequestHandle(&handle); code != kExitOk) return code;
  std::string error;
  int32_t status = 0, tables = 0, columns = 0;
  const std::string pattern = ctx.args.empty() ? "" : ctx.args[0];
  if (!CallGetTables(session.client(), handle, pattern, &status, &tables, &columns, &error)) {
    return Broken(ctx, "listing the tables", error);
  }
  if (status < 0) return LibraryFailed(ctx, "listing the tables", status);
  ctx.Out() << std::left << std::setw(24) << "TABLE" << std::right << std::setw(8) << "RECLEN"
            << std::setw(6) << "KEYS" << std::setw(10) << "RECORDS" << "  DESCRIPTION\n";
  for (;;) {
    std::vector<TableRow> rows;
    int32_t filled = 0;
    if (!CallFetchTable(session.client(), handle, kFetchBatch, &filled, &rows, &error)) {
      return Broken(ctx, "fetching the tables", error);
    }
    for (const TableRow& t : rows) {
      ctx.Out() << std::left << std::setw(24) << t.texts[0] << std::right << std::setw(8)
                << t.record_length << std::setw(6) << int{t.key_count} << std::setw(10)
                << t.record_count << "  " << t.texts[3] << "\n";
    }
    if (filled < kFetchBatch) break;
  }
  CallFreeHandle(session.client(), handle, &error);
  ctx.Out() << "(" << tables << " table" << (tables == 1 ? "" : "s") << ", " << columns
            << " columns)\n";
  return tables > 0 ? kExitOk : kExitNo;
}

int Columns(Context& ctx) {
  if (ctx.args.empty() || ctx.args.size() > 2) {
    ctx.Err() << "tmbcli: usage: tmbcli columns TABLE [COLUMN-PATTERN]\n";
    return kExitUsage;
  }
  DataSession session(ctx);
  if (int code = session.Start(); code != kExitOk) return code;
  int32_t handle = 0;
  if (int code = session.RequestHandle(&handle); code != kExitOk) return code;
  std::string error;
  int32_t status = 0, count = 0;
  if (!CallGetColumns(session.client(), handle, TableOf(ctx.args[0]),
                      ctx.args.size() > 1 ? ctx.args[1] : "", &status, &count, &error)) {
    return Broken(ctx, "listing the columns", error);
  }
  if (status < 0) return LibraryFailed(ctx, "listing the columns", status);
  ctx.Out() << std::left << std::setw(16) << "TABLE" << std::setw(20) << "COLUMN" << std::setw(10)
            << "TYPE" << std::right << std::setw(7) << "OFFSET" << std::setw(7) << "LENGTH"
            << "  NULL  KEYS\n";
  for (;;) {
    std::vector<ColumnRow> rows;
    int32_t filled = 0;
    if (!CallFetchColumn(session.client(), handle, kFetchBatch, &filled, &rows, &error)) {
      return Broken(ctx, "fetching the columns", error);
    }
    for (const ColumnRow& r : rows) {
      ctx.Out() << std::left << std::setw(16) << r.texts[2] << std::setw(20) << r.texts[3]
                << std::setw(10) << r.texts[4] << std::right << std::setw(7) << r.ints[7]
                << std::setw(7) << r.ints[2] << "  " << (r.ints[5] != 0 ? "yes " : "no  ") << "  "
                << r.texts[10] << "\n";
    }
    if (filled < kFetchBatch) break;
  }
  CallFreeHandle(session.client(), handle, &error);
  ctx.Out() << "(" << count << " column" << (count == 1 ? "" : "s") << ")\n";
  return count > 0 ? kExitOk : kExitNo;
}

int Describe(Context& ctx) {
  if (!ArgumentCount(ctx, 1, "describe FILE")) return kExitUsage;
  DataSession session(ctx);
  if (int code = session.OpenFile(ctx.args[0]); code != kExitOk) return code;
  std::string error;
  int32_t status = 0;
  FileDescription d;
  if (!CallDescribeFile(session.client(), session.file().id, &status, &d, &error)) {
    return Broken(ctx, "describing the file", error);
  }
  if (status != 1) return LibraryFailed(ctx, "describing the file", status);
  std::vector<IndexKey> keys;
  std::vector<IndexSegment> segments;
  if (!CallDescribeIndex(session.client(), session.file().id, 0, TMBIO_MAX_KEYS,
                         TMBIO_MAX_KEYS * TMBIO_MAX_SEGMENTS, &status, &keys, &segments, &error)) {
    return Broken(ctx, "describing the keys", error);
  }
  std::ostream& out = ctx.Out();
  out << FileOf(ctx.args[0]) << ": kind " << d.values[5] << ", record length " << d.values[0];
  if (d.values[1] != 0) out << " + up to " << d.values[1] << " variable";
  out << ", " << d.values[4] << " record" << (d.values[4] == 1 ? "" : "s") << ", "
      << d.values[11] << " dictionary entr" << (d.values[11] == 1 ? "y" : "ies") << ", "
      << d.values[10] << " KiB" << (d.byte2 ? ", open read-only" : "") << "\n";
  out << "fields:\n";
  for (const FieldInfo& f : session.fields()) {
    out << "  " << std::left << std::setw(20) << f.name << std::setw(10) << f.type_name
        << std::right << " offset " << std::setw(5) << f.layout.offset << "  length "
        << std::setw(5) << f.layout.length << (f.nullable ? "  nullable" : "") << "\n";
  }
  out << "keys:\n";
  for (const IndexKey& k : keys) {
    out << "  " << k.number << " " << k.name << " (" << k.length << " bytes, "
        << (k.duplicates ? "duplicates allowed" : "unique") << ")\n";
    for (const IndexSegment& s : segments) {
      if (s.key != k.number) continue;
      std::string what;
      switch (s.flags & TMBIO_SEG_TYPE_MASK) {
        case TMBIO_SEG_SIGNED: what = "signed"; break;
        case TMBIO_SEG_UNSIGNED: what = "unsigned"; break;
        case TMBIO_SEG_DATE: what = "date"; break;
        default: what = "text"; break;
      }
      if (s.flags & TMBIO_SEG_NOCASE) what += ", ignoring case";
      if (s.flags & TMBIO_SEG_DESCENDING) what += ", descending";
      if (s.flags & TMBIO_SEG_SPARSE) what += ", sparse";
      if (s.flags & TMBIO_SEG_AUTOINC) what += ", auto-increment";
      std::string field;
      for (const FieldInfo& f : session.fields()) {
        if (f.layout.offset == s.offset) field = f.name;
      }
      out << "     segment " << int{s.segment} << ": "
          << (field.empty() ? "bytes" : field) << " at " << s.offset << ", " << s.length
          << " bytes, " << what << "\n";
    }
  }
  return kExitOk;
}

// Reads records in key order: in blocks where the file allows them, else one
// at a time; calls `each` until it returns false or the records end.
template <typename Each>
int ForEachRecord(Context& ctx, DataSession& session, Each each) {
  Client& c = session.client();
  const int32_t file = session.file().id;
  std::string error;
  ReadBlockReply block;
  if (!CallReadBlock(c, file, TMBIO_SEEK_FIRST, &block, &error)) {
    return Broken(ctx, "reading a block", error);
  }
  if (!block.refused) {
    size_t skip = 0;
    for (;;) {
      for (size_t i = skip; i < block.entries.size(); ++i) {
        if (!each(block.entries[i].record)) return kExitOk;
      }
      if (block.entries.size() < static_cast<size_t>(session.file().block_records) ||
          block.entries.empty()) {
        return kExitOk;
      }
      // A block read always starts with a seek. Seek mode 0 is no seek mode:
      // the position stays on the last record read, so the next block
      // starts with that record again (duplicate keys included), and it is
      // skipped.
      const BlockEntry last = block.entries.back();
      if (!CallReadBlock(c, file, 0, &block, &error)) return Broken(ctx, "reading a block", error);
      skip = !block.entries.empty() && block.entries[0].key == last.key &&
                     block.entries[0].record == last.record
                 ? 1
                 : 0;
    }
  }
  // Files with variable parts: record by record.
  const int32_t size = static_cast<int32_t>(
      std::min<int64_t>(kMaxReadSize, int64_t{session.file().record_length} +
                                          session.file().variable_length));
  for (int16_t mode = TMBIO_READ_FIRST;; mode = TMBIO_READ_NEXT) {
    int32_t status = 0;
    std::string record;
    if (!CallReadRecord(c, file, static_cast<int16_t>(size), mode, &status, &record, &error)) {
      return Broken(ctx, "reading", error);
    }
    if (status == TMBIO_END) return kExitOk;
    if (status < 0 && status != TMBIO_FILLED) return LibraryFailed(ctx, "reading", status);
    if (!each(record)) return kExitOk;
  }
}

int Dump(Context& ctx) {
  const bool csv = WantCsv(ctx);
  int64_t key = 1, limit = -1;
  if (!TakeNumber(ctx, "--key", 1, TMBIO_MAX_KEYS, &key) ||
      !TakeNumber(ctx, "--limit", 0, INT32_MAX, &limit)) {
    return kExitUsage;
  }
  if (!ArgumentCount(ctx, 1, "dump FILE [--key N] [--limit N] [--csv]")) return kExitUsage;
  DataSession session(ctx);
  if (int code = session.OpenFile(ctx.args[0]); code != kExitOk) return code;
  if (key > session.file().key_count) {
    ctx.Err() << "tmbcli: the file has no key " << key << " (it has " << session.file().key_count
              << ")\n";
    return kExitUsage;
  }
  if (int code = session.UseKey(static_cast<int32_t>(key)); code != kExitOk) return code;
  RecordPrinter printer(ctx, session, csv);
  int64_t left = limit;
  const int code = ForEachRecord(ctx, session, [&](const std::string& record) {
    if (left == 0) return false;
    printer.Add(record);
    if (left > 0) --left;
    return left != 0;
  });
  printer.Finish();
  return code;
}

// Makes key `key_number` current and encodes the CSV key for it.
int PrepareKey(Context& ctx, DataSession& session, int32_t key_number, const std::string& csv,
               std::string* key) {
  if (key_number > session.file().key_count) {
    ctx.Err() << "tmbcli: the file has no key " << key_number << " (it has "
              << session.file().key_count << ")\n";
    return kExitUsage;
  }
  if (int code = session.UseKey(key_number); code != kExitOk) return code;
  if (int code = session.EncodeKey(key_number, csv, key); code != kExitOk) return code;
  return kExitOk;
}

int Get(Context& ctx) {
  const bool csv = WantCsv(ctx);
  int64_t key_number = 1;
  if (!TakeNumber(ctx, "--key", 1, TMBIO_MAX_KEYS, &key_number)) return kExitUsage;
  if (!ArgumentCount(ctx, 2, "get FILE KEY [--key N] [--csv]")) return kExitUsage;
  DataSession session(ctx);
  if (int code = session.OpenFile(ctx.args[0]); code != kExitOk) return code;
  std::string key, error;
  if (int code = PrepareKey(ctx, session, static_cast<int32_t>(key_number), ctx.args[1], &key);
      code != kExitOk) {
    return code;
  }
  int32_t status = 0;
  if (!CallSeekKey(session.client(), session.file().id, TMBIO_SEEK_EQUAL, key, &status, &error)) {
    return Broken(ctx, "positioning", error);
  }
  if (status != 1) return LibraryFailed(ctx, "key " + ctx.args[1], status);
  std::string record;
  const int32_t size = static_cast<int32_t>(std::min<int64_t>(
      kMaxReadSize, int64_t{session.file().record_length} + session.file().variable_length));
  if (!CallReadRecord(session.client(), session.file().id, static_cast<int16_t>(size),
                      TMBIO_READ_POSITIONED, &status, &record, &error)) {
    return Broken(ctx, "reading", error);
  }
  if (status < 0 && status != TMBIO_FILLED) return LibraryFailed(ctx, "reading", status);
  if (csv) {
    RecordPrinter printer(ctx, session, true);
    printer.Add(record);
    return kExitOk;
  }
  size_t width = 0;
  for (const FieldInfo& f : session.fields()) width = std::max(width, f.name.size());
  const std::vector<std::string> values = session.Values(record);
  for (size_t i = 0; i < values.size(); ++i) {
    ctx.Out() << std::left << std::setw(static_cast<int>(width)) << session.fields()[i].name
              << "  " << values[i] << "\n";
  }
  return kExitOk;
}

// Builds a record from values in field order; false with *error.
bool BuildRecord(const DataSession& session, const std::vector<std::string>& values,
                 std::string* record, std::string* error) {
  const auto& fields = session.fields();
  if (values.size() != fields.size()) {
    *error = "the record has " + std::to_string(fields.size()) + " fields (";
    for (size_t i = 0; i < fields.size(); ++i) *error += (i ? "," : "") + fields[i].name;
    *error += "), but " + std::to_string(values.size()) + " values were given";
    return false;
  }
  record->assign(static_cast<size_t>(session.file().record_length), '\0');
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!text::EncodeField(fields[i].layout, values[i], Bytes(*record), error)) return false;
  }
  return true;
}

int Put(Context& ctx) {
  const auto upsert_it = std::find(ctx.args.begin(), ctx.args.end(), "--upsert");
  const bool upsert = upsert_it != ctx.args.end();
  if (upsert) ctx.args.erase(upsert_it);
  if (ctx.args.empty() || ctx.args.size() > 2) {
    ctx.Err() << "tmbcli: usage: tmbcli put FILE [CSV-VALUES] [--upsert]  (without values: CSV "
                 "records from standard input)\n";
    return kExitUsage;
  }
  DataSession session(ctx);
  if (int code = session.OpenFile(ctx.args[0]); code != kExitOk) return code;
  std::vector<IndexSegment> key_segments;
  if (upsert) {
    if (int code = session.KeySegments(1, &key_segments); code != kExitOk) return code;
  }
  // Writes one record; `line` is where standard input gave it, 0 for the
  // command line.
  auto write = [&](const std::vector<std::string>& values, int64_t line) {
    const std::string where = line > 0 ? "line " + std::to_string(line) : "";
    std::string record, key, error;
    if (!BuildRecord(session, values, &record, &error)) {
      ctx.Err() << "tmbcli: " << (line > 0 ? where + ": " : "") << error << "\n";
      return kExitUsage;
    }
    for (const IndexSegment& s : key_segments) {
      if (s.offset < 0 || s.length < 0 ||
          static_cast<size_t>(s.offset) + static_cast<size_t>(s.length) > record.size()) {
        ctx.Err() << "tmbcli: the server places key 1 outside the record\n";
        return kExitFailure;
      }
      key += record.substr(static_cast<size_t>(s.offset), static_cast<size_t>(s.length));
    }
    int32_t status = 0;
    if (!CallExtWrite(session.client(), session.file().id, record, key,
                      upsert ? TMBIO_WRITE_UPSERT : TMBIO_WRITE_INSERT, 0, &status, &error)) {
      return Broken(ctx, "writing", error);
    }
    if (status < 0) return LibraryFailed(ctx, line > 0 ? where : "writing", status);
    if (line == 0) ctx.Out() << "written at position " << status << "\n";
    return kExitOk;
  };
  std::vector<std::string> values;
  if (ctx.args.size() == 2) {
    std::string error;
    if (!text::SplitCsvRecord(ctx.args[1], &values, &error)) {
      ctx.Err() << "tmbcli: the values: " << error << "\n";
      return kExitUsage;
    }
    return write(values, 0);
  }
  text::CsvReader reader(&std::cin);
  int64_t written = 0;
  for (; reader.Next(&values); ++written) {
    if (int code = write(values, reader.line()); code != kExitOk) return code;
  }
  if (!reader.error().empty()) {
    ctx.Err() << "tmbcli: line " << reader.line() << ": " << reader.error() << "\n";
    return kExitUsage;
  }
  ctx.Out() << written << " record" << (written == 1 ? "" : "s") << " written\n";
  return kExitOk;
}

int Delete(Context& ctx) {
  int64_t key_number = 1;
  if (!TakeNumber(ctx, "--key", 1, TMBIO_MAX_KEYS, &key_number)) return kExitUsage;
  if (!ArgumentCount(ctx, 2, "delete FILE KEY [--key N]")) return kExitUsage;
  DataSession session(ctx);
  if (int code = session.OpenFile(ctx.args[0]); code != kExitOk) return code;
  std::string key, error;
  if (int code = PrepareKey(ctx, session, static_cast<int32_t>(key_number), ctx.args[1], &key);
      code != kExitOk) {
    return code;
  }
  int32_t status = 0;
  if (!CallRemoveRecord(session.client(), session.file().id, key, &status, &error)) {
    return Broken(ctx, "removing", error);
  }
  if (status < 0) return LibraryFailed(ctx, "key " + ctx.args[1], status);
  ctx.Out() << "deleted\n";
  return kExitOk;
}

int List(Context& ctx) {
  if (!ArgumentCount(ctx, 1, "ls PATTERN  (a path on the server; * and ? in its last part)")) {
    return kExitUsage;
  }
  if (ctx.args[0].size() > 255) {
    ctx.Err() << "tmbcli: a pattern has at most 255 characters\n";
    return kExitUsage;
  }
  Client client;
  if (!Open(ctx, client)) return kExitFailure;
  int32_t id = -1;
  std::string name, error;
  if (!CallFindFirstFile(client, ctx.args[0], &id, &name, &error)) {
    return Broken(ctx, "searching", error);
  }
  if (id == -1) {
    ctx.Err() << "tmbcli: nothing on the server matches " << ctx.args[0] << "\n";
    return kExitNo;
  }
  for (bool found = true; found;) {
    ctx.Out() << name << "\n";
    if (!CallFindNextFile(client, id, &found, &name, &error)) return Broken(ctx, "searching", error);
  }
  CallFindClose(client, id, &error);
  return kExitOk;
}

const Command kCommands[] = {
    {"tables", "[PATTERN]", "lists the data files of the default catalog (SQL LIKE pattern)",
     Tables},
    {"columns", "TABLE [COLUMN-PATTERN]", "lists a table's columns: type, offset, length, keys",
     Columns},
    {"describe", "FILE", "shows a file's definition: fields, keys and segments, counts", Describe},
    {"dump", "FILE [--key N] [--limit N] [--csv]",
     "prints the records in the order of key N (default 1) as a table or as CSV", Dump},
    {"get", "FILE KEY [--key N] [--csv]",
     "prints the record whose key N equals KEY (CSV values, one per key segment)", Get},
    {"put", "FILE [CSV-VALUES] [--upsert]",
     "writes a record from its field values; without values, CSV records from standard input",
     Put},
    {"delete", "FILE KEY [--key N]", "removes the record whose key N equals KEY", Delete},
    {"ls", "PATTERN", "lists the files on the server that match a path with * and ?", List},
};

}  // namespace

std::span<const Command> DataCommands() { return kCommands; }

}  // namespace tmb::cli
