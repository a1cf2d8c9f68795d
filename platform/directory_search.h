// Directory searches with the semantics of FindFirstFileA / FindNextFileA /
// FindClose: a pattern is a path whose last component may hold the
// wildcards `*` (any run of characters, none included) and `?` (exactly one
// character); the entries of that directory whose names match are listed.
//
// As on Windows:
// - names match without regard to case (ASCII letters);
// - a pattern ending in ".*" also matches names without that dot ("*.*"
//   lists everything, "data*.*" finds "data1" and "data1.tmb");
// - "." and ".." come first when they match, except in the root directory;
//   the other names follow sorted without regard to case;
// - both '/' and '\' separate path components.
// A pattern without wildcards finds the one entry of that name, which may
// be a directory. The entries are taken when the search opens.
//
// Held to roots, a search reads a directory only when it resolves into one
// of them (platform/path_roots.h); the names it lists are only names, so a
// root's "..", or a link in it, is listed like any other entry.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/path_roots.h"

namespace tmb::platform {

class DirectorySearch {
 public:
  // Opens a search for `pattern` on its first entry. Null when the
  // directory cannot be read or nothing in it matches, and, with `roots`,
  // when the directory leads outside them.
  static std::unique_ptr<DirectorySearch> Open(std::string_view pattern,
                                               const PathRoots* roots = nullptr);

  // The current entry's name (FindFirstFileA's and FindNextFileA's cFileName).
  const std::string& name() const { return names_[next_ - 1]; }

  // Moves to the next entry; false when there is none (the name then stays).
  bool Next();

 private:
  explicit DirectorySearch(std::vector<std::string> names) : names_(std::move(names)) {}

  std::vector<std::string> names_;
  size_t next_ = 1;  // index past the current entry
};

// Whether `name` matches the wildcard `pattern` (one path component), by
// the rules above.
bool WildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace tmb::platform
