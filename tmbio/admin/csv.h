// Comma-separated values as RFC 4180 writes them: fields separated by
// commas, records by CRLF or LF, a field in double quotes may hold commas,
// line breaks and doubled quotes. The reader is strict about quotes, since a
// stray one usually means the columns have shifted, and bounds what one
// record may take, since the input is whatever the user hands the tool.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace tmbadmin {

class CsvReader {
 public:
  // Longest field, and most fields in one record, that the reader accepts.
  static constexpr size_t kMaxFieldBytes = 1 << 20;
  static constexpr size_t kMaxFields = 4096;

  explicit CsvReader(std::istream* in) : in_(in) {}

  // Reads the next record into *fields. Returns false at the end of the input
  // (error() empty) or on malformed input (error() says what, line() where).
  // Empty lines are skipped; a UTF-8 byte order mark at the start is dropped.
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

// Appends `fields` as one record ending with "\n", quoting the fields that
// need it. A record of one empty field is written as "" so that it is not
// read back as an empty line.
void AppendCsvRecord(const std::vector<std::string>& fields, std::string* out);

}  // namespace tmbadmin
