#include "platform/event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace tmb::platform {

struct EventSourceHandle {
  std::string source;
};

namespace {

struct Table {
  const MessageTableEntry* entries;
  size_t count;
  const Table* replaced;  // kept reachable: a reader may still hold it
};
std::atomic<const Table*> g_table{nullptr};

std::string MessageText(uint32_t id) {
  const Table* table = g_table.load(std::memory_order_acquire);
  for (size_t i = 0; table != nullptr && i < table->count; ++i) {
    if (table->entries[i].id != id || table->entries[i].text == nullptr) continue;
    std::string text = table->entries[i].text;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    for (char& c : text) {
      if (c == '\r' || c == '\n' || c == '\t') c = ' ';
    }
    return text;
  }
  char note[96];
  std::snprintf(note, sizeof note, "The description for event id 0x%08X cannot be found.", id);
  return note;
}

const char* TypeWord(uint16_t type) {
  switch (type) {
    case kEventlogErrorType: return "error";
    case kEventlogWarningType: return "warning";
    case kEventlogInformationType: return "information";
    default: return nullptr;
  }
}

}  // namespace

void SetMessageTable(const MessageTableEntry* entries, size_t count) {
  // A table replaced is kept, never freed: a report on another thread may
  // still be reading it. The host installs one table, once.
  const Table* current = g_table.load(std::memory_order_acquire);
  if (current != nullptr && current->entries == entries && current->count == count) return;
  g_table.store(new Table{entries, count, current}, std::memory_order_release);
}

std::string EventLogPath() {
  const char* path = std::getenv("TMB_EVENT_LOG");
  return path != nullptr && *path != '\0' ? path : "/var/log/tmbsqlsvr/events.log";
}

EventSourceHandle* RegisterEventSource(const char* server, const char* source) {
  if (server != nullptr || source == nullptr || *source == '\0') return nullptr;
  return new EventSourceHandle{source};
}

bool ReportEvent(EventSourceHandle* handle, uint16_t type, uint16_t /*category*/, uint32_t event_id) {
  const char* word = TypeWord(type);
  if (handle == nullptr || word == nullptr) return false;
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
  char id[16];
  std::snprintf(id, sizeof id, "0x%08X", event_id);
  std::string source = handle->source;
  for (char& c : source) {
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  }
  const std::string line = std::string(when) + '\t' + source + '\t' + word + '\t' + id + '\t' +
                           MessageText(event_id) + '\n';
  const int fd = ::open(EventLogPath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ssize_t written;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  ::close(fd);
  return written == static_cast<ssize_t>(line.size());
}

bool DeregisterEventSource(EventSourceHandle* handle) {
  if (handle == nullptr) return false;
  delete handle;
  return true;
}

}  // namespace tmb::platform
