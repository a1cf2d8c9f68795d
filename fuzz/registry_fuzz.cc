// Registry hive parser: any file content parses without a crash, in both
// hives' views.
#include <cstdint>
#include <string_view>

#include "platform/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tmb::platform::regfile::ParseHive(bytes, "fuzz.reg", tmb::platform::Hive::kCurrentUser);
  tmb::platform::regfile::ParseHive(bytes, "fuzz.reg", tmb::platform::Hive::kLocalMachine);
  return 0;
}
