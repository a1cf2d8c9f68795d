// The Windows event log (RegisterEventSourceA, ReportEventA,
// DeregisterEventSource). Each report appends one line to the file named by
// TMB_EVENT_LOG, else /var/log/tmbsqlsvr/events.log:
//   <UTC time, ISO 8601>\t<source>\t<error|warning|information>\t<id as 0x%08X>\t<text>
// The text is the entry of the process's message table for the id (the
// executable's message table resource on Windows) without its final line
// end; line ends and tabs inside it become blanks so that one event stays
// one line. An id missing from the table is written with a note saying so.
// Lines are appended in one write each, so reports of several threads and
// processes never mix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tmb::platform {

constexpr uint16_t kEventlogErrorType = 0x0001;
constexpr uint16_t kEventlogWarningType = 0x0002;
constexpr uint16_t kEventlogInformationType = 0x0004;

struct MessageTableEntry {
  uint32_t id;
  const char* text;  // as the table holds it, with its final "\r\n"
};

// Installs the process's message table; `entries` must outlive every report.
void SetMessageTable(const MessageTableEntry* entries, size_t count);

// The file events go to, after the environment rule above.
std::string EventLogPath();

struct EventSourceHandle;

// A handle for reports by `source` (`server` must be null: the local
// machine); null when `source` is null or empty.
EventSourceHandle* RegisterEventSource(const char* server, const char* source);

// Appends one event; false when the handle is null, the type is not one of
// the three above or the file cannot be written (the event is then lost).
bool ReportEvent(EventSourceHandle* handle, uint16_t type, uint16_t category, uint32_t event_id);

// Frees the handle; false for null.
bool DeregisterEventSource(EventSourceHandle* handle);

}  // namespace tmb::platform
