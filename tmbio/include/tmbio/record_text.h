// Record text: a record's field values as text, and the CSV that carries
// them. Every tool that reads or writes records as text (tmbadmin load and
// dump, tmbcli put, get, dump and keys) goes through here, so a line one
// accepts the other accepts too.
//
// A field value, by kind:
//   text      the bytes as given, padded with blanks; at most the field's length
//   signed    a decimal integer, optional + or -, little-endian in 1, 2, 4 or 8 bytes
//   unsigned  likewise, 0 and up
//   date      YYYYMMDD or YYYY-MM-DD, a real calendar day (year 0001 to 9999),
//             stored as YYYYMMDD and blanks; the field has at least 8 bytes
//   binary    hexadecimal digits (either case), two a byte, padded with zero bytes
// Blanks and tabs around a number, date or hex value are dropped; text keeps
// them. An empty value is the field's empty value: blanks for text and date,
// zero bytes otherwise. Decoding gives the text that encodes to the same
// bytes: text without trailing blanks and zero bytes, numbers in plain
// decimal, dates as YYYYMMDD (all blanks or zeros: empty; anything else that
// is not a date is shown as it stands), binary in lowercase hex.
//
// CSV as RFC 4180 writes it: fields separated by commas, records by CRLF, LF
// or a lone CR; a field in double quotes may hold commas, line breaks and
// doubled quotes. A quote anywhere else is refused, since it usually means
// the columns have shifted. Empty lines carry no record, a UTF-8 byte order
// mark at the start is dropped, and a field, a record's fields and a record
// are bounded (kMaxFieldBytes, kMaxFields, kMaxRecordBytes).
//
// Standard C++ only: this is the part of tmbio that clients link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tmbio::text {

enum class FieldKind : uint8_t { kText, kSigned, kUnsigned, kDate, kBinary };

// Where a field lies in the record and what its bytes mean.
struct FieldLayout {
  FieldKind kind = FieldKind::kText;
  int32_t offset = 0;
  int32_t length = 0;
  std::string name;  // how errors call it ("field stock"); they start "name: "
};

// True when `field` lies inside a record of `record_size` bytes with a
// length its kind can hold; else *error says why.
bool CheckField(const FieldLayout& field, size_t record_size, std::string* error);

// Writes the empty value of `field` into `record`; false (nothing written)
// when CheckField refuses the field.
bool ClearField(const FieldLayout& field, std::span<uint8_t> record);

// Writes `text` as the value of `field` into `record`. On failure *error says
// what is wrong and the record is unchanged.
bool EncodeField(const FieldLayout& field, std::string_view text, std::span<uint8_t> record,
                 std::string* error);

// The value of `field` in `record` as text. False only when CheckField
// refuses the field: any bytes have a text.
bool DecodeField(const FieldLayout& field, std::span<const uint8_t> record, std::string* text,
                 std::string* error);

// Lowercase hex of `bytes`, and back (false on an odd count or a character
// that is not a hex digit).
std::string HexEncode(std::span<const uint8_t> bytes);
bool HexDecode(std::string_view hex, std::string* bytes, std::string* error);

class CsvReader {
 public:
  static constexpr size_t kMaxFieldBytes = size_t{1} << 20;
  static constexpr size_t kMaxFields = 4096;
  static constexpr size_t kMaxRecordBytes = size_t{4} << 20;  // all its fields together

  explicit CsvReader(std::istream* in) : in_(in) {}

  // Reads the next record into *fields. False at the end of the input
  // (error() empty) or on malformed input (error() says what, line() where).
  bool Next(std::vector<std::string>* fields);

  // The line (from 1) on which the last record returned, or the fault, began.
  int64_t line() const { return record_line_; }
  const std::string& error() const { return error_; }

 private:
  int Get();
  int Peek();
  bool Fail(std::string message);

  std::istream* in_;
  int64_t line_ = 1;  // line of the next character
  int64_t record_line_ = 0;
  bool started_ = false;
  std::string error_;
};

// Reads `text` as exactly one record (a line break after it is allowed); an
// empty text is one empty field. False with *error on malformed CSV or a
// second record.
bool SplitCsvRecord(std::string_view text, std::vector<std::string>* fields, std::string* error);

// Appends `fields` as one record ending with "\n", quoting only the fields
// that need it. A record of one empty field is written as "" so that it is
// not read back as an empty line.
void AppendCsvRecord(const std::vector<std::string>& fields, std::string* out);

}  // namespace tmbio::text
