#include "platform/registry_file.h"

#include <array>
#include <optional>
#include <utility>

#include "platform/ascii_case.h"

namespace tmb::platform::regfile {
namespace {

// ---- Windows-1252 ----------------------------------------------------------

// The code points of bytes 0x80..0x9F; 0 where the code page leaves the byte
// undefined (Windows maps those to the C1 control of the same number).
constexpr std::array<char16_t, 32> kHighCodePoints = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char ToWindows1252(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  if (cp <= 0x9F) return kHighCodePoints[cp - 0x80] == 0 ? static_cast<char>(cp) : '?';
  for (size_t i = 0; i < kHighCodePoints.size(); ++i) {
    if (kHighCodePoints[i] != 0 && kHighCodePoints[i] == cp) return static_cast<char>(0x80 + i);
  }
  return '?';
}

// How names of keys and values fold: the Windows-1252 letters too, not
// ASCII alone. The fixed words of the file's format are ASCII and are
// compared by platform/ascii_case.h.
unsigned char FoldChar(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c + ('a' - 'A');
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;  // À..Þ, not ×
  switch (c) {
    case 0x8A: return 0x9A;  // Š
    case 0x8C: return 0x9C;  // Œ
    case 0x8E: return 0x9E;  // Ž
    case 0x9F: return 0xFF;  // Ÿ
    default: return c;
  }
}

// `bytes` has an even length. A surrogate pair (or a lone surrogate) is one
// character that Windows-1252 lacks.
void AppendUtf16Le(std::string_view bytes, std::string* out) {
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
      char16_t low = static_cast<char16_t>(static_cast<unsigned char>(bytes[i + 2]) |
                                           static_cast<unsigned char>(bytes[i + 3]) << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) i += 2;
    }
    out->push_back(ToWindows1252(unit));
  }
}

// Length of the well-formed UTF-8 sequence at s[i] with its code point, or 0.
size_t Utf8Sequence(std::string_view s, size_t i, char32_t* cp) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b = at(i);
  if (b < 0x80) {
    *cp = b;
    return 1;
  }
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) lo = 0xA0;  // overlong
    if (b == 0xED) hi = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) lo = 0x90;  // overlong
    if (b == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  if (at(i + 1) < lo || at(i + 1) > hi) return 0;
  char32_t value = b & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) {
    if ((at(i + k) & 0xC0) != 0x80) return 0;
    value = value << 6 | (at(i + k) & 0x3F);
  }
  *cp = value;
  return len;
}

// True when `s` is all valid UTF-8 and uses at least one multi-byte sequence:
// a Windows-1252 text with letters beyond ASCII almost never is.
bool LooksLikeUtf8(std::string_view s) {
  bool multibyte = false;
  char32_t cp;
  for (size_t i = 0; i < s.size();) {
    size_t len = Utf8Sequence(s, i, &cp);
    if (len == 0) return false;
    multibyte |= len > 1;
    i += len;
  }
  return multibyte;
}

// ---- Decoding the file -----------------------------------------------------

struct DecodedText {
  std::string text;  // Windows-1252
  // Lines (1-based) that the decoder could not read faithfully, with why.
  std::map<uint32_t, std::string> bad_lines;
};

// Returns nothing for an encoding that cannot be read at all (reported).
std::optional<DecodedText> Decode(std::string_view bytes, std::string* error) {
  DecodedText out;
  auto starts = [&](std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; };
  if (starts("\xFF\xFE")) {
    std::string_view body = bytes.substr(2);
    AppendUtf16Le(body.substr(0, body.size() & ~size_t{1}), &out.text);
    if (body.size() % 2 != 0) {
      uint32_t last_line = 1;
      for (char c : out.text) last_line += c == '\n';
      out.bad_lines[last_line] = "the file ends in the middle of a UTF-16 character";
    }
    return out;
  }
  if (starts("\xFE\xFF")) {
    *error = "UTF-16 big-endian is not supported; save the file as UTF-16LE, UTF-8 or Windows-1252";
    return std::nullopt;
  }
  bool bom = starts("\xEF\xBB\xBF");
  if (bom) bytes.remove_prefix(3);
  if (!bom && !LooksLikeUtf8(bytes)) {
    out.text.assign(bytes);
    return out;
  }
  uint32_t line = 1;
  for (size_t i = 0; i < bytes.size();) {
    char32_t cp;
    size_t len = Utf8Sequence(bytes, i, &cp);
    if (len == 0) {
      out.bad_lines.emplace(line, "invalid UTF-8 sequence");
      out.text.push_back('?');
      ++i;
      continue;
    }
    if (cp == '\n') ++line;
    out.text.push_back(ToWindows1252(cp));
    i += len;
  }
  return out;
}

// ---- Lexing helpers --------------------------------------------------------

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to `max_digits` hex digits and nothing else.
bool ParseHexNumber(std::string_view s, size_t max_digits, uint32_t* out) {
  if (s.empty() || s.size() > max_digits) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

// A quoted text at the start of `*s`, with \\ and \" as its only escapes;
// `*s` is left just past the closing quote.
bool ParseQuoted(std::string_view* s, std::string* out, std::string* error) {
  size_t i = 1;  // past the opening quote
  while (i < s->size()) {
    char c = (*s)[i++];
    if (c == '"') {
      s->remove_prefix(i);
      return true;
    }
    if (c == '\\') {
      if (i == s->size()) break;
      char next = (*s)[i++];
      if (next != '\\' && next != '"') {
        *error = std::string("unknown escape \\") + next + " in a quoted text (a backslash is written \\\\)";
        return false;
      }
      c = next;
    }
    out->push_back(c);
  }
  *error = "quoted text without its closing '\"'";
  return false;
}

// "aa,bb,..." with optional blanks around each byte; "" is no bytes.
bool ParseHexBytes(std::string_view s, std::string* out, std::string* error) {
  s = Trim(s);
  if (s.empty()) return true;
  while (true) {
    size_t comma = s.find(',');
    std::string_view item = Trim(s.substr(0, comma));
    uint32_t byte;
    if (!ParseHexNumber(item, 2, &byte)) {
      *error = item.empty() ? "empty byte in hex data"
                            : "'" + std::string(item.substr(0, 16)) + "' is not a hex byte";
      return false;
    }
    out->push_back(static_cast<char>(byte));
    if (comma == std::string_view::npos) return true;
    s.remove_prefix(comma + 1);
  }
}

bool IsTextType(uint32_t type) { return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz; }

// Callers take texts as C strings: a text that does not end in its
// terminator(s) gets them, so that no reader runs past the data.
void EnsureTerminated(uint32_t type, std::string* data) {
  if (type == kRegMultiSz) {
    if (data->empty()) {
      data->push_back('\0');
    } else if (data->back() != '\0') {
      data->append(2, '\0');
    } else if (data->size() >= 2 && (*data)[data->size() - 2] != '\0') {
      data->push_back('\0');
    }
  } else if (data->empty() || data->back() != '\0') {
    data->push_back('\0');
  }
}

// ---- Lines -----------------------------------------------------------------

enum class Root { kCurrentUser, kLocalMachine, kOther, kUnknown };

Root ParseRoot(std::string_view name) {
  for (std::string_view n : {"HKEY_CURRENT_USER", "HKCU"}) {
    if (EqualsIgnoringCase(name, n)) return Root::kCurrentUser;
  }
  for (std::string_view n : {"HKEY_LOCAL_MACHINE", "HKLM"}) {
    if (EqualsIgnoringCase(name, n)) return Root::kLocalMachine;
  }
  for (std::string_view n : {"HKEY_CLASSES_ROOT", "HKCR", "HKEY_USERS", "HKU", "HKEY_CURRENT_CONFIG", "HKCC",
                             "HKEY_PERFORMANCE_DATA", "HKEY_DYN_DATA"}) {
    if (EqualsIgnoringCase(name, n)) return Root::kOther;
  }
  return Root::kUnknown;
}

const char* HiveName(Hive hive) {
  return hive == Hive::kCurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

// "[ROOT\a\b]" -> {"a", "b"} when ROOT is `hive`.
bool ParseSection(std::string_view line, Hive hive, std::vector<std::string_view>* path, std::string* error) {
  if (line.back() != ']') {
    *error = "section header without its closing ']'";
    return false;
  }
  std::string_view inner = line.substr(1, line.size() - 2);
  if (!inner.empty() && inner.front() == '-') {
    *error = "key deletion \"[-...]\" has no meaning in a hive file; the section is ignored";
    return false;
  }
  size_t slash = inner.find('\\');
  std::string_view root_name = inner.substr(0, slash);
  Root root = ParseRoot(root_name);
  if (root == Root::kUnknown) {
    *error = "unknown root key '" + std::string(root_name.substr(0, 64)) + "'; the section is ignored";
    return false;
  }
  Root mine = hive == Hive::kCurrentUser ? Root::kCurrentUser : Root::kLocalMachine;
  if (root != mine) {
    *error = "key of another hive (" + std::string(root_name) + ") in the " + HiveName(hive) +
             " file; the section is ignored";
    return false;
  }
  if (slash == std::string_view::npos) return true;  // the hive's root key itself
  std::string_view rest = inner.substr(slash + 1);
  while (true) {
    size_t next = rest.find('\\');
    std::string_view part = rest.substr(0, next);
    if (part.empty()) {
      *error = "empty key name in the section header";
      return false;
    }
    if (part.size() > kMaxKeyNameLength) {
      *error = "key name longer than " + std::to_string(kMaxKeyNameLength) + " characters";
      return false;
    }
    path->push_back(part);
    if (path->size() > kMaxKeyDepth) {
      *error = "key path deeper than " + std::to_string(kMaxKeyDepth) + " levels";
      return false;
    }
    if (next == std::string_view::npos) return true;
    rest.remove_prefix(next + 1);
  }
}

// One value line: `"name"=data` or `@=data`. `utf16_texts` is true in a 5.00
// file, whose hex(1), hex(2) and hex(7) bytes are UTF-16LE.
bool ParseValue(std::string_view line, bool utf16_texts, Value* value, std::string* error) {
  std::string_view s = line;
  if (s.front() == '@') {
    s.remove_prefix(1);
  } else if (!ParseQuoted(&s, &value->name, error)) {
    return false;
  }
  if (value->name.size() > kMaxValueNameLength) {
    *error = "value name longer than " + std::to_string(kMaxValueNameLength) + " characters";
    return false;
  }
  s = Trim(s);
  if (s.empty() || s.front() != '=') {
    *error = "'=' expected after the value name";
    return false;
  }
  s = Trim(s.substr(1));
  if (s == "-") {
    *error = "value deletion \"=-\" has no meaning in a hive file";
    return false;
  }
  if (!s.empty() && s.front() == '"') {
    if (!ParseQuoted(&s, &value->data, error)) return false;
    if (!Trim(s).empty()) {
      *error = "text after the closing quote of the data";
      return false;
    }
    value->type = kRegSz;
    value->data.push_back('\0');
    return true;
  }
  if (StartsWithIgnoringCase(s, "dword:")) {
    uint32_t v;
    if (!ParseHexNumber(s.substr(6), 8, &v)) {
      *error = "dword data must be 1 to 8 hex digits";
      return false;
    }
    value->type = kRegDword;
    for (int i = 0; i < 4; ++i) value->data.push_back(static_cast<char>(v >> (8 * i) & 0xFF));
    return true;
  }
  if (StartsWithIgnoringCase(s, "hex:")) {
    value->type = kRegBinary;
    return ParseHexBytes(s.substr(4), &value->data, error);
  }
  if (StartsWithIgnoringCase(s, "hex(")) {
    size_t close = s.find("):");
    if (close == std::string_view::npos || !ParseHexNumber(s.substr(4, close - 4), 8, &value->type)) {
      *error = "hex(N): expects N as 1 to 8 hex digits";
      return false;
    }
    std::string bytes;
    if (!ParseHexBytes(s.substr(close + 2), &bytes, error)) return false;
    bool text = IsTextType(value->type);
    if (text && utf16_texts) {
      if (bytes.size() % 2 != 0) {
        *error = "text data of a 5.00 file must be UTF-16LE, but has an odd number of bytes";
        return false;
      }
      AppendUtf16Le(bytes, &value->data);
    } else {
      value->data = std::move(bytes);
    }
    if (text) EnsureTerminated(value->type, &value->data);
    return true;
  }
  *error = "unknown value data (expected \"text\", dword:, hex: or hex(N):)";
  return false;
}

bool StartsValue(std::string_view s) { return !s.empty() && (s.front() == '"' || s.front() == '@'); }

// A line that can carry on a value ended in '\': hex data, never the start of
// something else, so that a stray '\' cannot swallow the next section.
bool ContinuesValue(std::string_view s) {
  return !s.empty() && !StartsValue(s) && s.front() != '[' && s.front() != ';';
}

}  // namespace

// ---- Public ----------------------------------------------------------------

char16_t Windows1252ToUtf16(unsigned char c) {
  if (c < 0x80 || c > 0x9F) return c;
  return kHighCodePoints[c - 0x80] == 0 ? c : kHighCodePoints[c - 0x80];
}

std::string FoldCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(FoldChar(static_cast<unsigned char>(c)));
  return out;
}

const Value* Key::FindValue(std::string_view name) const {
  auto it = by_name.find(FoldCase(name));
  return it == by_name.end() ? nullptr : &values[it->second];
}

void Key::SetValue(Value value) {
  auto [it, added] = by_name.emplace(FoldCase(value.name), values.size());
  if (added) {
    values.push_back(std::move(value));
  } else {
    // The first spelling of the name stays; only the data changes.
    values[it->second].type = value.type;
    values[it->second].data = std::move(value.data);
  }
}

const Key* FindKey(const Key& root, std::string_view path) {
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  const Key* key = &root;
  if (path.empty()) return key;
  while (true) {
    size_t next = path.find('\\');
    std::string_view part = path.substr(0, next);
    if (part.empty()) return nullptr;
    auto it = key->subkeys.find(FoldCase(part));
    if (it == key->subkeys.end()) return nullptr;
    key = it->second.get();
    if (next == std::string_view::npos) return key;
    path.remove_prefix(next + 1);
  }
}

ParsedHive ParseHive(std::string_view bytes, std::string_view file_name, Hive hive) {
  ParsedHive result;
  auto report = [&](uint32_t line, const std::string& what) {
    result.diagnostics.push_back(std::string(file_name) + ":" + std::to_string(line) + ": " + what);
  };

  std::string error;
  std::optional<DecodedText> decoded = Decode(bytes, &error);
  if (!decoded) {
    report(1, error);
    return result;
  }

  std::vector<std::string_view> lines;
  std::string_view text = decoded->text;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }

  size_t first = 0;
  while (first < lines.size() && Trim(lines[first]).empty()) ++first;
  if (first == lines.size()) return result;  // an empty file is an empty hive
  std::string_view header = Trim(lines[0]);
  bool utf16_texts;
  if (EqualsIgnoringCase(header, "Windows Registry Editor Version 5.00")) {
    utf16_texts = true;
  } else if (EqualsIgnoringCase(header, "REGEDIT4")) {
    utf16_texts = false;
  } else {
    report(1,
           "not a registry file: the first line must be \"Windows Registry Editor Version 5.00\" or "
           "\"REGEDIT4\"; the file is ignored");
    return result;
  }

  auto bad_line = [&](size_t from, size_t to) -> const std::string* {  // 1-based, inclusive
    auto it = decoded->bad_lines.lower_bound(static_cast<uint32_t>(from));
    return it != decoded->bad_lines.end() && it->first <= to ? &it->second : nullptr;
  };

  Key* current = nullptr;   // the key that takes values; null before any
  bool ignoring = false;    // values follow a section that was refused
  std::string joined;
  for (size_t i = 1; i < lines.size();) {
    const uint32_t line_no = static_cast<uint32_t>(i + 1);
    std::string_view body = Trim(lines[i++]);
    if (body.empty() || body.front() == ';') continue;

    if (StartsValue(body) && body.back() == '\\') {
      joined.assign(body.substr(0, body.size() - 1));
      bool ended = false;
      while (i < lines.size() && ContinuesValue(Trim(lines[i]))) {
        std::string_view next = Trim(lines[i++]);
        if (next.back() != '\\') {
          joined.append(next);
          ended = true;
          break;
        }
        joined.append(next.substr(0, next.size() - 1));
      }
      if (!ended) {
        if (!ignoring) report(line_no, "value line ends in '\\' but no continuation line follows");
        continue;
      }
      body = joined;
    }
    const size_t last_no = i;  // the physical line that ended this one

    bool section = body.front() == '[';
    if (const std::string* why = bad_line(line_no, last_no)) {
      if (section || !ignoring) report(line_no, *why);
      if (section) {
        current = nullptr;
        ignoring = true;
      }
      continue;
    }
    if (body.find('\0') != std::string_view::npos) {
      if (section || !ignoring) report(line_no, "NUL character in the line");
      if (section) {
        current = nullptr;
        ignoring = true;
      }
      continue;
    }

    if (section) {
      std::vector<std::string_view> path;
      current = nullptr;
      ignoring = !ParseSection(body, hive, &path, &error);
      if (ignoring) {
        report(line_no, error);
        continue;
      }
      Key* key = &result.root;
      for (std::string_view part : path) {
        auto& slot = key->subkeys[FoldCase(part)];
        if (!slot) slot = std::make_unique<Key>();
        key = slot.get();
      }
      current = key;
      continue;
    }

    if (!StartsValue(body)) {
      if (!ignoring) report(line_no, "not a section header, a value, or a comment");
      continue;
    }
    if (ignoring) continue;
    if (current == nullptr) {
      report(line_no, "value before the first section header");
      continue;
    }
    Value value;
    if (!ParseValue(body, utf16_texts, &value, &error)) {
      report(line_no, error);
      continue;
    }
    current->SetValue(std::move(value));
  }
  return result;
}

}  // namespace tmb::platform::regfile
