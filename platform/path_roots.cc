#include "platform/path_roots.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace tmb::platform {

std::string ResolvePath(const std::string& path) {
  if (path.empty()) return {};
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
  if (resolved == nullptr) return {};
  return resolved.get();
}

bool IsWithin(std::string_view path, std::string_view root) {
  if (root.empty()) return false;
  if (path.substr(0, root.size()) != root) return false;
  // "/" is the one resolved root that ends in a separator.
  return path.size() == root.size() || root.back() == '/' || path[root.size()] == '/';
}

void PathRoots::Add(const std::string& directory) {
  std::string root = ResolvePath(directory);
  struct stat st;
  if (root.empty() || stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  if (std::find(roots_.begin(), roots_.end(), root) != roots_.end()) return;
  roots_.push_back(std::move(root));
}

std::string PathRoots::Confine(const std::string& path) const {
  std::string resolved = ResolvePath(path);
  if (resolved.empty()) return {};
  for (const std::string& root : roots_) {
    if (IsWithin(resolved, root)) return resolved;
  }
  return {};
}

}  // namespace tmb::platform
