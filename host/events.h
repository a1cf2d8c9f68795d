// The server's events in the Application event log: the message table the
// executable carries, and the event source set up at service installation.
#pragma once

#include <cstdint>
#include <string>

namespace tmb {

constexpr const char* kEventSourceName = "tmbsqlsvr";
constexpr const char* kEventSourceKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\tmbsqlsvr";

constexpr uint32_t kEventVersionConflict = 0xC0000002;
constexpr uint32_t kEventSocketInUse = 0xC0000003;
constexpr uint32_t kEventNoCatalog = 0xC0000004;

// Makes the message table the texts of this process's events.
void InstallMessageTable();

// Writes the event source key with `executable` as its message file; stops
// silently at the first step that fails, as installation reports nothing.
void SetUpEventSource(const std::string& executable);

}  // namespace tmb
