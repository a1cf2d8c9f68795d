#include "tmbio/admin/record_codec.h"

#include <charconv>
#include <cstring>
#include <limits>

namespace tmbadmin {

namespace {

enum class Type { kChar, kInt, kUint, kDate, kBinary, kUnknown };

Type TypeOf(const tmbio::FieldDef& field) {
  if (field.type == "char") return Type::kChar;
  if (field.type == "int") return Type::kInt;
  if (field.type == "uint") return Type::kUint;
  if (field.type == "date") return Type::kDate;
  if (field.type == "binary") return Type::kBinary;
  return Type::kUnknown;
}

bool Fits(const tmbio::FieldDef& field, size_t record_size) {
  return field.offset >= 0 && field.length > 0 &&
         static_cast<uint64_t>(field.offset) + static_cast<uint64_t>(field.length) <= record_size;
}

bool IntegerLength(int32_t length) {
  return length == 1 || length == 2 || length == 4 || length == 8;
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

bool ParseDate(std::string_view text, std::string* ymd, std::string* error) {
  std::string digits;
  if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
    digits.append(text.substr(0, 4)).append(text.substr(5, 2)).append(text.substr(8, 2));
  } else {
    digits.assign(text);
  }
  if (digits.size() != 8 || !AllDigits(digits)) {
    *error = "not a date YYYYMMDD: " + Quote(text);
    return false;
  }
  const int year = Number(digits.substr(0, 4));
  const int month = Number(digits.substr(4, 2));
  const int day = Number(digits.substr(6, 2));
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) {
    *error = "no such day: " + Quote(text);
    return false;
  }
  *ymd = std::move(digits);
  return true;
}

bool ParseInteger(const tmbio::FieldDef& field, bool is_signed, std::string_view text,
                  uint64_t* bits, std::string* error) {
  const int width = field.length * 8;
  std::string_view digits = text;
  const bool plus = !digits.empty() && digits.front() == '+';
  if (plus) digits.remove_prefix(1);
  if (digits.empty() || (plus && (digits.front() < '0' || digits.front() > '9'))) {
    *error = "not an integer: " + Quote(text);
    return false;
  }
  if (is_signed) {
    const int64_t min =
        width == 64 ? std::numeric_limits<int64_t>::min() : -(int64_t{1} << (width - 1));
    const int64_t max =
        width == 64 ? std::numeric_limits<int64_t>::max() : (int64_t{1} << (width - 1)) - 1;
    const std::string range = std::to_string(min) + ".." + std::to_string(max);
    int64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec == std::errc::result_out_of_range ||
        (ec == std::errc() && end == digits.data() + digits.size() &&
         (value < min || value > max))) {
      *error = "value " + Quote(text) + " out of range " + range;
      return false;
    }
    if (ec != std::errc() || end != digits.data() + digits.size()) {
      *error = "not an integer: " + Quote(text);
      return false;
    }
    *bits = static_cast<uint64_t>(value);
    return true;
  }
  const uint64_t max =
      width == 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << width) - 1;
  const std::string range = "0.." + std::to_string(max);
  if (digits.front() == '-') {
    // "-0" is zero, any other minus is below the range.
    std::string_view rest = digits.substr(1);
    if (!rest.empty() && AllDigits(rest) && rest.find_first_not_of('0') != std::string_view::npos) {
      *error = "value " + Quote(text) + " out of range " + range;
    } else {
      *error = "not an unsigned integer: " + Quote(text);
    }
    return false;
  }
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  const bool whole = end == digits.data() + digits.size();
  if (ec == std::errc::result_out_of_range || (ec == std::errc() && whole && value > max)) {
    *error = "value " + Quote(text) + " out of range " + range;
    return false;
  }
  if (ec != std::errc() || !whole) {
    *error = "not an unsigned integer: " + Quote(text);
    return false;
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

bool CheckField(const tmbio::FieldDef& field, size_t record_size, std::string* error) {
  if (!Fits(field, record_size)) {
    *error = "field lies outside the record of " + std::to_string(record_size) + " bytes";
    return false;
  }
  const Type type = TypeOf(field);
  if (type == Type::kUnknown) {
    *error = "unknown field type " + Quote(field.type);
    return false;
  }
  if ((type == Type::kInt || type == Type::kUint) && !IntegerLength(field.length)) {
    *error = "integer field of " + std::to_string(field.length) + " bytes (1, 2, 4 or 8)";
    return false;
  }
  if (type == Type::kDate && field.length < 8) {
    *error = "date field of " + std::to_string(field.length) + " bytes (8 needed)";
    return false;
  }
  return true;
}

}  // namespace

bool ClearField(const tmbio::FieldDef& field, std::span<uint8_t> record) {
  if (!Fits(field, record.size())) return false;
  const Type type = TypeOf(field);
  const uint8_t fill = type == Type::kChar || type == Type::kDate ? ' ' : 0;
  std::memset(record.data() + field.offset, fill, static_cast<size_t>(field.length));
  return true;
}

bool EncodeField(const tmbio::FieldDef& field, std::string_view text, std::span<uint8_t> record,
                 std::string* error) {
  if (!CheckField(field, record.size(), error)) return false;
  uint8_t* out = record.data() + field.offset;
  const size_t length = static_cast<size_t>(field.length);
  switch (TypeOf(field)) {
    case Type::kChar:
      if (text.size() > length) {
        *error = "text of " + std::to_string(text.size()) + " bytes is longer than the field's " +
                 std::to_string(length);
        return false;
      }
      std::memset(out, ' ', length);
      std::memcpy(out, text.data(), text.size());
      return true;
    case Type::kInt:
    case Type::kUint: {
      text = Trim(text);
      uint64_t bits = 0;
      if (!text.empty() && !ParseInteger(field, TypeOf(field) == Type::kInt, text, &bits, error)) {
        return false;
      }
      for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
      return true;
    }
    case Type::kDate: {
      text = Trim(text);
      std::string ymd;
      if (!text.empty() && !ParseDate(text, &ymd, error)) return false;
      std::memset(out, ' ', length);
      std::memcpy(out, ymd.data(), ymd.size());
      return true;
    }
    case Type::kBinary: {
      std::string bytes;
      if (!HexDecode(Trim(text), &bytes, error)) return false;
      if (bytes.size() > length) {
        *error = std::to_string(bytes.size()) + " bytes do not fit the field's " +
                 std::to_string(length);
        return false;
      }
      std::memset(out, 0, length);
      std::memcpy(out, bytes.data(), bytes.size());
      return true;
    }
    case Type::kUnknown:
      break;
  }
  return false;
}

bool DecodeField(const tmbio::FieldDef& field, std::span<const uint8_t> record, std::string* text,
                 std::string* error) {
  if (!CheckField(field, record.size(), error)) return false;
  const uint8_t* in = record.data() + field.offset;
  size_t length = static_cast<size_t>(field.length);
  text->clear();
  switch (TypeOf(field)) {
    case Type::kChar:
      while (length > 0 && (in[length - 1] == ' ' || in[length - 1] == 0)) --length;
      text->assign(reinterpret_cast<const char*>(in), length);
      return true;
    case Type::kInt:
    case Type::kUint: {
      uint64_t bits = 0;
      for (size_t i = 0; i < length; ++i) bits |= uint64_t{in[i]} << (8 * i);
      if (TypeOf(field) == Type::kUint) {
        *text = std::to_string(bits);
        return true;
      }
      const int width = static_cast<int>(length) * 8;
      if (width < 64 && (bits >> (width - 1)) & 1) bits |= ~uint64_t{0} << width;  // sign-extend
      *text = std::to_string(static_cast<int64_t>(bits));
      return true;
    }
    case Type::kDate: {
      while (length > 0 && (in[length - 1] == ' ' || in[length - 1] == 0)) --length;
      bool zeros = true;
      for (size_t i = 0; i < length; ++i) zeros = zeros && in[i] == '0';
      if (!zeros) text->assign(reinterpret_cast<const char*>(in), length);
      return true;
    }
    case Type::kBinary:
      *text = HexEncode(std::span<const uint8_t>(in, length));
      return true;
    case Type::kUnknown:
      break;
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

}  // namespace tmbadmin
