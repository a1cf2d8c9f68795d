#include "diag/debug_trace.h"

#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"

namespace tmb {

namespace {

constexpr size_t kMaxFormat = 1000;  // formats this long or longer are ignored
constexpr size_t kBufferSize = 1024;

// The length modifier of the one conversion in `format`: 0 for none, 1 for
// "l", 2 for "ll". The service's own texts use "%ld" as well as "%d"; the
// value must then travel as a long, not as an int whose upper half the
// formatter would read as garbage.
int LongModifier(const char* format) {
  for (const char* p = format; (p = std::strchr(p, '%')) != nullptr;) {
    ++p;
    if (*p == '%') {
      ++p;
      continue;
    }
    p += std::strspn(p, "-+ #0123456789.*");
    if (p[0] == 'l') return p[1] == 'l' ? 2 : 1;
    return 0;
  }
  return 0;
}

}  // namespace

void DebugTrace(const char* format, int value) {
  if (format == nullptr || strnlen(format, kMaxFormat) >= kMaxFormat) return;
  char text[kBufferSize];
  // snprintf cuts the result to 1023 characters and always terminates it.
  int written;
  switch (LongModifier(format)) {
    case 1: written = std::snprintf(text, sizeof text, format, static_cast<long>(value)); break;
    case 2: written = std::snprintf(text, sizeof text, format, static_cast<long long>(value)); break;
    default: written = std::snprintf(text, sizeof text, format, value); break;
  }
  if (written < 0) return;
  platform::OutputDebugText(text);
}

}  // namespace tmb
