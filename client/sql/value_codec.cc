#include "client/sql/value_codec.h"

#include <sqlite3.h>

#include <charconv>
#include <cmath>
#include <cstring>

namespace tmb::sql {
namespace {

namespace text = tmbio::text;

bool IsInteger(text::FieldKind kind) {
  return kind == text::FieldKind::kSigned || kind == text::FieldKind::kUnsigned;
}

// The text the codec takes for `value` in a field of `kind`; false when the
// value has none that means the same (a fraction for an integer field).
bool CodecText(text::FieldKind kind, sqlite3_value* value, std::string* out) {
  const int type = sqlite3_value_type(value);
  if (IsInteger(kind)) {
    if (type == SQLITE_INTEGER) {
      *out = std::to_string(sqlite3_value_int64(value));
      return true;
    }
    if (type == SQLITE_FLOAT) {
      const double d = sqlite3_value_double(value);
      if (!(d == std::floor(d)) || std::fabs(d) > 9.2e18) return false;
      *out = std::to_string(static_cast<int64_t>(d));
      return true;
    }
    if (type == SQLITE_TEXT) {
      const char* t = reinterpret_cast<const char*>(sqlite3_value_text(value));
      *out = t != nullptr ? t : "";
      return true;
    }
    return false;
  }
  if (kind == text::FieldKind::kBinary) {
    const auto* p = static_cast<const uint8_t*>(sqlite3_value_blob(value));
    const int n = sqlite3_value_bytes(value);
    *out = text::HexEncode({p, static_cast<size_t>(n > 0 ? n : 0)});
    return true;
  }
  const unsigned char* t = sqlite3_value_text(value);
  out->assign(t != nullptr ? reinterpret_cast<const char*>(t) : "",
              static_cast<size_t>(sqlite3_value_bytes(value)));
  return true;
}

uint64_t LittleEndian(std::span<const uint8_t> b) {
  uint64_t v = 0;
  for (size_t i = b.size(); i-- > 0;) v = (v << 8) | b[i];
  return v;
}

}  // namespace

void ResultOfField(sqlite3_context* ctx, const text::FieldLayout& field, bool nullable,
                   std::span<const uint8_t> record) {
  const size_t at = static_cast<size_t>(field.offset);
  const size_t n = static_cast<size_t>(field.length);
  if (field.kind == text::FieldKind::kBinary) {
    sqlite3_result_blob(ctx, record.data() + at, static_cast<int>(n), SQLITE_TRANSIENT);
    return;
  }
  std::string value, error;
  if (!text::DecodeField(field, record, &value, &error)) {
    sqlite3_result_error(ctx, error.c_str(), -1);
    return;
  }
  switch (field.kind) {
    case text::FieldKind::kSigned: {
      int64_t v = 0;
      std::from_chars(value.data(), value.data() + value.size(), v);
      sqlite3_result_int64(ctx, v);
      return;
    }
    case text::FieldKind::kUnsigned: {
      uint64_t v = 0;
      std::from_chars(value.data(), value.data() + value.size(), v);
      if (v <= static_cast<uint64_t>(INT64_MAX)) {
        sqlite3_result_int64(ctx, static_cast<int64_t>(v));
      } else {
        sqlite3_result_text(ctx, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
      }
      return;
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
    sqlite3_result_null(ctx);
    return;
  }
  sqlite3_result_text(ctx, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
}

bool WriteField(const text::FieldLayout& field, sqlite3_value* value, std::span<uint8_t> record,
                std::string* error) {
  if (sqlite3_value_type(value) == SQLITE_NULL) {
    if (!text::ClearField(field, record)) {
      *error = field.name + ": outside the record";
      return false;
    }
    return true;
  }
  std::string t;
  if (!CodecText(field.kind, value, &t)) {
    *error = field.name + ": not a whole number";
    return false;
  }
  return text::EncodeField(field, t, record, error);
}

bool KeyValueBytes(const text::FieldLayout& segment, sqlite3_value* value, std::string* bytes) {
  const int type = sqlite3_value_type(value);
  if (type == SQLITE_NULL) return false;
  // A number compared with an integer column is compared as a number, but a
  // text is only converted when it looks like one: leave those to SQLite.
  if (IsInteger(segment.kind) && type != SQLITE_INTEGER && type != SQLITE_FLOAT) return false;
  if (segment.kind == text::FieldKind::kBinary && type != SQLITE_BLOB) return false;
  std::string t;
  if (!CodecText(segment.kind, value, &t)) return false;
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
  std::string error;
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
