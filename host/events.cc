#include "host/events.h"

#include "platform/event_log.h"
#include "platform/registry_write.h"

namespace tmb {
namespace {

constexpr platform::MessageTableEntry kMessages[] = {
    {kEventVersionConflict, "Tamblo SQL Server Error: Tmbio library and Server version different\r\n"},
    {kEventSocketInUse, "Tamblo SQL Server Error: Unable to open socket Another process may be using it\r\n"},
    {kEventNoCatalog, "Tamblo SQL Server Error: Unable to find a valid catalog\r\n"},
};

}  // namespace

void InstallMessageTable() {
  platform::SetMessageTable(kMessages, sizeof kMessages / sizeof kMessages[0]);
}

void SetUpEventSource(const std::string& executable) {
  using platform::Hive;
  if (platform::CreateRegistryKey(Hive::kLocalMachine, kEventSourceKey) != platform::kErrorSuccess) return;
  if (platform::SetRegistryValue(Hive::kLocalMachine, kEventSourceKey, "EventMessageFile", platform::kRegExpandSz,
                                 executable.c_str(), static_cast<uint32_t>(executable.size() + 1)) !=
      platform::kErrorSuccess) {
    return;
  }
  const uint32_t category_count = 1;
  if (platform::SetRegistryValue(Hive::kLocalMachine, kEventSourceKey, "CategoryCount", platform::kRegDword,
                                 &category_count, sizeof category_count) != platform::kErrorSuccess) {
    return;
  }
  const uint32_t types_supported = 7;  // error, warning and information
  platform::SetRegistryValue(Hive::kLocalMachine, kEventSourceKey, "TypesSupported", platform::kRegDword,
                             &types_supported, sizeof types_supported);
}

}  // namespace tmb
