#include "client/field_kinds.h"

#include <algorithm>
#include <utility>

#include "tmbio/tmbio.h"

namespace tmb {
namespace {

namespace text = tmbio::text;

// The schema's JSON is compact with sorted members, so a field reads
// {..."name":"N",...,"type":"uint"} with no text member between the two.
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

}  // namespace

text::FieldKind ColumnKind(const std::string& type_name, const std::string& schema,
                           const std::string& field) {
  if (type_name == "CHAR") return text::FieldKind::kText;
  if (type_name == "DATE") return text::FieldKind::kDate;
  if (type_name.find("UNSIGNED") != std::string::npos) return text::FieldKind::kUnsigned;
  if (type_name == "INTEGER" || type_name == "SMALLINT" || type_name == "BIGINT" ||
      type_name == "TINYINT") {
    return UnsignedInSchema(schema, field) ? text::FieldKind::kUnsigned : text::FieldKind::kSigned;
  }
  return text::FieldKind::kBinary;
}

text::FieldKind SegmentKind(int32_t flags) {
  switch (flags & TMBIO_SEG_TYPE_MASK) {
    case TMBIO_SEG_SIGNED: return text::FieldKind::kSigned;
    case TMBIO_SEG_UNSIGNED: return text::FieldKind::kUnsigned;
    case TMBIO_SEG_DATE: return text::FieldKind::kDate;
    default: return text::FieldKind::kText;
  }
}

text::FieldLayout FieldAt(text::FieldKind kind, std::string name, int32_t offset, int32_t length) {
  text::FieldLayout f{kind, 0, length, std::move(name)};
  std::string error;
  if (!text::CheckField(f, static_cast<size_t>(std::max(length, 0)), &error)) {
    f.kind = text::FieldKind::kBinary;
  }
  f.offset = offset;
  return f;
}

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

}  // namespace tmb
