#include "settings.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "tmbio/tmbio.h"

namespace tmbio {

namespace {

constexpr int32_t kDefaultLockWaitTenths = 50;
// Ten minutes, the longest wait an environment may set (mode 3).
constexpr int32_t kMaxLockWaitTenths = 6000;

std::atomic<int32_t> lock_wait_tenths{kDefaultLockWaitTenths};
std::atomic<int32_t> trace_level{0};
std::atomic<int32_t> tool_access{0};

// Texts change rarely and are copied out under the lock.
std::mutex& TextMutex() {
  static auto* mu = new std::mutex;
  return *mu;
}
std::string& GlobalText(int32_t mode) {
  static auto* data_dir = new std::string;
  static auto* app_name = new std::string;
  return mode == TMBIO_GLOBAL_DATA_DIR ? *data_dir : *app_name;
}

intptr_t PreviousText(const std::string& previous) {
  if (previous.empty()) return 0;
  return reinterpret_cast<intptr_t>(ThreadText(previous));
}

// Names in a trace line come from clients: written raw, a line feed in one
// would start a line the library never wrote.
void AppendEscaped(std::string* out, const char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const char* p = text; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '\n') {
      out->append("\\n");
    } else if (c < 0x20 || c == 0x7F) {
      const char code[] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
      out->append(code, sizeof code);
    } else {
      out->push_back(static_cast<char>(c));
    }
  }
}

}  // namespace

const char* ThreadText(const std::string& text) {
  thread_local std::string slot;
  slot = text;
  return slot.c_str();
}

std::string SettingText(intptr_t value) {
  if (value == 0) return std::string();
  const char* text = reinterpret_cast<const char*>(value);
  return std::string(text, strnlen(text, kMaxSettingText));
}

intptr_t GetGlobalMode(int32_t mode) noexcept {
  switch (mode) {
    case TMBIO_GLOBAL_LOCK_WAIT:
      return lock_wait_tenths.load();
    case TMBIO_GLOBAL_TRACE:
      return trace_level.load();
    case TMBIO_GLOBAL_TOOL_ACCESS:
      return tool_access.load();
    case TMBIO_GLOBAL_DATA_DIR:
    case TMBIO_GLOBAL_APP_NAME: {
      try {
        std::lock_guard<std::mutex> lock(TextMutex());
        return PreviousText(GlobalText(mode));
      } catch (...) {
        return 0;
      }
    }
    case TMBIO_MODE_VERSION:
      return TMBIO_LIBRARY_VERSION;
    default:
      return TMBIO_UNKNOWN_MODE;
  }
}

intptr_t SetGlobalMode(int32_t mode, intptr_t value) noexcept {
  switch (mode) {
    case TMBIO_GLOBAL_LOCK_WAIT:
      if (value < 0 || value > kMaxLockWaitTenths) return TMBIO_INVALID;
      return lock_wait_tenths.exchange(static_cast<int32_t>(value));
    case TMBIO_GLOBAL_TRACE:
      if (value < 0 || value > 1) return TMBIO_INVALID;
      return trace_level.exchange(static_cast<int32_t>(value));
    case TMBIO_GLOBAL_TOOL_ACCESS:
      if (value < 0 || value > 1) return TMBIO_INVALID;
      return tool_access.exchange(static_cast<int32_t>(value));
    case TMBIO_GLOBAL_DATA_DIR:
    case TMBIO_GLOBAL_APP_NAME: {
      try {
        std::string text = SettingText(value);
        std::lock_guard<std::mutex> lock(TextMutex());
        std::string& slot = GlobalText(mode);
        intptr_t previous = PreviousText(slot);
        slot.swap(text);
        return previous;
      } catch (...) {
        return TMBIO_NO_MEMORY;
      }
    }
    default:
      return TMBIO_UNKNOWN_MODE;
  }
}

int32_t DefaultLockWaitMs() noexcept { return lock_wait_tenths.load() * 100; }

std::string GlobalDataDir() {
  std::lock_guard<std::mutex> lock(TextMutex());
  return GlobalText(TMBIO_GLOBAL_DATA_DIR);
}

bool ToolAccess() noexcept { return tool_access.load() != 0; }

bool Tracing() noexcept { return trace_level.load(std::memory_order_relaxed) != 0; }

void Trace(const char* format, ...) noexcept {
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::string text = "tmbio";
  try {
    std::string app;
    {
      std::lock_guard<std::mutex> lock(TextMutex());
      app = GlobalText(TMBIO_GLOBAL_APP_NAME);
    }
    if (!app.empty()) {
      text.push_back(' ');
      AppendEscaped(&text, app.c_str());
    }
    text.append(": ");
    AppendEscaped(&text, line);
  } catch (...) {
    return;  // no memory: a line left out rather than one written raw
  }
  // One write per line, so that lines of several threads do not interleave.
  fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace tmbio
