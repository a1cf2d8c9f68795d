#include "diag/debug_trace.h"

#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"

namespace tmb {

namespace {

constexpr size_t kMaxFormat = 1000;  // formats this long or longer are ignored
constexpr size_t kBufferSize = 1024;

}  // namespace

void DebugTrace(const char* format, int value) {
  if (format == nullptr || strnlen(format, kMaxFormat) >= kMaxFormat) return;
  char text[kBufferSize];
  // snprintf cuts the result to 1023 characters and always terminates it.
  if (std::snprintf(text, sizeof text, format, value) < 0) return;
  platform::OutputDebugText(text);
}

}  // namespace tmb
