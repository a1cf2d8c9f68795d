#include "client/cli_data_session.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "client/data_calls.h"
#include "client/field_kinds.h"
#include "tmbio/tmbio.h"

namespace tmb::cli {
namespace {

namespace text = tmbio::text;

constexpr int32_t kMaxRecordLength = 65535;  // the data library's longest fixed part
constexpr int16_t kOpenNormal = TMBIO_OPEN_NORMAL;

}  // namespace

int LibraryFailed(Context& ctx, const std::string& what, int32_t status) {
  ctx.Err() << "tmbcli: " << what << ": " << StatusText(status) << " (" << status << ")\n";
  return kExitNo;  // the server answered: the answer is no
}

std::string TableOf(const std::string& file) {
  std::string name = file.substr(file.find_last_of("/\\") + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmb") == 0) name.resize(name.size() - 4);
  return name;
}

std::string FileOf(const std::string& file) {
  return file.size() > 4 && file.compare(file.size() - 4, 4, ".tmb") == 0 ? file : file + ".tmb";
}

// Connects and allocates the environment; prints why not and returns the
// exit code, or kExitOk.
int DataSession::Start() {
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
int DataSession::RequestHandle(int32_t* handle) {
  std::string error;
  int32_t handle_error = 0;
  if (!CallRequestHandle(client_, env_, handle, &handle_error, &error)) {
    return Broken(ctx_, "requesting an SQL handle", error);
  }
  if (*handle == 0) return LibraryFailed(ctx_, "no SQL handle", -handle_error);
  return kExitOk;
}

// Opens `name` and reads its field layout.
int DataSession::OpenFile(const std::string& name) {
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
std::vector<std::string> DataSession::Values(const std::string& record) const {
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
int DataSession::KeySegments(int32_t number, std::vector<IndexSegment>* segments) {
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
int DataSession::UseKey(int32_t number) {
  int32_t status = 0;
  std::string error;
  if (!CallKeyAdjust(client_, file_.id, static_cast<int16_t>(number), "", &status, &error)) {
    return Broken(ctx_, "choosing the key", error);
  }
  if (status < 0 && status != TMBIO_END) return LibraryFailed(ctx_, "key " + std::to_string(number), status);
  return kExitOk;
}

// Encodes CSV key values, one per segment of key `number`.
int DataSession::EncodeKey(int32_t number, const std::string& csv, std::string* key) {
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
    const text::FieldKind kind = SegmentKind(segments[i].flags);
    const std::string name =
        "segment " + std::to_string(i + 1) + " of key " + std::to_string(number);
    if (segments[i].length < 1 || segments[i].length > TMBIO_MAX_KEY_LENGTH) {
      ctx_.Err() << "tmbcli: the server gives " << name << " " << segments[i].length
                 << " bytes\n";
      return kExitFailure;
    }
    const text::FieldLayout f = FieldAt(kind, name, 0, segments[i].length);
    std::string bytes(static_cast<size_t>(f.length), '\0');
    if (!text::EncodeField(f, values[i], Bytes(bytes), &error)) {
      ctx_.Err() << "tmbcli: " << error << "\n";
      return kExitUsage;
    }
    *key += bytes;
  }
  return kExitOk;
}

int DataSession::LoadFields(const std::string& table) {
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
      f.layout = FieldAt(ColumnKind(f.type_name, schema, f.name), "field " + f.name, r.ints[7],
                         r.ints[2]);
      fields_.push_back(std::move(f));
    }
    if (filled < kFetchBatch) break;
  }
  CallFreeHandle(client_, handle, &error);
  std::sort(fields_.begin(), fields_.end(),
            [](const FieldInfo& a, const FieldInfo& b) { return a.ordinal < b.ordinal; });
  return kExitOk;
}

DataSession::~DataSession() {
  std::string error;
  if (file_.id != -1 && client_.connected()) {
    int32_t status = 0;
    CallCloseFile(client_, file_.id, &status, &error);
  }
  if (env_ != 0 && client_.connected()) CallDeAllocEnv(client_, env_, &error);
}

}  // namespace tmb::cli
