// Values between SQLite and an application's buffers. Contract:
//
// - Value holds one SQL value as SQLite has it: null, integer, real, text
//   (UTF-8) or bytes.
// - ConvertOut writes a value into an application buffer of a C type, as
//   SQLGetData and bound columns need. Character, wide-character and binary
//   targets may take a long value in pieces: *offset counts the bytes of the
//   value's representation already handed out; a piece that does not fit
//   returns kTruncated (state 01004) with *indicator the length still left,
//   and a call after the last piece returns kNoData. Fixed-size targets
//   (numbers, dates) are written whole, once. A number out of the target's
//   range is 22003, text that is no number 22018, text that is no date
//   22007, a lost fraction 01S07, an unknown C type 07006.
// - ConvertIn reads a bound parameter's buffer (C type, length or
//   indicator) into a Value; `sql_type` says what the application means it
//   to be, so that digits sent as text for a numeric column compare as a
//   number. Data at execution time is HYC00.
// - Dates travel as text "YYYY-MM-DD"; the readers also take "YYYYMMDD",
//   an integer of that form, and a time after the date.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>

namespace tmb::odbc {

struct Value {
  enum Kind { kNull, kInteger, kReal, kText, kBlob };
  Kind kind = kNull;
  int64_t integer = 0;
  double real = 0;
  std::string bytes;  // text (UTF-8) or blob

  static Value Null() { return {}; }
  static Value Int(int64_t v) { Value x; x.kind = kInteger; x.integer = v; return x; }
  static Value Real(double v) { Value x; x.kind = kReal; x.real = v; return x; }
  static Value Text(std::string v) { Value x; x.kind = kText; x.bytes = std::move(v); return x; }
  static Value Blob(std::string v) { Value x; x.kind = kBlob; x.bytes = std::move(v); return x; }
};

enum class Outcome { kOk, kTruncated, kNoData, kError };

struct ConvertResult {
  Outcome outcome = Outcome::kOk;
  const char* state = nullptr;  // for kError, and for kOk with a warning (01S07)
  std::string message;
};

ConvertResult ConvertOut(const Value& value, SQLSMALLINT c_type, SQLPOINTER target,
                         SQLLEN capacity, SQLLEN* indicator, size_t* offset);

ConvertResult ConvertIn(SQLSMALLINT c_type, SQLSMALLINT sql_type, SQLPOINTER buffer,
                        SQLLEN buffer_length, const SQLLEN* length_or_indicator, Value* out);

// The C type SQL_C_DEFAULT stands for with a column of `sql_type`.
SQLSMALLINT DefaultCType(SQLSMALLINT sql_type);

// UTF-8 to UTF-16 (SQLWCHAR units) and back; a broken sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const char16_t* text, size_t units);

// Reads a date in any form the contract names; false when it is none.
bool ParseDate(const Value& value, SQL_TIMESTAMP_STRUCT* out);

}  // namespace tmb::odbc
