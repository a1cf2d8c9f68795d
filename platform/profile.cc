#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/ascii_case.h"

namespace tmb::platform {
namespace {

constexpr size_t kMaxProfileBytes = 16u << 20;

struct Entry {
  std::string key;
  std::string value;
};

struct Section {
  std::string name;
  std::vector<Entry> entries;
};

std::string_view Trim(std::string_view s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

std::string_view Unquoted(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

// The file's bytes; empty when it cannot be read. Opened without blocking
// and read only when it is a regular file, so that a FIFO or a device named
// by a client can neither stall nor flood the reader.
std::string ReadProfileFile(const char* file_name) {
  std::string bytes;
  const int fd = open(file_name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return bytes;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char chunk[8192];
    while (bytes.size() < kMaxProfileBytes) {
      const ssize_t r = read(fd, chunk, sizeof chunk);
      if (r <= 0) break;
      bytes.append(chunk, static_cast<size_t>(r));
    }
    if (bytes.size() > kMaxProfileBytes) bytes.resize(kMaxProfileBytes);
  }
  close(fd);
  return bytes;
}

std::vector<Section> Parse(std::string_view text) {
  std::vector<Section> sections;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      std::string_view name = line.substr(1);
      const size_t close = name.find(']');
      if (close != std::string_view::npos) name = name.substr(0, close);
      sections.push_back({std::string(Trim(name)), {}});
      continue;
    }
    const size_t eq = line.find('=');
    if (sections.empty() || eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    if (key.empty()) continue;
    sections.back().entries.push_back(
        {std::string(key), std::string(Unquoted(Trim(line.substr(eq + 1))))});
  }
  return sections;
}

// Copies one text with the value rule.
uint32_t CopyValue(std::string_view v, char* buffer, uint32_t size) {
  if (size == 0) return 0;
  const size_t n = v.size() < size ? v.size() : size - 1;
  if (n != 0) std::memcpy(buffer, v.data(), n);
  buffer[n] = '\0';
  return static_cast<uint32_t>(n);
}

// Copies a list of names with the list rule.
uint32_t CopyList(const std::vector<std::string>& names, char* buffer, uint32_t size) {
  if (size == 0) return 0;
  std::string list;
  for (const std::string& n : names) {
    list += n;
    list.push_back('\0');
  }
  if (list.size() + 1 <= size) {
    std::memcpy(buffer, list.data(), list.size());
    buffer[list.size()] = '\0';
    if (list.empty() && size >= 2) buffer[1] = '\0';
    return static_cast<uint32_t>(list.size());
  }
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  std::memcpy(buffer, list.data(), size - 2);
  buffer[size - 2] = '\0';
  buffer[size - 1] = '\0';
  return size - 2;
}

// Names in the order they first come, each once without regard to case.
// The seen set makes a listing linear in its names: a file of many distinct
// names must not cost a compare of each against all before it.
class NameList {
 public:
  // `name` must outlive the list (it points into the parsed sections).
  void AddOnce(std::string_view name) {
    if (seen_.insert(name).second) names_.emplace_back(name);
  }
  const std::vector<std::string>& names() const { return names_; }

 private:
  struct FoldedHash {
    size_t operator()(std::string_view s) const {
      size_t h = 14695981039346656037ull;  // FNV-1a over the folded bytes
      for (char c : s) h = (h ^ static_cast<unsigned char>(FoldAscii(c))) * 1099511628211ull;
      return h;
    }
  };
  struct FoldedEqual {
    bool operator()(std::string_view a, std::string_view b) const {
      return EqualsIgnoringCase(a, b);
    }
  };
  std::unordered_set<std::string_view, FoldedHash, FoldedEqual> seen_;
  std::vector<std::string> names_;
};

}  // namespace

uint32_t GetPrivateProfileString(const char* section, const char* key, const char* default_text,
                                 char* buffer, uint32_t size, const char* file_name,
                                 const PathRoots* roots) {
  std::string confined;
  if (roots != nullptr) confined = roots->Confine(file_name);
  const std::vector<Section> sections =
      roots != nullptr && confined.empty()
          ? std::vector<Section>{}
          : Parse(ReadProfileFile(roots != nullptr ? confined.c_str() : file_name));
  NameList names;
  if (section == nullptr) {
    for (const Section& s : sections) names.AddOnce(s.name);
    return CopyList(names.names(), buffer, size);
  }
  if (key == nullptr) {
    for (const Section& s : sections) {
      if (!EqualsIgnoringCase(s.name, section)) continue;
      for (const Entry& e : s.entries) names.AddOnce(e.key);
    }
    return CopyList(names.names(), buffer, size);
  }
  for (const Section& s : sections) {
    if (!EqualsIgnoringCase(s.name, section)) continue;
    for (const Entry& e : s.entries) {
      if (EqualsIgnoringCase(e.key, key)) return CopyValue(e.value, buffer, size);
    }
  }
  std::string_view fallback = default_text != nullptr ? default_text : "";
  const size_t last = fallback.find_last_not_of(" \t");
  fallback = last == std::string_view::npos ? std::string_view{} : fallback.substr(0, last + 1);
  return CopyValue(fallback, buffer, size);
}

}  // namespace tmb::platform
