#include "client/sql/value_codec.h"

#include <sqlite3.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tmb::sql {
namespace {

namespace text = tmbio::text;

bool IsInteger(text::FieldKind kind) {
  return kind == text::FieldKind::kSigned || kind == text::FieldKind::kUnsigned;
}

int Refuse(const text::FieldLayout& field, int code, const std::string& what,
           std::string* error) {
  *error = field.name + ": " + what;
  return code;
}

// As the codec reads a number: blanks and tabs around it dropped.
std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// An optional sign and decimal digits: a number, whether or not it fits.
bool LooksInteger(std::string_view s) {
  s = Trimmed(s);
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) s.remove_prefix(1);
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// A number as SQLite writes it, for messages.
std::string Shown(sqlite3_value* value) {
  const unsigned char* t = sqlite3_value_text(value);
  return t != nullptr ? reinterpret_cast<const char*>(t) : "";
}

// The text the codec takes for `value` in `field`: SQLITE_OK, or the result
// code of a value that has no such text (a fraction for an integer field).
int CodecText(const text::FieldLayout& field, sqlite3_value* value, std::string* out,
              std::string* error) {
  const int type = sqlite3_value_type(value);
  if (IsInteger(field.kind)) {
    if (type == SQLITE_INTEGER) {
      *out = std::to_string(sqlite3_value_int64(value));
      return SQLITE_OK;
    }
    if (type == SQLITE_FLOAT) {
      const double d = sqlite3_value_double(value);
      if (!(d == std::floor(d))) {
        return Refuse(field, kResultNotANumber, "not a whole number: " + Shown(value), error);
      }
      if (std::fabs(d) > 9.2e18) {
        return Refuse(field, kResultOutOfRange, "value " + Shown(value) + " out of range", error);
      }
      *out = std::to_string(static_cast<int64_t>(d));
      return SQLITE_OK;
    }
    if (type == SQLITE_TEXT) {
      const char* t = reinterpret_cast<const char*>(sqlite3_value_text(value));
      *out = t != nullptr ? t : "";
      // The codec's empty value would write 0: '' is no number.
      if (Trimmed(*out).empty()) {
        return Refuse(field, kResultNotANumber, "not an integer: '" + *out + "'", error);
      }
      return SQLITE_OK;
    }
    return Refuse(field, kResultNotANumber, "a blob is not an integer", error);
  }
  if (field.kind == text::FieldKind::kBinary) {
    const auto* p = static_cast<const uint8_t*>(sqlite3_value_blob(value));
    const int n = sqlite3_value_bytes(value);
    *out = text::HexEncode({p, static_cast<size_t>(n > 0 ? n : 0)});
    return SQLITE_OK;
  }
  const unsigned char* t = sqlite3_value_text(value);
  out->assign(t != nullptr ? reinterpret_cast<const char*>(t) : "",
              static_cast<size_t>(sqlite3_value_bytes(value)));
  return SQLITE_OK;
}

// Why the codec refused `text` for `field`, which CheckField accepts: its
// contract leaves one reason for each kind of field.
int CodecFault(const text::FieldLayout& field, std::string_view text) {
  switch (field.kind) {
    case text::FieldKind::kText:
    case text::FieldKind::kBinary:
      return kResultTooLong;
    case text::FieldKind::kDate:
      return kResultNotADate;
    default:
      // Every well-formed integer within the field's range is taken.
      return LooksInteger(text) ? kResultOutOfRange : kResultNotANumber;
  }
}

uint64_t LittleEndian(std::span<const uint8_t> b) {
  uint64_t v = 0;
  for (size_t i = b.size(); i-- > 0;) v = (v << 8) | b[i];
  return v;
}

// A field's value as the view gives it to SQL.
struct SqlValue {
  int type = SQLITE_NULL;
  int64_t integer = 0;
  std::string bytes;  // TEXT or BLOB
};

bool ReadValue(const text::FieldLayout& field, bool nullable, std::span<const uint8_t> record,
               SqlValue* out, std::string* error) {
  if (field.kind == text::FieldKind::kBinary) {
    if (!text::CheckField(field, record.size(), error)) return false;
    const auto* at = reinterpret_cast<const char*>(record.data() + field.offset);
    const std::string_view bytes(at, static_cast<size_t>(field.length));
    // All zero bytes is the field's empty value.
    if (nullable && bytes.find_first_not_of('\0') == std::string_view::npos) {
      out->type = SQLITE_NULL;
    } else {
      out->type = SQLITE_BLOB;
      out->bytes.assign(bytes);
    }
    return true;
  }
  std::string value;
  if (!text::DecodeField(field, record, &value, error)) return false;
  switch (field.kind) {
    case text::FieldKind::kSigned: {
      int64_t v = 0;
      std::from_chars(value.data(), value.data() + value.size(), v);
      out->type = SQLITE_INTEGER;
      out->integer = v;
      return true;
    }
    case text::FieldKind::kUnsigned: {
      uint64_t v = 0;
      std::from_chars(value.data(), value.data() + value.size(), v);
      if (v <= static_cast<uint64_t>(INT64_MAX)) {
        out->type = SQLITE_INTEGER;
        out->integer = static_cast<int64_t>(v);
      } else {
        out->type = SQLITE_TEXT;
        out->bytes = std::move(value);
      }
      return true;
    }
    case text::FieldKind::kDate:
      if (value.size() == 8 && value.find_first_not_of("0123456789") == std::string::npos) {
        value = value.substr(0, 4) + "-" + value.substr(4, 2) + "-" + value.substr(6, 2);
      }
      break;
    default:
      break;
  }
  if (value.empty() && nullable) {
    out->type = SQLITE_NULL;
  } else {
    out->type = SQLITE_TEXT;
    out->bytes = std::move(value);
  }
  return true;
}

}  // namespace

void ResultOfField(sqlite3_context* ctx, const text::FieldLayout& field, bool nullable,
                   std::span<const uint8_t> record) {
  SqlValue v;
  std::string error;
  if (!ReadValue(field, nullable, record, &v, &error)) {
    sqlite3_result_error(ctx, error.c_str(), -1);
    return;
  }
  const int n = static_cast<int>(v.bytes.size());
  switch (v.type) {
    case SQLITE_NULL: sqlite3_result_null(ctx); return;
    case SQLITE_INTEGER: sqlite3_result_int64(ctx, v.integer); return;
    case SQLITE_BLOB: sqlite3_result_blob(ctx, v.bytes.data(), n, SQLITE_TRANSIENT); return;
    default: sqlite3_result_text(ctx, v.bytes.data(), n, SQLITE_TRANSIENT); return;
  }
}

int WriteField(const text::FieldLayout& field, bool empty_ok, sqlite3_value* value,
               std::span<uint8_t> record, std::string* error) {
  if (!text::CheckField(field, record.size(), error)) return SQLITE_ERROR;
  if (sqlite3_value_type(value) == SQLITE_NULL) {
    if (!empty_ok) return Refuse(field, kResultNotNull, "NULL into a NOT NULL column", error);
    text::ClearField(field, record);
    return SQLITE_OK;
  }
  std::string t;
  const int rc = CodecText(field, value, &t, error);
  if (rc != SQLITE_OK) return rc;
  // A blank date field is no date: only a field that may be empty takes one.
  if (field.kind == text::FieldKind::kDate && !empty_ok && Trimmed(t).empty()) {
    return Refuse(field, kResultNotADate, "not a date: '" + t + "'", error);
  }
  if (!text::EncodeField(field, t, record, error)) return CodecFault(field, t);
  return SQLITE_OK;
}

bool FieldHolds(const text::FieldLayout& field, bool nullable, sqlite3_value* value,
                std::span<const uint8_t> record) {
  SqlValue v;
  std::string error;
  if (!ReadValue(field, nullable, record, &v, &error)) return false;
  const int type = sqlite3_value_type(value);
  if (type != v.type) return false;
  switch (type) {
    case SQLITE_NULL: return true;
    case SQLITE_INTEGER: return sqlite3_value_int64(value) == v.integer;
    case SQLITE_BLOB: {
      const void* p = sqlite3_value_blob(value);
      const size_t n = static_cast<size_t>(sqlite3_value_bytes(value));
      return n == v.bytes.size() && (n == 0 || std::memcmp(p, v.bytes.data(), n) == 0);
    }
    default: {
      const unsigned char* p = sqlite3_value_text(value);
      const size_t n = static_cast<size_t>(sqlite3_value_bytes(value));
      return n == v.bytes.size() && (n == 0 || std::memcmp(p, v.bytes.data(), n) == 0);
    }
  }
}

bool KeyValueBytes(const text::FieldLayout& segment, sqlite3_value* value, std::string* bytes) {
  const int type = sqlite3_value_type(value);
  if (type == SQLITE_NULL) return false;
  // A number compared with an integer column is compared as a number, but a
  // text is only converted when it looks like one: leave those to SQLite.
  if (IsInteger(segment.kind) && type != SQLITE_INTEGER && type != SQLITE_FLOAT) return false;
  if (segment.kind == text::FieldKind::kBinary && type != SQLITE_BLOB) return false;
  std::string t, error;
  if (CodecText(segment, value, &t, &error) != SQLITE_OK) return false;
  if (segment.kind == text::FieldKind::kText) {
    // Blanks pad the field, so a value ending in one is no stored value; nor
    // is one longer than the field.
    if (t.size() > static_cast<size_t>(segment.length) || (!t.empty() && t.back() == ' ')) {
      return false;
    }
  }
  if (segment.kind == text::FieldKind::kDate &&
      !(t.size() == 10 && t[4] == '-' && t[7] == '-')) {
    return false;  // the view shows dates as YYYY-MM-DD, and compares those
  }
  std::string out(static_cast<size_t>(segment.length), '\0');
  text::FieldLayout at0 = segment;
  at0.offset = 0;
  if (!text::EncodeField(at0, t, {reinterpret_cast<uint8_t*>(out.data()), out.size()}, &error)) {
    return false;
  }
  *bytes = std::move(out);
  return true;
}

bool LowerBoundBytes(const text::FieldLayout& segment, sqlite3_value* value, std::string* bytes) {
  if (segment.kind == text::FieldKind::kText && sqlite3_value_type(value) == SQLITE_TEXT) {
    const unsigned char* t = sqlite3_value_text(value);
    const size_t n = static_cast<size_t>(sqlite3_value_bytes(value));
    // Every text at least this one starts with bytes at least its first
    // `length`: a partial key that a forward seek may start from.
    bytes->assign(reinterpret_cast<const char*>(t), std::min(n, size_t(segment.length)));
    return !bytes->empty();
  }
  return KeyValueBytes(segment, value, bytes);
}

bool UpperBoundBytes(const text::FieldLayout& segment, sqlite3_value* value, std::string* bytes) {
  if (segment.kind == text::FieldKind::kText && sqlite3_value_type(value) == SQLITE_TEXT) {
    // Blank padding orders a stored text like the text itself only when no
    // byte of the bound sorts below a blank.
    const unsigned char* t = sqlite3_value_text(value);
    const size_t n = static_cast<size_t>(sqlite3_value_bytes(value));
    if (n > static_cast<size_t>(segment.length)) return false;
    for (size_t i = 0; i < n; ++i) {
      if (t[i] < ' ') return false;
    }
    bytes->assign(reinterpret_cast<const char*>(t), n);
    bytes->resize(static_cast<size_t>(segment.length), ' ');
    return true;
  }
  return KeyValueBytes(segment, value, bytes);
}

int SegmentOrder(text::FieldKind kind, std::span<const uint8_t> a, std::span<const uint8_t> b) {
  if (IsInteger(kind) && a.size() == b.size() && !a.empty() && a.size() <= 8) {
    const uint64_t x = LittleEndian(a), y = LittleEndian(b);
    if (kind == text::FieldKind::kSigned) {
      const unsigned shift = static_cast<unsigned>(64 - 8 * a.size());
      const int64_t sx = static_cast<int64_t>(x << shift) >> shift;
      const int64_t sy = static_cast<int64_t>(y << shift) >> shift;
      return sx < sy ? -1 : sx > sy ? 1 : 0;
    }
    return x < y ? -1 : x > y ? 1 : 0;
  }
  const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (c != 0) return c < 0 ? -1 : 1;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace tmb::sql
