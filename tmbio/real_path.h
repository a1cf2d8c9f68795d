// The file system's own name of a path (realpath(3): absolute, symbolic
// links and ".." resolved), as a string.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

namespace tmbio {

// Sets *out and returns true; false, with errno set by realpath(3), when
// the path cannot be resolved. Throws std::bad_alloc when memory runs out,
// having given back what realpath(3) took.
inline bool RealPath(const std::string& path, std::string* out) {
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
  if (resolved == nullptr) return false;
  out->assign(resolved.get());
  return true;
}

}  // namespace tmbio
