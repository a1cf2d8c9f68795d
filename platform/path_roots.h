// Paths held to a set of root directories.
//
// A path is judged by where it leads, not by how it is spelt: it is resolved
// as the file system resolves it (realpath, from the current directory when
// relative), so ".", ".." and symbolic links in any component count as they
// would for an open. Only a path that exists resolves. Every user of this
// unit only reads, never creates, so a path that does not resolve names
// nothing it could reach: it gets the answer for a missing path, whether it
// would have led into a root or not.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tmb::platform {

// `path` as realpath gives it; empty when it does not resolve (missing, a
// dangling link, a loop, no search permission on the way, empty).
std::string ResolvePath(const std::string& path);

// Whether the resolved `path` is `root` or lies below it, by whole
// components ("/data2" is not below "/data").
bool IsWithin(std::string_view path, std::string_view root);

class PathRoots {
 public:
  // Adds `directory` as resolved now. One that does not resolve, or is no
  // directory, adds nothing.
  void Add(const std::string& directory);

  // `path` resolved, when it lies in one of the roots; otherwise empty.
  std::string Confine(const std::string& path) const;

  const std::vector<std::string>& roots() const { return roots_; }

 private:
  std::vector<std::string> roots_;  // resolved, each once
};

}  // namespace tmb::platform
