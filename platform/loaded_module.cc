#include "platform/loaded_module.h"

#include <link.h>

#include <cstring>

namespace tmb::platform {
namespace {

struct Search {
  const char* file_name;
  std::string path;
};

int Visit(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<Search*>(data);
  const char* name = info->dlpi_name;
  if (name == nullptr || *name == '\0') return 0;  // the program itself
  const char* slash = std::strrchr(name, '/');
  const char* base = slash != nullptr ? slash + 1 : name;
  if (std::strcmp(base, search->file_name) != 0) return 0;
  search->path = name;
  return 1;
}

}  // namespace

std::string LoadedModulePath(const char* file_name) {
  Search search{file_name, {}};
  dl_iterate_phdr(Visit, &search);
  return search.path;
}

}  // namespace tmb::platform
