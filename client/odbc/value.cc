#include "client/odbc/value.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

namespace tmb::odbc {

namespace {

ConvertResult Fail(const char* state, std::string message) {
  return {Outcome::kError, state, std::move(message)};
}

std::string AsText(const Value& v) {
  char buf[64];
  switch (v.kind) {
    case Value::kInteger:
      return std::to_string(v.integer);
    case Value::kReal:
      std::snprintf(buf, sizeof buf, "%.17g", v.real);
      return buf;
    case Value::kBlob: {
      static const char kHex[] = "0123456789ABCDEF";
      std::string hex;
      for (unsigned char c : v.bytes) {
        hex += kHex[c >> 4];
        hex += kHex[c & 15];
      }
      return hex;
    }
    default:
      return v.bytes;
  }
}

// Hands out the next piece of `data` (unit: bytes per character, 1 or 2)
// with room for a terminator of that width.
ConvertResult Piece(const std::string& data, size_t unit, bool terminate, SQLPOINTER target,
                    SQLLEN capacity, SQLLEN* indicator, size_t* offset) {
  if (*offset > 0 && *offset >= data.size()) return {Outcome::kNoData, nullptr, {}};
  const size_t left = data.size() - *offset;
  if (indicator != nullptr) *indicator = static_cast<SQLLEN>(left);
  if (target == nullptr) return {};
  size_t room = capacity > 0 ? static_cast<size_t>(capacity) : 0;
  if (terminate) room = room >= unit ? room - unit : 0;
  room -= room % unit;
  const size_t n = left < room ? left : room;
  std::memcpy(target, data.data() + *offset, n);
  if (terminate && capacity >= static_cast<SQLLEN>(unit)) {
    std::memset(static_cast<char*>(target) + n, 0, unit);
  }
  *offset += n;
  if (n < left) {
    return {Outcome::kTruncated, "01004", "String data, right truncated"};
  }
  if (data.empty()) *offset = 1;  // the whole (empty) value is out
  return {};
}

bool ParseInteger(const std::string& text, int64_t* out, bool* fraction) {
  const char* s = text.c_str();
  while (*s == ' ') ++s;
  if (*s == '\0') return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(s, &end, 10);
  if (end == s) return false;
  *fraction = false;
  if (*end == '.' || *end == 'e' || *end == 'E') {
    const double d = std::strtod(s, &end);
    while (*end == ' ') ++end;
    if (*end != '\0' || !std::isfinite(d)) return false;
    if (d < -9.2233720368547758e18 || d >= 9.2233720368547758e18) {
      errno = ERANGE;
      *out = 0;
      return true;
    }
    *out = static_cast<int64_t>(d);
    *fraction = static_cast<double>(*out) != d;
    return true;
  }
  while (*end == ' ') ++end;
  if (*end != '\0') return false;
  *out = v;
  return true;
}

template <typename T>
ConvertResult PutInteger(const Value& v, SQLPOINTER target, SQLLEN* indicator) {
  int64_t n = 0;
  bool fraction = false;
  bool range = false;
  switch (v.kind) {
    case Value::kInteger:
      n = v.integer;
      break;
    case Value::kReal:
      if (!(v.real > -9.2233720368547758e18 && v.real < 9.2233720368547758e18)) {
        range = true;
        break;
      }
      n = static_cast<int64_t>(v.real);
      fraction = static_cast<double>(n) != v.real;
      break;
    default:
      errno = 0;
      if (!ParseInteger(v.bytes, &n, &fraction)) {
        return Fail("22018", "Invalid character value: not a number");
      }
      range = errno == ERANGE;
  }
  if (std::is_unsigned_v<T> && n < 0) range = true;
  if (!std::is_unsigned_v<T> && sizeof(T) < 8 &&
      (n < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
       n > static_cast<int64_t>(std::numeric_limits<T>::max()))) {
    range = true;
  }
  if (std::is_unsigned_v<T> && sizeof(T) < 8 && n >= 0 &&
      static_cast<uint64_t>(n) > static_cast<uint64_t>(std::numeric_limits<T>::max())) {
    range = true;
  }
  if (range) return Fail("22003", "Numeric value out of range");
  const T out = static_cast<T>(n);
  if (target != nullptr) std::memcpy(target, &out, sizeof out);
  if (indicator != nullptr) *indicator = sizeof out;
  if (fraction) return {Outcome::kOk, "01S07", "Fractional truncation"};
  return {};
}

template <typename T>
ConvertResult PutReal(const Value& v, SQLPOINTER target, SQLLEN* indicator) {
  double d = 0;
  if (v.kind == Value::kInteger) {
    d = static_cast<double>(v.integer);
  } else if (v.kind == Value::kReal) {
    d = v.real;
  } else {
    const char* s = v.bytes.c_str();
    char* end = nullptr;
    d = std::strtod(s, &end);
    while (*end == ' ') ++end;
    if (end == s || *end != '\0') {
      return Fail("22018", "Invalid character value: not a number");
    }
  }
  if (sizeof(T) == sizeof(float) && std::isfinite(d) &&
      std::fabs(d) > std::numeric_limits<float>::max()) {
    return Fail("22003", "Numeric value out of range");
  }
  const T out = static_cast<T>(d);
  if (target != nullptr) std::memcpy(target, &out, sizeof out);
  if (indicator != nullptr) *indicator = sizeof out;
  return {};
}

bool ValidDate(int y, int m, int d) {
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > kDays[m - 1]) return false;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m != 2 || d < 29 || leap;
}

}  // namespace

bool ParseDate(const Value& value, SQL_TIMESTAMP_STRUCT* out) {
  *out = {};
  std::string text = value.kind == Value::kInteger ? std::to_string(value.integer) : value.bytes;
  if (value.kind == Value::kReal || value.kind == Value::kNull) return false;
  int y = 0, m = 0, d = 0, hh = 0, mm = 0, ss = 0, used = 0;
  const char* s = text.c_str();
  if (std::sscanf(s, "%4d-%2d-%2d%n", &y, &m, &d, &used) == 3 && used == 10) {
  } else if (text.size() >= 8 && std::sscanf(s, "%4d%2d%2d%n", &y, &m, &d, &used) == 3 &&
             used == 8) {
  } else {
    return false;
  }
  const char* rest = s + used;
  if (*rest == ' ' || *rest == 'T') {
    int more = 0;
    if (std::sscanf(rest + 1, "%2d:%2d:%2d%n", &hh, &mm, &ss, &more) != 3) return false;
    rest += 1 + more;
    if (*rest == '.') {
      ++rest;
      while (*rest >= '0' && *rest <= '9') ++rest;
    }
  }
  if (*rest != '\0' || !ValidDate(y, m, d) || hh > 23 || mm > 59 || ss > 59 || hh < 0 ||
      mm < 0 || ss < 0) {
    return false;
  }
  out->year = static_cast<SQLSMALLINT>(y);
  out->month = static_cast<SQLUSMALLINT>(m);
  out->day = static_cast<SQLUSMALLINT>(d);
  out->hour = static_cast<SQLUSMALLINT>(hh);
  out->minute = static_cast<SQLUSMALLINT>(mm);
  out->second = static_cast<SQLUSMALLINT>(ss);
  return true;
}

ConvertResult ConvertOut(const Value& value, SQLSMALLINT c_type, SQLPOINTER target,
                         SQLLEN capacity, SQLLEN* indicator, size_t* offset) {
  const bool pieces = c_type == SQL_C_CHAR || c_type == SQL_C_WCHAR || c_type == SQL_C_BINARY;
  if (!pieces && *offset > 0) return {Outcome::kNoData, nullptr, {}};
  if (value.kind == Value::kNull) {
    if (*offset > 0) return {Outcome::kNoData, nullptr, {}};
    if (indicator == nullptr) {
      return Fail("22002", "Indicator variable required but not supplied");
    }
    *indicator = SQL_NULL_DATA;
    *offset = 1;
    return {};
  }
  ConvertResult r;
  switch (c_type) {
    case SQL_C_CHAR:
      return Piece(AsText(value), 1, true, target, capacity, indicator, offset);
    case SQL_C_WCHAR: {
      const std::u16string wide = Utf8ToUtf16(AsText(value));
      const std::string bytes(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
      return Piece(bytes, 2, true, target, capacity, indicator, offset);
    }
    case SQL_C_BINARY:
      return Piece(value.kind == Value::kText || value.kind == Value::kBlob ? value.bytes
                                                                             : AsText(value),
                   1, false, target, capacity, indicator, offset);
    case SQL_C_SLONG:
    case SQL_C_LONG:
      r = PutInteger<int32_t>(value, target, indicator);
      break;
    case SQL_C_ULONG:
      r = PutInteger<uint32_t>(value, target, indicator);
      break;
    case SQL_C_SSHORT:
    case SQL_C_SHORT:
      r = PutInteger<int16_t>(value, target, indicator);
      break;
    case SQL_C_USHORT:
      r = PutInteger<uint16_t>(value, target, indicator);
      break;
    case SQL_C_STINYINT:
    case SQL_C_TINYINT:
      r = PutInteger<int8_t>(value, target, indicator);
      break;
    case SQL_C_UTINYINT:
      r = PutInteger<uint8_t>(value, target, indicator);
      break;
    case SQL_C_BIT: {
      r = PutInteger<uint8_t>(value, target, indicator);
      if (r.outcome == Outcome::kOk && target != nullptr && *static_cast<uint8_t*>(target) > 1) {
        return Fail("22003", "Numeric value out of range");
      }
      break;
    }
    case SQL_C_SBIGINT:
      r = PutInteger<int64_t>(value, target, indicator);
      break;
    case SQL_C_UBIGINT:
      r = PutInteger<uint64_t>(value, target, indicator);
      break;
    case SQL_C_DOUBLE:
      r = PutReal<double>(value, target, indicator);
      break;
    case SQL_C_FLOAT:
      r = PutReal<float>(value, target, indicator);
      break;
    case SQL_C_TYPE_DATE:
    case SQL_C_DATE:
    case SQL_C_TYPE_TIMESTAMP:
    case SQL_C_TIMESTAMP: {
      SQL_TIMESTAMP_STRUCT ts;
      if (!ParseDate(value, &ts)) return Fail("22007", "Invalid datetime format");
      const bool date = c_type == SQL_C_TYPE_DATE || c_type == SQL_C_DATE;
      if (date) {
        SQL_DATE_STRUCT d{ts.year, ts.month, ts.day};
        if (target != nullptr) std::memcpy(target, &d, sizeof d);
        if (indicator != nullptr) *indicator = sizeof d;
        if (ts.hour != 0 || ts.minute != 0 || ts.second != 0) {
          r = {Outcome::kOk, "01S07", "Fractional truncation"};
        }
      } else {
        if (target != nullptr) std::memcpy(target, &ts, sizeof ts);
        if (indicator != nullptr) *indicator = sizeof ts;
      }
      break;
    }
    default:
      return Fail("07006", "Restricted data type attribute violation: C type " +
                               std::to_string(c_type) + " is not supported");
  }
  if (r.outcome == Outcome::kOk) *offset = 1;
  return r;
}

namespace {

bool IsNumericSqlType(SQLSMALLINT t) {
  switch (t) {
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIGINT:
    case SQL_BIT:
    case SQL_DOUBLE:
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
      return true;
    default:
      return false;
  }
}

// Text meant for a numeric column becomes a number when it reads as one.
Value TextFor(std::string text, SQLSMALLINT sql_type) {
  if (IsNumericSqlType(sql_type)) {
    int64_t n = 0;
    bool fraction = false;
    errno = 0;
    if (ParseInteger(text, &n, &fraction) && !fraction && errno != ERANGE) return Value::Int(n);
    char* end = nullptr;
    const double d = std::strtod(text.c_str(), &end);
    if (end != text.c_str() && *end == '\0') return Value::Real(d);
  }
  return Value::Text(std::move(text));
}

char* FormatDate(char* buf, size_t size, const SQL_TIMESTAMP_STRUCT& ts, bool with_time) {
  if (with_time) {
    std::snprintf(buf, size, "%04d-%02u-%02u %02u:%02u:%02u", ts.year, ts.month, ts.day, ts.hour,
                  ts.minute, ts.second);
  } else {
    std::snprintf(buf, size, "%04d-%02u-%02u", ts.year, ts.month, ts.day);
  }
  return buf;
}

}  // namespace

ConvertResult ConvertIn(SQLSMALLINT c_type, SQLSMALLINT sql_type, SQLPOINTER buffer,
                        SQLLEN buffer_length, const SQLLEN* length_or_indicator, Value* out) {
  const SQLLEN given = length_or_indicator != nullptr ? *length_or_indicator : SQL_NTS;
  if (given == SQL_NULL_DATA || buffer == nullptr) {
    *out = Value::Null();
    return {};
  }
  if (given == SQL_DATA_AT_EXEC || given <= SQL_LEN_DATA_AT_EXEC_OFFSET) {
    return Fail("HYC00", "Data at execution time is not supported");
  }
  if (c_type == SQL_C_DEFAULT) c_type = DefaultCType(sql_type);
  auto length = [&](size_t unit) -> size_t {
    if (given >= 0) return static_cast<size_t>(given);
    size_t n = 0;  // SQL_NTS: up to the terminator, within the buffer when its size is known
    const size_t limit =
        buffer_length > 0 ? static_cast<size_t>(buffer_length) / unit : SIZE_MAX / 4;
    if (unit == 1) {
      const char* s = static_cast<const char*>(buffer);
      while (n < limit && s[n] != '\0') ++n;
    } else {
      const char16_t* s = static_cast<const char16_t*>(buffer);
      while (n < limit && s[n] != 0) ++n;
      n *= 2;
    }
    return n;
  };
  auto get = [&](auto sample) {
    decltype(sample) v;
    std::memcpy(&v, buffer, sizeof v);
    return v;
  };
  char buf[64];
  switch (c_type) {
    case SQL_C_CHAR:
      *out = TextFor(std::string(static_cast<const char*>(buffer), length(1)), sql_type);
      break;
    case SQL_C_WCHAR:
      *out = TextFor(Utf16ToUtf8(static_cast<const char16_t*>(buffer), length(2) / 2), sql_type);
      break;
    case SQL_C_BINARY:
      if (given < 0) return Fail("HY090", "Binary parameter without a length");
      *out = Value::Blob(std::string(static_cast<const char*>(buffer), length(1)));
      break;
    case SQL_C_SLONG:
    case SQL_C_LONG:
      *out = Value::Int(get(int32_t{}));
      break;
    case SQL_C_ULONG:
      *out = Value::Int(get(uint32_t{}));
      break;
    case SQL_C_SSHORT:
    case SQL_C_SHORT:
      *out = Value::Int(get(int16_t{}));
      break;
    case SQL_C_USHORT:
      *out = Value::Int(get(uint16_t{}));
      break;
    case SQL_C_STINYINT:
    case SQL_C_TINYINT:
      *out = Value::Int(get(int8_t{}));
      break;
    case SQL_C_UTINYINT:
    case SQL_C_BIT:
      *out = Value::Int(get(uint8_t{}));
      break;
    case SQL_C_SBIGINT:
      *out = Value::Int(get(int64_t{}));
      break;
    case SQL_C_UBIGINT: {
      const uint64_t v = get(uint64_t{});
      if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return Fail("22003", "Numeric value out of range");
      }
      *out = Value::Int(static_cast<int64_t>(v));
      break;
    }
    case SQL_C_DOUBLE:
      *out = Value::Real(get(double{}));
      break;
    case SQL_C_FLOAT:
      *out = Value::Real(get(float{}));
      break;
    case SQL_C_TYPE_DATE:
    case SQL_C_DATE: {
      const SQL_DATE_STRUCT d = get(SQL_DATE_STRUCT{});
      if (!ValidDate(d.year, d.month, d.day)) return Fail("22008", "Datetime field overflow");
      SQL_TIMESTAMP_STRUCT ts{d.year, d.month, d.day, 0, 0, 0, 0};
      *out = Value::Text(FormatDate(buf, sizeof buf, ts, false));
      break;
    }
    case SQL_C_TYPE_TIMESTAMP:
    case SQL_C_TIMESTAMP: {
      const SQL_TIMESTAMP_STRUCT ts = get(SQL_TIMESTAMP_STRUCT{});
      if (!ValidDate(ts.year, ts.month, ts.day) || ts.hour > 23 || ts.minute > 59 ||
          ts.second > 59) {
        return Fail("22008", "Datetime field overflow");
      }
      const bool midnight = ts.hour == 0 && ts.minute == 0 && ts.second == 0;
      // A date column compares with the date alone.
      const bool date_only = sql_type == SQL_TYPE_DATE || sql_type == SQL_DATE || midnight;
      *out = Value::Text(FormatDate(buf, sizeof buf, ts, !date_only));
      break;
    }
    default:
      return Fail("HY003", "Program type out of range: C type " + std::to_string(c_type));
  }
  return {};
}

SQLSMALLINT DefaultCType(SQLSMALLINT sql_type) {
  switch (sql_type) {
    case SQL_BIGINT:
      return SQL_C_SBIGINT;
    case SQL_INTEGER:
      return SQL_C_SLONG;
    case SQL_SMALLINT:
      return SQL_C_SSHORT;
    case SQL_TINYINT:
      return SQL_C_STINYINT;
    case SQL_BIT:
      return SQL_C_BIT;
    case SQL_DOUBLE:
    case SQL_FLOAT:
      return SQL_C_DOUBLE;
    case SQL_REAL:
      return SQL_C_FLOAT;
    case SQL_TYPE_DATE:
    case SQL_DATE:
      return SQL_C_TYPE_DATE;
    case SQL_TYPE_TIMESTAMP:
      return SQL_C_TYPE_TIMESTAMP;
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return SQL_C_BINARY;
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
      return SQL_C_WCHAR;
    default:
      return SQL_C_CHAR;
  }
}

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    uint32_t c = s[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool ok = len != 0 && i + len <= n;
    if (ok && len > 1) {
      c &= 0x7f >> len;
      for (size_t k = 1; k < len; ++k) {
        if ((s[i + k] & 0xc0) != 0x80) {
          ok = false;
          break;
        }
        c = (c << 6) | (s[i + k] & 0x3f);
      }
      static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
      if (ok && (c < kMin[len] || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff))) ok = false;
    }
    if (!ok) {
      out += u'\xfffd';
      ++i;
      continue;
    }
    i += len;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xd800 + (c >> 10));
      out += static_cast<char16_t>(0xdc00 + (c & 0x3ff));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::string Utf16ToUtf8(const char16_t* text, size_t units) {
  std::string out;
  out.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = text[i];
    if (c >= 0xd800 && c <= 0xdbff && i + 1 < units && text[i + 1] >= 0xdc00 &&
        text[i + 1] <= 0xdfff) {
      c = 0x10000 + ((c - 0xd800) << 10) + (text[i + 1] - 0xdc00);
      ++i;
    } else if (c >= 0xd800 && c <= 0xdfff) {
      c = 0xfffd;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xe0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
      out += static_cast<char>(0xf0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return out;
}

}  // namespace tmb::odbc
