// tmbcli's data commands: list tables and columns, describe a file, dump,
// get, put and delete records, and list files on the server. Records are
// shown and entered field by field, as the server's column descriptions lay
// them out; keys are entered as CSV values, one per key segment. Values
// and CSV follow tmbio::text, as tmbadmin's do.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "client/cli.h"
#include "client/data_calls.h"
#include "tmbio/record_text.h"
#include "tmbio/tmbio.h"

namespace tmb::cli {
namespace {

namespace text = tmbio::text;

constexpr int32_t kFetchBatch = 64;
constexpr int32_t kMaxReadSize = 32767;      // ReadRecord's size is 16 bits
constexpr int32_t kMaxRecordLength = 65535;  // the data library's longest fixed part
constexpr int16_t kOpenNormal = TMBIO_OPEN_NORMAL;

// What every status of the data library means, in words.
std::string StatusText(int32_t status) {
  switch (status) {
    case TMBIO_END: return "no such record (or no more records)";
    case TMBIO_FILLED: return "the record is longer than the buffer";
    case TMBIO_INVALID: return "invalid handle, mode, key number or argument";
    case TMBIO_STOP: return "the read passed its bound or scan limit";
    case TMBIO_DUPLICATE: return "a record with that key already exists (the key allows no duplicates)";
    case TMBIO_LOCKED: return "the record is locked by another client";
    case TMBIO_BUSY: return "the file is held by another client's transaction";
    case TMBIO_IO_ERROR: return "the server's disk or database failed";
    case TMBIO_DENIED: return "access denied (read-only file, exclusive open elsewhere, or logon needed)";
    case TMBIO_NO_CURRENT: return "there is no current record";
    case TMBIO_BAD_LENGTH: return "a record or key length is out of range";
    case TMBIO_TX_STATE: return "the transaction is not in the right state";
    case TMBIO_NO_FILE: return "no such data file in the catalog's data directory";
    case TMBIO_CORRUPT: return "not a data file, or its definition is invalid";
    case TMBIO_NO_MEMORY: return "the server ran out of memory";
    case TMBIO_LIMIT: return "too many open files, handles or conditions";
    default: return "status " + std::to_string(status);
  }
}

int LibraryFailed(Context& ctx, const std::string& what, int32_t status) {
  ctx.Err() << "tmbcli: " << what << ": " << StatusText(status) << " (" << status << ")\n";
  return kExitNo;  // the server answered: the answer is no
}

// The table name of a file argument: its last component without ".tmb".
std::string TableOf(const std::string& file) {
  std::string name = file.substr(file.find_last_of("/\\") + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmb") == 0) name.resize(name.size() - 4);
  return name;
}

std::string FileOf(const std::string& file) {
  return file.size() > 4 && file.compare(file.size() - 4, 4, ".tmb") == 0 ? file : file + ".tmb";
}

struct FieldInfo {
  std::string name;
  std::string type_name;
  bool nullable = false;
  int32_t ordinal = 0;
  text::FieldLayout layout;
};

// The column descriptions do not tell signed from unsigned integers; the
// file's schema, when the table record carries it, does. Its JSON is
// compact with sorted members, so a field reads {..."name":"N",...,
// "type":"uint"} with no text member between the two.
bool UnsignedInSchema(const std::string& schema, const std::string& field) {
  if (field.find_first_of("\"\\") != std::string::npos) return false;
  const size_t fields = schema.find("\"fields\":[");
  if (fields == std::string::npos) return false;
  const size_t end = schema.find("],\"keys\":", fields);
  const size_t name = schema.find("\"name\":\"" + field + "\"", fields);
  if (name == std::string::npos || name > end) return false;
  const size_t close = schema.find('}', name);
  const size_t type = schema.find("\"type\":\"uint\"", name);
  return type != std::string::npos && type < close;
}

text::FieldKind KindOf(const std::string& type_name) {
  if (type_name == "CHAR") return text::FieldKind::kText;
  if (type_name == "DATE") return text::FieldKind::kDate;
  if (type_name.find("UNSIGNED") != std::string::npos) return text::FieldKind::kUnsigned;
  if (type_name == "INTEGER" || type_name == "SMALLINT" || type_name == "BIGINT" ||
      type_name == "TINYINT") {
    return text::FieldKind::kSigned;
  }
  return text::FieldKind::kBinary;
}

// A field or key segment as the server describes it. A length its kind
// cannot hold (an integer of 3 bytes) is shown and entered as hex rather
// than refused; one outside the record is refused when it is used.
text::FieldLayout Layout(text::FieldKind kind, std::string name, int32_t offset, int32_t length) {
  text::FieldLayout f{kind, 0, length, std::move(name)};
  std::string error;
  if (!text::CheckField(f, static_cast<size_t>(std::max(length, 0)), &error)) {
    f.kind = text::FieldKind::kBinary;
  }
  f.offset = offset;
  return f;
}

std::span<uint8_t> Bytes(std::string& s) {
  return {reinterpret_cast<uint8_t*>(s.data()), s.size()};
}

// One connection with an environment, and optionally one open file with its
// field and key layouts.
class DataSession {
 public:
  explicit DataSession(Context& ctx) : ctx_(ctx) {}
  ~DataSession() {
    std::string error;
    if (file_.id != -1 && client_.connected()) {
      int32_t status = 0;
      CallCloseFile(client_, file_.id, &status, &error);
    }
    if (env_ != 0 && client_.connected()) CallDeAllocEnv(client_, env_, &error);
  }

  Client& client() { return client_; }
  int32_t env() const { return env_; }
  const OpenedFile& file() const { return file_; }
  const std::vector<FieldInfo>& fields() const { return fields_; }

  // Connects and allocates the environment; prints why not and returns the
  // exit code, or kExitOk.
  int Start() {
    if (!Open(ctx_, client_)) return kExitFailure;
    std::string error;
    if (!CallAllocEnv(client_, &env_, &error)) return Broken(ctx_, "allocating an environment", error);
    if (env_ == 0) {
      ctx_.Err() << "tmbcli: the server could not create an environment\n";
      return kExitFailure;
    }
    return kExitOk;
  }

  // Asks for an SQL handle in the environment; prints why not and returns
  // the exit code, or kExitOk with *handle set.
  int RequestHandle(int32_t* handle) {
    std::string error;
    int32_t handle_error = 0;
    if (!CallRequestHandle(client_, env_, handle, &handle_error, &error)) {
      return Broken(ctx_, "requesting an SQL handle", error);
    }
    if (*handle == 0) return LibraryFailed(ctx_, "no SQL handle", -handle_error);
    return kExitOk;
  }

  // Opens `name` and reads its field layout.
  int OpenFile(const std::string& name) {
    if (int code = Start(); code != kExitOk) return code;
    std::string error;
    if (!CallOpenFile(client_, env_, FileOf(name), kOpenNormal, &file_, &error)) {
      return Broken(ctx_, "opening " + name, error);
    }
    if (file_.id == -1) {
      const int32_t status = -file_.error;
      file_.id = -1;
      return LibraryFailed(ctx_, "cannot open " + FileOf(name), status);
    }
    // Records are made and read at this length, so it is bounded before use.
    if (file_.record_length < 1 || file_.record_length > kMaxRecordLength) {
      ctx_.Err() << "tmbcli: the server gives " << FileOf(name) << " records of "
                 << file_.record_length << " bytes\n";
      return kExitFailure;
    }
    return LoadFields(TableOf(name));
  }

  // The field values of `record` as text, in field order. A short record
  // reads as the library pads it, with zero bytes; the variable part is no
  // field's.
  std::vector<std::string> Values(const std::string& record) const {
    std::string fixed = record.substr(0, static_cast<size_t>(file_.record_length));
    fixed.resize(static_cast<size_t>(file_.record_length), '\0');
    std::vector<std::string> values(fields_.size());
    std::string error;
    for (size_t i = 0; i < fields_.size(); ++i) {
      // Only a field outside the record is refused: it has no value to show.
      text::DecodeField(fields_[i].layout, Bytes(fixed), &values[i], &error);
    }
    return values;
  }

  // The segments (offset, length, flags) of key `number`.
  int KeySegments(int32_t number, std::vector<IndexSegment>* segments) {
    int32_t status = 0;
    std::vector<IndexKey> keys;
    std::string error;
    if (!CallDescribeIndex(client_, file_.id, number - 1, number, TMBIO_MAX_SEGMENTS * TMBIO_MAX_KEYS,
                           &status, &keys, segments, &error)) {
      return Broken(ctx_, "describing the keys", error);
    }
    if (status <= 0 || keys.empty()) {
      ctx_.Err() << "tmbcli: the file has no key " << number << " (it has " << file_.key_count
                 << ")\n";
      return kExitUsage;
    }
    segments->erase(std::remove_if(segments->begin(), segments->end(),
                                   [&](const IndexSegment& s) { return s.key != number; }),
                    segments->end());
    return kExitOk;
  }

  // Makes key `number` the file's current key.
  int UseKey(int32_t number) {
    int32_t status = 0;
    std::string error;
    if (!CallKeyAdjust(client_, file_.id, static_cast<int16_t>(number), "", &status, &error)) {
      return Broken(ctx_, "choosing the key", error);
    }
    if (status < 0 && status != TMBIO_END) return LibraryFailed(ctx_, "key " + std::to_string(number), status);
    return kExitOk;
  }

  // Encodes CSV key values, one per segment of key `number`.
  int EncodeKey(int32_t number, const std::string& csv, std::string* key) {
    std::vector<IndexSegment> segments;
    if (int code = KeySegments(number, &segments); code != kExitOk) return code;
    std::vector<std::string> values;
    std::string error;
    if (!text::SplitCsvRecord(csv, &values, &error)) {
      ctx_.Err() << "tmbcli: the key: " << error << "\n";
      return kExitUsage;
    }
    if (values.size() > segments.size()) {
      ctx_.Err() << "tmbcli: key " << number << " has " << segments.size()
                 << " segment(s), but " << values.size() << " values were given\n";
      return kExitUsage;
    }
    key->clear();
    for (size_t i = 0; i < values.size(); ++i) {
      text::FieldKind kind = text::FieldKind::kText;
      switch (segments[i].flags & TMBIO_SEG_TYPE_MASK) {
        case TMBIO_SEG_SIGNED: kind = text::FieldKind::kSigned; break;
        case TMBIO_SEG_UNSIGNED: kind = text::FieldKind::kUnsigned; break;
        case TMBIO_SEG_DATE: kind = text::FieldKind::kDate; break;
        default: break;
      }
      const std::string name =
          "segment " + std::to_string(i + 1) + " of key " + std::to_string(number);
      if (segments[i].length < 1 || segments[i].length > TMBIO_MAX_KEY_LENGTH) {
        ctx_.Err() << "tmbcli: the server gives " << name << " " << segments[i].length
                   << " bytes\n";
        return kExitFailure;
      }
      const text::FieldLayout f = Layout(kind, name, 0, segments[i].length);
      std::string bytes(static_cast<size_t>(f.length), '\0');
      if (!text::EncodeField(f, values[i], Bytes(bytes), &error)) {
        ctx_.Err() << "tmbcli: " << error << "\n";
        return kExitUsage;
      }
      *key += bytes;
    }
    return kExitOk;
  }

 private:
  int LoadFields(const std::string& table) {
    int32_t handle = 0;
    if (int code = RequestHandle(&handle); code != kExitOk) return code;
    std::string error;
    int32_t status = 0, count = 0, tables = 0;
    std::string schema;
    if (!CallGetTables(client_, handle, table, &status, &tables, &count, &error)) {
      return Broken(ctx_, "looking up the table", error);
    }
    for (int32_t filled = kFetchBatch; filled == kFetchBatch;) {
      std::vector<TableRow> rows;
      if (!CallFetchTable(client_, handle, kFetchBatch, &filled, &rows, &error)) {
        return Broken(ctx_, "fetching the table", error);
      }
      for (const TableRow& t : rows) {
        if (t.texts[0] == table && t.has_extension) schema = t.extension;
      }
    }
    if (!CallGetColumns(client_, handle, table, "", &status, &count, &error)) {
      return Broken(ctx_, "listing the columns", error);
    }
    for (;;) {
      std::vector<ColumnRow> rows;
      int32_t filled = 0;
      if (!CallFetchColumn(client_, handle, kFetchBatch, &filled, &rows, &error)) {
        return Broken(ctx_, "fetching the columns", error);
      }
      for (const ColumnRow& r : rows) {
        // A pattern may match other tables whose names contain '_'.
        if (r.texts[2] != table) continue;
        FieldInfo f;
        f.name = r.texts[3];
        f.type_name = r.texts[4];
        f.nullable = r.ints[5] != 0;
        f.ordinal = r.ints[6];
        text::FieldKind kind = KindOf(f.type_name);
        if (kind == text::FieldKind::kSigned && UnsignedInSchema(schema, f.name)) {
          kind = text::FieldKind::kUnsigned;
        }
        f.layout = Layout(kind, "field " + f.name, r.ints[7], r.ints[2]);
        fields_.push_back(std::move(f));
      }
      if (filled < kFetchBatch) break;
    }
    CallFreeHandle(client_, handle, &error);
    std::sort(fields_.begin(), fields_.end(),
              [](const FieldInfo& a, const FieldInfo& b) { return a.ordinal < b.ordinal; });
    return kExitOk;
  }

  Context& ctx_;
  Client client_;
  int32_t env_ = 0;
  OpenedFile file_;
  std::vector<FieldInfo> fields_;
};

bool WantCsv(Context& ctx) {
  const auto it = std::find(ctx.args.begin(), ctx.args.end(), "--csv");
  if (it == ctx.args.end()) return false;
  ctx.args.erase(it);
  return true;
}

// Takes "--NAME N" as a number within [low, high]; *value keeps its default
// when the option is absent.
bool TakeNumber(Context& ctx, const std::string& name, int64_t low, int64_t high, int64_t* value) {
  std::string text, error;
  bool present = false;
  if (!TakeOption(&ctx.args, name, &text, &present, &error)) {
    ctx.Err() << "tmbcli: " << error << "\n";
    return false;
  }
  if (!present) return true;
  int64_t v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || v < low || v > high) {
    ctx.Err() << "tmbcli: " << name << " takes a number from " << low << " to " << high
              << ", not \"" << text << "\"\n";
    return false;
  }
  *value = v;
  return true;
}

bool ArgumentCount(Context& ctx, size_t want, const char* usage) {
  if (ctx.args.size() == want) return true;
  ctx.Err() << "tmbcli: usage: tmbcli " << usage << "\n";
  return false;
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
