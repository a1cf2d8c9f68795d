#include "platform/directory_search.h"

#include <dirent.h>

#include <algorithm>

#include "platform/ascii_case.h"

namespace tmb::platform {
namespace {

// Iterative matcher: on a mismatch after a '*', the star takes one more
// character and matching resumes. Linear in practice, never recursive.
bool MatchCore(std::string_view p, std::string_view n) {
  size_t pi = 0, ni = 0;
  size_t star = std::string_view::npos, resume = 0;
  while (ni < n.size()) {
    if (pi < p.size() && p[pi] == '*') {
      star = pi++;
      resume = ni;
    } else if (pi < p.size() && (p[pi] == '?' || FoldAscii(p[pi]) == FoldAscii(n[ni]))) {
      ++pi;
      ++ni;
    } else if (star != std::string_view::npos) {
      pi = star + 1;
      ni = ++resume;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

bool LessIgnoringCase(const std::string& a, const std::string& b) {
  const auto folded_less = [](char x, char y) { return FoldAscii(x) < FoldAscii(y); };
  if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), folded_less)) {
    return true;
  }
  if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), folded_less)) {
    return false;
  }
  return a < b;  // names that differ only in case keep a fixed order
}

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  if (MatchCore(pattern, name)) return true;
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*") {
    return MatchCore(pattern.substr(0, pattern.size() - 2), name);
  }
  return false;
}

std::unique_ptr<DirectorySearch> DirectorySearch::Open(std::string_view pattern,
                                                       const PathRoots* roots) {
  const size_t cut = pattern.find_last_of("/\\");
  std::string directory;
  std::string_view component = pattern;
  if (cut == std::string_view::npos) {
    directory = ".";
  } else {
    directory = std::string(pattern.substr(0, cut));
    std::replace(directory.begin(), directory.end(), '\\', '/');
    if (directory.empty()) directory = "/";
    component = pattern.substr(cut + 1);
  }
  if (component.empty()) return nullptr;
  if (roots != nullptr) {
    // The directory read is the one checked, as resolved, not the spelling
    // the client sent.
    directory = roots->Confine(directory);
    if (directory.empty()) return nullptr;
  }

  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return nullptr;
  const bool root = directory.find_first_not_of('/') == std::string::npos;
  std::vector<std::string> names;
  bool dot = false, dot_dot = false;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (!WildcardMatch(component, name)) continue;
    if (name == ".") {
      dot = !root;
    } else if (name == "..") {
      dot_dot = !root;
    } else {
      names.emplace_back(name);
    }
  }
  closedir(dir);

  std::sort(names.begin(), names.end(), LessIgnoringCase);
  std::vector<std::string> listed;
  listed.reserve(names.size() + 2);
  if (dot) listed.emplace_back(".");
  if (dot_dot) listed.emplace_back("..");
  listed.insert(listed.end(), std::make_move_iterator(names.begin()),
                std::make_move_iterator(names.end()));
  if (listed.empty()) return nullptr;
  return std::unique_ptr<DirectorySearch>(new DirectorySearch(std::move(listed)));
}

bool DirectorySearch::Next() {
  if (next_ >= names_.size()) return false;
  ++next_;
  return true;
}

}  // namespace tmb::platform
