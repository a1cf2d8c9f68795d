// Process-wide settings (QDGetEnvMode/QDSetEnvMode with no handle), the
// per-call trace, and the per-thread copies through which text settings are
// handed out.
#pragma once

#include <cstdint>
#include <string>

namespace tmbio {

// QDGetEnvMode / QDSetEnvMode with handle NULL.
intptr_t GetGlobalMode(int32_t mode) noexcept;
intptr_t SetGlobalMode(int32_t mode, intptr_t value) noexcept;
// Whether a tool has taken file-level access (TMBIO_GLOBAL_TOOL_ACCESS).
bool ToolAccess() noexcept;

// Default lock wait of new environments, in milliseconds.
int32_t DefaultLockWaitMs() noexcept;
// The process-wide data directory; empty when none was set.
std::string GlobalDataDir();

// True while the trace level is 1.
bool Tracing() noexcept;
// Writes one trace line (printf format) to standard error.
void Trace(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

// Copies `text` into the calling thread's text slot and returns its address,
// valid until the thread's next call here: texts handed out this way stay
// readable however other threads change the setting they came from.
const char* ThreadText(const std::string& text);

// Reads a caller's NUL-terminated text setting, at most kMaxSettingText bytes.
std::string SettingText(intptr_t value);
constexpr size_t kMaxSettingText = 4095;

}  // namespace tmbio
