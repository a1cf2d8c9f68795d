#include "platform/registry_write.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/ascii_case.h"
#include "platform/registry_file.h"

namespace tmb::platform {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string_view NormalPath(std::string_view path) {
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return path;
}

const char* RootName(Hive hive) {
  return hive == Hive::kCurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

bool IsOwnRoot(std::string_view name, Hive hive) {
  if (hive == Hive::kCurrentUser) {
    return EqualsIgnoringCase(name, "HKEY_CURRENT_USER") || EqualsIgnoringCase(name, "HKCU");
  }
  return EqualsIgnoringCase(name, "HKEY_LOCAL_MACHINE") || EqualsIgnoringCase(name, "HKLM");
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The file's text in an 8-bit form that edits can work on line by line.
std::string EditableText(const std::string& bytes) {
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
      static_cast<unsigned char>(bytes[1]) != 0xFE) {
    return bytes;
  }
  std::string out = "\xEF\xBB\xBF";
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    char32_t unit = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
      char32_t low = static_cast<unsigned char>(bytes[i + 2]) | static_cast<unsigned char>(bytes[i + 3]) << 8;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) unit = 0xFFFD;
    AppendUtf8(unit, &out);
  }
  return out;
}

struct HiveText {
  std::vector<std::string> lines;
  std::string eol = "\r\n";
  bool utf16_texts = true;  // a 5.00 file; REGEDIT4 keeps texts 8-bit
};

HiveText SplitLines(const std::string& text) {
  HiveText h;
  if (text.find('\n') != std::string::npos && text.find("\r\n") == std::string::npos) h.eol = "\n";
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    h.lines.push_back(std::move(line));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  if (h.lines.empty()) {
    h.lines = {std::string(kHeader), ""};
  } else {
    std::string_view first = Trim(h.lines[0]);
    if (first.substr(0, 3) == "\xEF\xBB\xBF") first.remove_prefix(3);
    h.utf16_texts = first != "REGEDIT4";
  }
  return h;
}

// The folded key path of a section header of `hive`; none for anything else.
std::optional<std::string> SectionPath(std::string_view line, Hive hive) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return std::nullopt;
  std::string_view inner = line.substr(1, line.size() - 2);
  const size_t slash = inner.find('\\');
  if (!IsOwnRoot(inner.substr(0, slash), hive)) return std::nullopt;
  if (slash == std::string_view::npos) return std::string();
  return regfile::FoldCase(NormalPath(inner.substr(slash + 1)));
}

bool IsSection(std::string_view line) { return !Trim(line).empty() && Trim(line).front() == '['; }

// The folded name of a value line; none for other lines.
std::optional<std::string> ValueName(std::string_view line) {
  line = Trim(line);
  if (line.empty()) return std::nullopt;
  if (line.front() == '@') return std::string();
  if (line.front() != '"') return std::nullopt;
  std::string name;
  for (size_t i = 1; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) {
      name.push_back(line[++i]);
    } else if (line[i] == '"') {
      return regfile::FoldCase(name);
    } else {
      name.push_back(line[i]);
    }
  }
  return std::nullopt;
}

// How many lines the value starting at `i` takes: it goes on while a line
// ends in '\'.
size_t ValueLineCount(const std::vector<std::string>& lines, size_t i) {
  size_t n = 1;
  while (i + n - 1 < lines.size() && !Trim(lines[i + n - 1]).empty() &&
         Trim(lines[i + n - 1]).back() == '\\' && i + n < lines.size() && !IsSection(lines[i + n])) {
    ++n;
  }
  return n;
}

bool IsPlainText(std::string_view text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

std::string ValueLine(std::string_view name, uint32_t type, std::string_view data, bool utf16_texts) {
  std::string line = name.empty() ? "@" : Quoted(name);
  line += "=";
  if (type == kRegSz) {
    std::string_view text = data;
    if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
    if (IsPlainText(text)) return line + Quoted(text);
  }
  if (type == kRegDword && data.size() == 4) {
    uint32_t v = static_cast<unsigned char>(data[0]) | static_cast<unsigned char>(data[1]) << 8 |
                 static_cast<unsigned char>(data[2]) << 16 | static_cast<uint32_t>(static_cast<unsigned char>(data[3])) << 24;
    char number[16];
    std::snprintf(number, sizeof number, "dword:%08x", v);
    return line + number;
  }
  std::string bytes;
  const bool text_type = type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
  if (text_type && utf16_texts) {
    for (char c : data) {
      char16_t unit = regfile::Windows1252ToUtf16(static_cast<unsigned char>(c));
      bytes.push_back(static_cast<char>(unit & 0xFF));
      bytes.push_back(static_cast<char>(unit >> 8));
    }
  } else {
    bytes.assign(data);
  }
  char prefix[16];
  if (type == kRegBinary) {
    std::snprintf(prefix, sizeof prefix, "hex:");
  } else {
    std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(type));
  }
  line += prefix;
  // Lines of the registry editor's width, each carried on with '\'.
  size_t width = line.size();
  for (size_t i = 0; i < bytes.size(); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(bytes[i]));
    line += hex;
    width += 2;
    if (i + 1 < bytes.size()) {
      line += ",";
      ++width;
      if (width > 76) {
        line += "\\\n  ";
        width = 2;
      }
    }
  }
  return line;
}

class LockedHive {
 public:
  explicit LockedHive(Hive hive) : path_(HiveFilePath(hive)) {
    if (path_.empty()) return;
    lock_fd_ = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ < 0) return;
    while (::flock(lock_fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(lock_fd_);
        lock_fd_ = -1;
        return;
      }
    }
  }
  ~LockedHive() {
    if (lock_fd_ >= 0) ::close(lock_fd_);  // closing releases the lock
  }
  LockedHive(const LockedHive&) = delete;
  LockedHive& operator=(const LockedHive&) = delete;

  bool locked() const { return lock_fd_ >= 0; }

  // The file's bytes; "" for a missing file. False when it cannot be read.
  bool Read(std::string* bytes) const {
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char buffer[65536];
    while (ok) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      bytes->append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return ok;
  }

  bool Replace(const std::string& bytes) const {
    const std::string temp = path_ + ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    bool ok = true;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = false;
        break;
      }
      done += static_cast<size_t>(n);
    }
    // On disk before it takes the old file's place: a crash leaves one whole
    // file or the other.
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path_.c_str()) != 0) {
      ::unlink(temp.c_str());
      return false;
    }
    return true;
  }

 private:
  std::string path_;
  int lock_fd_ = -1;
};

std::string Join(const HiveText& h) {
  std::string out;
  for (const std::string& line : h.lines) {
    // Continuation breaks made by ValueLine carry a bare '\n'.
    std::string l = line;
    for (size_t at = 0; (at = l.find('\n', at)) != std::string::npos; at += h.eol.size()) {
      l.replace(at, 1, h.eol);
    }
    out += l + h.eol;
  }
  return out;
}

// Runs `edit` on the hive's lines under the lock and writes the result when
// `edit` says so.
template <typename Edit>
long EditHive(Hive hive, Edit edit) {
  LockedHive file(hive);
  if (!file.locked()) return kErrorAccessDenied;
  std::string bytes;
  if (!file.Read(&bytes)) return kErrorAccessDenied;
  HiveText text = SplitLines(EditableText(bytes));
  while (!text.lines.empty() && Trim(text.lines.back()).empty()) text.lines.pop_back();
  bool changed = false;
  const long result = edit(text, &changed);
  if (result != kErrorSuccess || !changed) return result;
  return file.Replace(Join(text)) ? kErrorSuccess : kErrorAccessDenied;
}

bool KeyExists(const HiveText& text, Hive hive, const std::string& folded) {
  for (const std::string& line : text.lines) {
    auto path = SectionPath(line, hive);
    if (path && (*path == folded || path->compare(0, folded.size() + 1, folded + "\\") == 0)) return true;
  }
  return false;
}

void AppendSection(HiveText& text, Hive hive, std::string_view path) {
  text.lines.push_back("");
  text.lines.push_back("[" + std::string(RootName(hive)) + "\\" + std::string(NormalPath(path)) + "]");
}

}  // namespace

long CreateRegistryKey(Hive hive, std::string_view path) {
  if (NormalPath(path).empty()) return kErrorInvalidParameter;
  const std::string folded = regfile::FoldCase(NormalPath(path));
  return EditHive(hive, [&](HiveText& text, bool* changed) {
    if (!KeyExists(text, hive, folded)) {
      AppendSection(text, hive, path);
      *changed = true;
    }
    return kErrorSuccess;
  });
}

long SetRegistryValue(Hive hive, std::string_view path, std::string_view name, uint32_t type, const void* data,
                      uint32_t size) {
  if (NormalPath(path).empty()) return kErrorInvalidParameter;
  if (data == nullptr && size != 0) return kErrorInvalidParameter;
  const std::string folded = regfile::FoldCase(NormalPath(path));
  const std::string folded_name = regfile::FoldCase(name);
  const std::string_view bytes(static_cast<const char*>(data), size);
  return EditHive(hive, [&](HiveText& text, bool* changed) {
    *changed = true;
    // Earlier lines of the same value go, so that the file states it once.
    std::vector<std::string>& lines = text.lines;
    bool in_key = false;
    size_t insert_at = 0;
    for (size_t i = 0; i < lines.size();) {
      if (IsSection(lines[i])) {
        auto section = SectionPath(lines[i], hive);
        in_key = section && *section == folded;
        if (in_key) insert_at = i + 1;
        ++i;
        continue;
      }
      auto value = in_key ? ValueName(lines[i]) : std::nullopt;
      const size_t count = value ? ValueLineCount(lines, i) : 1;
      if (value && *value == folded_name) {
        lines.erase(lines.begin() + static_cast<long>(i), lines.begin() + static_cast<long>(i + count));
        continue;
      }
      if (in_key && !Trim(lines[i]).empty()) insert_at = i + count;
      i += count;
    }
    const std::string line = ValueLine(name, type, bytes, text.utf16_texts);
    if (insert_at == 0) {
      AppendSection(text, hive, path);
      lines.push_back(line);
    } else {
      lines.insert(lines.begin() + static_cast<long>(insert_at), line);
    }
    return kErrorSuccess;
  });
}

long DeleteRegistryKey(Hive hive, std::string_view path) {
  if (NormalPath(path).empty()) return kErrorInvalidParameter;
  const std::string folded = regfile::FoldCase(NormalPath(path));
  return EditHive(hive, [&](HiveText& text, bool* changed) {
    if (!KeyExists(text, hive, folded)) return kErrorFileNotFound;
    std::vector<std::string> kept;
    bool dropping = false;
    for (std::string& line : text.lines) {
      if (IsSection(line)) {
        auto section = SectionPath(line, hive);
        dropping = section && (*section == folded || section->compare(0, folded.size() + 1, folded + "\\") == 0);
      }
      if (!dropping) kept.push_back(std::move(line));
    }
    text.lines = std::move(kept);
    *changed = true;
    return kErrorSuccess;
  });
}

}  // namespace tmb::platform
