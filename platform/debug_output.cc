#include "platform/debug_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tmb::platform {

void OutputDebugText(const char* text) {
  if (text == nullptr) return;
  const char* p = text;
  size_t left = std::strlen(text);
  // One write() per call keeps texts from different threads apart; the loop
  // only finishes a write that the kernel cut short or a signal interrupted.
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere to report a failing debug channel
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace tmb::platform
