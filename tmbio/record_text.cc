#include "tmbio/record_text.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <sstream>
#include <utility>

namespace tmbio::text {

namespace {

bool Refuse(const FieldLayout& field, const std::string& what, std::string* error) {
  *error = field.name.empty() ? what : field.name + ": " + what;
  return false;
}

bool Fits(const FieldLayout& field, size_t record_size) {
  return field.offset >= 0 && field.length > 0 &&
         static_cast<uint64_t>(field.offset) + static_cast<uint64_t>(field.length) <= record_size;
}

bool IsInteger(FieldKind kind) { return kind == FieldKind::kSigned || kind == FieldKind::kUnsigned; }

bool KnownKind(FieldKind kind) {
  switch (kind) {
    case FieldKind::kText:
    case FieldKind::kSigned:
    case FieldKind::kUnsigned:
    case FieldKind::kDate:
    case FieldKind::kBinary:
      return true;
  }
  return false;
}

// Numbers and dates in hand-made CSV often carry blanks around them.
std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Quoted for messages, cut short so that a runaway field stays readable.
std::string Quote(std::string_view s) {
  constexpr size_t kShown = 40;
  std::string out = "'";
  out.append(s.substr(0, kShown));
  if (s.size() > kShown) out.append("...");
  out.push_back('\'');
  return out;
}

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

bool AllDigits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int Number(std::string_view digits) {
  int n = 0;
  for (char c : digits) n = n * 10 + (c - '0');
  return n;
}

bool ParseDate(const FieldLayout& field, std::string_view text, std::string* ymd,
               std::string* error) {
  std::string digits;
  if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
    digits.append(text.substr(0, 4)).append(text.substr(5, 2)).append(text.substr(8, 2));
  } else {
    digits.assign(text);
  }
  if (digits.size() != 8 || !AllDigits(digits)) {
    return Refuse(field, "not a date YYYYMMDD or YYYY-MM-DD: " + Quote(text), error);
  }
  const int year = Number(digits.substr(0, 4));
  const int month = Number(digits.substr(4, 2));
  const int day = Number(digits.substr(6, 2));
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) {
    return Refuse(field, "no such day: " + Quote(text), error);
  }
  *ymd = std::move(digits);
  return true;
}

bool ParseInteger(const FieldLayout& field, std::string_view text, uint64_t* bits,
                  std::string* error) {
  const int width = field.length * 8;
  std::string_view digits = text;
  const bool plus = !digits.empty() && digits.front() == '+';
  if (plus) digits.remove_prefix(1);
  // from_chars takes a minus but no plus, so "+-5" is stopped here.
  if (digits.empty() || (plus && (digits.front() < '0' || digits.front() > '9'))) {
    return Refuse(field, "not an integer: " + Quote(text), error);
  }
  if (field.kind == FieldKind::kSigned) {
    const int64_t min =
        width == 64 ? std::numeric_limits<int64_t>::min() : -(int64_t{1} << (width - 1));
    const int64_t max =
        width == 64 ? std::numeric_limits<int64_t>::max() : (int64_t{1} << (width - 1)) - 1;
    int64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    const bool whole = end == digits.data() + digits.size();
    if (ec == std::errc::result_out_of_range ||
        (ec == std::errc() && whole && (value < min || value > max))) {
      return Refuse(field,
                    "value " + Quote(text) + " out of range " + std::to_string(min) + ".." +
                        std::to_string(max),
                    error);
    }
    if (ec != std::errc() || !whole) return Refuse(field, "not an integer: " + Quote(text), error);
    *bits = static_cast<uint64_t>(value);
    return true;
  }
  const uint64_t max =
      width == 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << width) - 1;
  const std::string range = "0.." + std::to_string(max);
  if (digits.front() == '-') {
    // A minus before digits other than zeros says more plainly as a range.
    std::string_view rest = digits.substr(1);
    if (!rest.empty() && AllDigits(rest) && rest.find_first_not_of('0') != std::string_view::npos) {
      return Refuse(field, "value " + Quote(text) + " out of range " + range, error);
    }
    return Refuse(field, "not an unsigned integer: " + Quote(text), error);
  }
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  const bool whole = end == digits.data() + digits.size();
  if (ec == std::errc::result_out_of_range || (ec == std::errc() && whole && value > max)) {
    return Refuse(field, "value " + Quote(text) + " out of range " + range, error);
  }
  if (ec != std::errc() || !whole) {
    return Refuse(field, "not an unsigned integer: " + Quote(text), error);
  }
  *bits = value;
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Trailing blanks and zero bytes pad a text or date; they are not its value.
size_t UnpaddedLength(const uint8_t* bytes, size_t length) {
  while (length > 0 && (bytes[length - 1] == ' ' || bytes[length - 1] == 0)) --length;
  return length;
}

}  // namespace

bool CheckField(const FieldLayout& field, size_t record_size, std::string* error) {
  if (!KnownKind(field.kind)) {
    return Refuse(field, "unknown field kind " + std::to_string(static_cast<int>(field.kind)),
                  error);
  }
  if (!Fits(field, record_size)) {
    return Refuse(field,
                  "offset " + std::to_string(field.offset) + " and length " +
                      std::to_string(field.length) + " lie outside the record of " +
                      std::to_string(record_size) + " bytes",
                  error);
  }
  const int32_t length = field.length;
  if (IsInteger(field.kind) && length != 1 && length != 2 && length != 4 && length != 8) {
    return Refuse(field, "integer field of " + std::to_string(length) + " bytes (1, 2, 4 or 8)",
                  error);
  }
  if (field.kind == FieldKind::kDate && length < 8) {
    return Refuse(field, "date field of " + std::to_string(length) + " bytes (8 needed)", error);
  }
  return true;
}

bool ClearField(const FieldLayout& field, std::span<uint8_t> record) {
  std::string error;
  if (!CheckField(field, record.size(), &error)) return false;
  const bool blanks = field.kind == FieldKind::kText || field.kind == FieldKind::kDate;
  std::memset(record.data() + field.offset, blanks ? ' ' : 0, static_cast<size_t>(field.length));
  return true;
}

bool EncodeField(const FieldLayout& field, std::string_view text, std::span<uint8_t> record,
                 std::string* error) {
  if (!CheckField(field, record.size(), error)) return false;
  uint8_t* out = record.data() + field.offset;
  const size_t length = static_cast<size_t>(field.length);
  switch (field.kind) {
    case FieldKind::kText:
      if (text.size() > length) {
        return Refuse(field,
                      "text of " + std::to_string(text.size()) +
                          " bytes is longer than the field's " + std::to_string(length),
                      error);
      }
      std::memset(out, ' ', length);
      std::memcpy(out, text.data(), text.size());
      return true;
    case FieldKind::kSigned:
    case FieldKind::kUnsigned: {
      text = Trim(text);
      uint64_t bits = 0;
      if (!text.empty() && !ParseInteger(field, text, &bits, error)) return false;
      for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
      return true;
    }
    case FieldKind::kDate: {
      text = Trim(text);
      std::string ymd;
      if (!text.empty() && !ParseDate(field, text, &ymd, error)) return false;
      std::memset(out, ' ', length);
      std::memcpy(out, ymd.data(), ymd.size());
      return true;
    }
    case FieldKind::kBinary: {
      std::string bytes;
      if (!HexDecode(Trim(text), &bytes, error)) return Refuse(field, *error, error);
      if (bytes.size() > length) {
        return Refuse(field,
                      std::to_string(bytes.size()) + " bytes do not fit the field's " +
                          std::to_string(length),
                      error);
      }
      std::memset(out, 0, length);
      std::memcpy(out, bytes.data(), bytes.size());
      return true;
    }
  }
  return false;
}

bool DecodeField(const FieldLayout& field, std::span<const uint8_t> record, std::string* text,
                 std::string* error) {
  if (!CheckField(field, record.size(), error)) return false;
  const uint8_t* in = record.data() + field.offset;
  const size_t length = static_cast<size_t>(field.length);
  text->clear();
  switch (field.kind) {
    case FieldKind::kText:
      text->assign(reinterpret_cast<const char*>(in), UnpaddedLength(in, length));
      return true;
    case FieldKind::kSigned:
    case FieldKind::kUnsigned: {
      uint64_t bits = 0;
      for (size_t i = 0; i < length; ++i) bits |= uint64_t{in[i]} << (8 * i);
      if (field.kind == FieldKind::kUnsigned) {
        *text = std::to_string(bits);
        return true;
      }
      const size_t width = length * 8;
      if (width < 64 && (bits >> (width - 1)) & 1) bits |= ~uint64_t{0} << width;  // sign-extend
      *text = std::to_string(static_cast<int64_t>(bits));
      return true;
    }
    case FieldKind::kDate: {
      const size_t used = UnpaddedLength(in, length);
      bool zeros = true;
      for (size_t i = 0; i < used; ++i) zeros = zeros && in[i] == '0';
      if (!zeros) text->assign(reinterpret_cast<const char*>(in), used);
      return true;
    }
    case FieldKind::kBinary:
      *text = HexEncode(std::span<const uint8_t>(in, length));
      return true;
  }
  return false;
}

std::string HexEncode(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

bool HexDecode(std::string_view hex, std::string* bytes, std::string* error) {
  bytes->clear();
  if (hex.size() % 2 != 0) {
    *error = "odd number of hex digits in " + Quote(hex);
    return false;
  }
  bytes->reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = HexValue(hex[i]);
    const int lo = HexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) {
      *error = "not hex digits: " + Quote(hex);
      return false;
    }
    bytes->push_back(static_cast<char>(hi << 4 | lo));
  }
  return true;
}

// ---- CSV

namespace {

bool NeedsQuotes(std::string_view field) {
  return field.find_first_of(",\"\r\n") != std::string_view::npos;
}

}  // namespace

int CsvReader::Get() {
  int c = in_->rdbuf()->sbumpc();
  if (c == '\n') {
    ++line_;
  } else if (c == '\r' && in_->rdbuf()->sgetc() != '\n') {
    ++line_;  // a lone CR ends a line as well
  }
  return c;
}

int CsvReader::Peek() { return in_->rdbuf()->sgetc(); }

bool CsvReader::Fail(std::string message) {
  error_ = std::move(message);
  return false;
}

bool CsvReader::Next(std::vector<std::string>* fields) {
  fields->clear();
  if (!error_.empty() || in_->rdbuf() == nullptr) return false;
  constexpr int kEof = std::char_traits<char>::eof();
  if (!started_) {
    started_ = true;
    static constexpr unsigned char kBom[] = {0xEF, 0xBB, 0xBF};
    if (Peek() == kBom[0]) {
      // Only a whole mark is dropped; anything else is data.
      std::string head;
      for (unsigned char b : kBom) {
        if (Peek() != b) break;
        head.push_back(static_cast<char>(Get()));
      }
      if (head.size() != sizeof(kBom)) {
        for (auto it = head.rbegin(); it != head.rend(); ++it) {
          if (in_->rdbuf()->sputbackc(*it) == kEof) return Fail("cannot reread the first bytes");
        }
      }
    }
  }
  // Empty lines carry no record.
  for (;;) {
    int c = Peek();
    if (c == '\n' || c == '\r') {
      Get();
      if (c == '\r' && Peek() == '\n') Get();
      continue;
    }
    if (c == kEof) return false;
    break;
  }
  record_line_ = line_;
  std::string field;
  size_t record_bytes = 0;
  // Bounds what one record may take, whatever the input holds.
  auto take = [&](int c) {
    if (field.size() >= kMaxFieldBytes) {
      return Fail("field longer than " + std::to_string(kMaxFieldBytes) + " bytes");
    }
    if (record_bytes >= kMaxRecordBytes) {
      return Fail("record longer than " + std::to_string(kMaxRecordBytes) + " bytes");
    }
    field.push_back(static_cast<char>(c));
    ++record_bytes;
    return true;
  };
  for (;;) {
    int c = Get();
    if (c == '"') {
      // Quoted field: runs to the quote not doubled.
      const int64_t opened = line_;
      for (;;) {
        c = Get();
        if (c == kEof) {
          return Fail("quoted field opened on line " + std::to_string(opened) + " is not closed");
        }
        if (c == '"') {
          if (Peek() != '"') break;
          Get();
        }
        if (!take(c)) return false;
      }
      c = Get();
      if (c != ',' && c != '\n' && c != '\r' && c != kEof) {
        return Fail("text after the closing quote of a field");
      }
    } else {
      while (c != ',' && c != '\n' && c != '\r' && c != kEof) {
        if (c == '"') return Fail("quote inside an unquoted field");
        if (!take(c)) return false;
        c = Get();
      }
    }
    if (fields->size() >= kMaxFields) {
      return Fail("more than " + std::to_string(kMaxFields) + " fields in a record");
    }
    fields->push_back(std::move(field));
    field.clear();
    if (c == ',') continue;
    if (c == '\r' && Peek() == '\n') Get();
    return true;
  }
}

bool SplitCsvRecord(std::string_view text, std::vector<std::string>* fields, std::string* error) {
  std::istringstream in{std::string(text)};
  CsvReader reader(&in);
  if (!reader.Next(fields)) {
    if (!reader.error().empty()) {
      *error = reader.error();
      return false;
    }
    fields->assign(1, std::string());  // nothing but line breaks
    return true;
  }
  std::vector<std::string> more;
  if (reader.Next(&more)) {
    *error = "a second record begins on line " + std::to_string(reader.line());
    return false;
  }
  if (!reader.error().empty()) {
    *error = reader.error();
    return false;
  }
  return true;
}

void AppendCsvRecord(const std::vector<std::string>& fields, std::string* out) {
  if (fields.size() == 1 && fields[0].empty()) {
    out->append("\"\"\n");
    return;
  }
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out->push_back(',');
    const std::string& f = fields[i];
    if (!NeedsQuotes(f)) {
      out->append(f);
      continue;
    }
    out->push_back('"');
    for (char c : f) {
      if (c == '"') out->push_back('"');
      out->push_back(c);
    }
    out->push_back('"');
  }
  out->push_back('\n');
}

}  // namespace tmbio::text
