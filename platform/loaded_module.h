// Finding a library the process has already loaded, by its file name, as
// Windows finds a module by name and tells its full path.
#pragma once

#include <string>

namespace tmb::platform {

// The full path of the loaded shared object whose file name (the part after
// the last '/') is `file_name`, as the dynamic loader recorded it. Empty
// when no such object is loaded.
std::string LoadedModulePath(const char* file_name);

}  // namespace tmb::platform
